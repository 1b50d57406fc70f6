#include "properties/dynamic.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "base/tree_walks.hpp"
#include "text/unicode.hpp"

namespace korvale {

Dynamic Dynamic::boolean(bool value) {
  Dynamic d;
  d.value_ = value;
  return d;
}

Dynamic Dynamic::integer(std::int64_t value) {
  Dynamic d;
  d.value_ = value;
  return d;
}

Dynamic Dynamic::floating(double value) {
  Dynamic d;
  d.value_ = value;
  return d;
}

Dynamic Dynamic::string(std::string value) {
  Dynamic d;
  d.value_ = std::make_shared<const std::string>(std::move(value));
  return d;
}

Dynamic Dynamic::list(List items) {
  Dynamic d;
  d.value_ = std::make_shared<const List>(std::move(items));
  return d;
}

Dynamic Dynamic::dict(Dict entries) {
  Dynamic d;
  d.value_ = std::make_shared<const Dict>(std::move(entries));
  return d;
}

Dynamic Dynamic::opaque(PyOpaque object) {
  Dynamic d;
  d.value_ = std::move(object);
  return d;
}

namespace {

// The containers waiting to be released by the outermost release on this
// thread, while one runs. A plain pointer, not a thread_local vector: it has
// no destructor of its own, so values released at thread exit still work.
thread_local std::vector<std::shared_ptr<const void>>* pending_releases = nullptr;

}  // namespace

void Dynamic::release_container() noexcept {
  std::shared_ptr<const void> container;
  if (auto* list = std::get_if<ListPtr>(&value_)) {
    container = std::move(*list);
  } else if (auto* dict = std::get_if<DictPtr>(&value_)) {
    container = std::move(*dict);
  }
  if (!container) return;
  if (pending_releases != nullptr) {
    // Inside an outer release: its loop drops this one too.
    pending_releases->push_back(std::move(container));
    return;
  }
  // Dropping the last handle destroys the items, whose own destructors hand
  // their containers to `pending` instead of releasing them in place. Whoever
  // drops the last handle destroys the container, on any thread.
  std::vector<std::shared_ptr<const void>> pending;
  pending_releases = &pending;
  container.reset();
  while (!pending.empty()) {
    std::shared_ptr<const void> last = std::move(pending.back());
    pending.pop_back();
    last.reset();
  }
  pending_releases = nullptr;
}

std::string Dynamic::to_string() const {
  std::string out;
  append_text(out);
  return out;
}

// Lists and dicts are written by the in-order walk, which keeps the open
// containers on a stack of its own, so the text form needs no stack per level
// of nesting.
void Dynamic::append_text(std::string& out) const {
  // A list or dict being written, and where it stands.
  struct Open {
    const Dynamic* container;
    std::size_t next;  // index of the next item, or of the next entry
    Dict::const_iterator entry;
  };
  in_order<Open>(
      this,
      [&](const Dynamic* value) -> std::optional<Open> {
        switch (value->kind()) {
          case Kind::Null:
            out += "()";
            break;
          case Kind::Bool:
            out += value->as_bool() ? "true" : "false";
            break;
          case Kind::String:
            append_quoted_text(out, value->as_string());
            break;
          case Kind::Int:
            out += std::to_string(value->as_int());
            break;
          case Kind::Float:
            append_float_text(out, value->as_float());
            break;
          case Kind::List:
            out += '[';
            return Open{value, 0, {}};
          case Kind::Dict:
            out += "#{";
            return Open{value, 0, value->as_dict().begin()};
          case Kind::Opaque:
            out += "korvale::properties::PyOpaque";
            break;
        }
        return std::nullopt;
      },
      // The next item of the container, or its closing text.
      [&](Open& open) -> std::optional<const Dynamic*> {
        if (open.container->kind() == Kind::List) {
          const List& items = open.container->as_list();
          if (open.next == items.size()) {
            out += ']';
            return std::nullopt;
          }
          if (open.next > 0) out += ", ";
          return &items[open.next++];
        }
        if (open.entry == open.container->as_dict().end()) {
          out += '}';
          return std::nullopt;
        }
        if (open.next++ > 0) out += ", ";
        append_quoted_text(out, open.entry->first);
        out += ": ";
        return &(open.entry++)->second;
      });
}

namespace {

// The shortest round-trip digits of a finite, non-zero magnitude, and the
// decimal exponent of the first digit (value = d.ddd × 10^exponent).
struct Digits {
  std::string digits;
  int exponent;
};

Digits shortest_digits(double magnitude) {
  char buffer[64];
  // Without a precision, to_chars gives the shortest text that reads back as
  // the same double (the closest to the exact value among those).
  const auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
  const std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
  const std::size_t e = text.find('e');
  Digits result{std::string(), std::atoi(std::string(text.substr(e + 1)).c_str())};
  for (char c : text.substr(0, e)) {
    if (c != '.') result.digits += c;
  }
  return result;
}

void append_exponential(std::string& out, const Digits& d) {
  out += d.digits[0];
  if (d.digits.size() > 1) {
    out += '.';
    out.append(d.digits, 1);
  }
  out += 'e';
  out += std::to_string(d.exponent);
}

void append_positional(std::string& out, const Digits& d) {
  const int length = static_cast<int>(d.digits.size());
  if (d.exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
    out += d.digits;
  } else if (length <= d.exponent + 1) {
    out += d.digits;
    out.append(static_cast<std::size_t>(d.exponent + 1 - length), '0');
    out += ".0";
  } else {
    out.append(d.digits, 0, static_cast<std::size_t>(d.exponent + 1));
    out += '.';
    out.append(d.digits, static_cast<std::size_t>(d.exponent + 1));
  }
}

void append_escaped(std::string& out, char32_t c) {
  switch (c) {
    case U'"':
      out += "\\\"";
      return;
    case U'\\':
      out += "\\\\";
      return;
    case U'\0':
      out += "\\0";
      return;
    case U'\t':
      out += "\\t";
      return;
    case U'\n':
      out += "\\n";
      return;
    case U'\r':
      out += "\\r";
      return;
    default:
      break;
  }
  if (unicode::is_grapheme_extend(c) || !unicode::is_printable(c)) {
    char hex[16];
    const auto [end, ec] = std::to_chars(hex, hex + sizeof hex, static_cast<std::uint32_t>(c), 16);
    out += "\\u{";
    out.append(hex, end);
    out += '}';
    return;
  }
  unicode::append_utf8(out, c);
}

}  // namespace

void append_float_text(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::signbit(value)) out += '-';
  const double magnitude = std::fabs(value);
  if (std::isinf(magnitude)) {
    out += "inf";
  } else if (magnitude == 0.0) {
    out += "0.0";
  } else if (magnitude >= 1e16 || magnitude < 1e-4) {
    append_exponential(out, shortest_digits(magnitude));
  } else {
    append_positional(out, shortest_digits(magnitude));
  }
}

void append_quoted_text(std::string& out, const std::string& text) {
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\') {
      out += static_cast<char>(byte);  // printable ASCII stands as it is
      ++i;
    } else {
      append_escaped(out, unicode::next(text, i));
    }
  }
  out += '"';
}

}  // namespace korvale
