#include "properties/dynamic.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "utils/unicode.hpp"

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

std::string Dynamic::to_string() const {
  std::string out;
  append_text(out);
  return out;
}

void Dynamic::append_text(std::string& out) const {
  switch (kind()) {
    case Kind::Null:
      out += "()";
      return;
    case Kind::Bool:
      out += as_bool() ? "true" : "false";
      return;
    case Kind::String:
      append_quoted_text(out, as_string());
      return;
    case Kind::Int:
      out += std::to_string(as_int());
      return;
    case Kind::Float:
      append_float_text(out, as_float());
      return;
    case Kind::List: {
      out += '[';
      const char* separator = "";
      for (const Dynamic& item : as_list()) {
        out += separator;
        item.append_text(out);
        separator = ", ";
      }
      out += ']';
      return;
    }
    case Kind::Dict: {
      out += "#{";
      const char* separator = "";
      for (const auto& [key, value] : as_dict()) {
        out += separator;
        append_quoted_text(out, key);
        out += ": ";
        value.append_text(out);
        separator = ", ";
      }
      out += '}';
      return;
    }
    case Kind::Opaque:
      out += "korvale::properties::PyOpaque";
      return;
  }
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
