#include "patterns/property_block.hpp"

#include <cassert>
#include <charconv>
#include <cstdint>
#include <optional>
#include <system_error>
#include <utility>

#include "base/stack_guard.hpp"
#include "patterns/scanner.hpp"
#include "text/unicode.hpp"

namespace korvale {
namespace {

constexpr const char* kEntryLine = "parse properties [src/patterns/parsing:260]";
constexpr const char* kLastEntryLine = "parse properties [src/patterns/parsing:295]";
constexpr const char* kLastInsertLine = "parse properties [src/patterns/parsing:298]";
constexpr const char* kStringLine = "parse property value [src/patterns/parsing:332]";
constexpr const char* kListItemLine = "parse list value [src/patterns/parsing:429]";
constexpr const char* kLastListItemLine = "parse list value [src/patterns/parsing:443]";
constexpr const char* kDictEntryLine = "parse dict value [src/patterns/parsing:504]";
constexpr const char* kLastDictEntryLine = "parse dict value [src/patterns/parsing:524]";
constexpr const char* kDictKeyLine = "extract dict key [src/patterns/parsing:540]";

constexpr std::size_t npos = std::string_view::npos;

std::unexpected<Report> refuse(std::string_view pattern, std::string reason) {
  return fail(kind::InvalidPattern{std::string(pattern), std::move(reason)});
}

bool is_quote(char c) {
  return c == '"' || c == '\'';
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// The three scans of a block differ in which brackets count and in the
// quotes of a list, which are ordinary characters inside its nested values.
constexpr ScanRules kEntryScan({.brackets = "[]{}",
                                .separators = ":,",
                                .quotes = Quotes::Anywhere});
constexpr ScanRules kListItemScan({.brackets = "()[]{}",
                                   .separators = ",",
                                   .quotes = Quotes::TopLevel});
constexpr ScanRules kDictEntryScan({.brackets = "()[]{}",
                                    .separators = ":,",
                                    .quotes = Quotes::Anywhere});

// The text between the first and the last character, trimmed.
std::string_view inside(std::string_view t) {
  assert(t.size() >= 2);
  return unicode::trim(t.substr(1, t.size() - 2));
}

std::unexpected<Report> too_deep(std::string_view t) {
  return refuse(t, "Property value is nested too deeply (more than " +
                       std::to_string(kMaxValueDepth) + " levels)");
}

[[gnu::cold, gnu::noinline]] std::unexpected<Report> stack_exhausted() {
  return fail(kind::StackExhausted{"Property value"});
}

// An optional sign and ASCII digits only, within the signed 64-bit range.
std::optional<std::int64_t> parse_integer(std::string_view t) {
  const std::size_t first = (t[0] == '+' || t[0] == '-') ? 1 : 0;
  if (first == t.size()) return std::nullopt;
  for (std::size_t i = first; i < t.size(); ++i) {
    if (!is_digit(t[i])) return std::nullopt;
  }
  if (t[0] == '+') t.remove_prefix(1);
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
  if (ec != std::errc() || end != t.data() + t.size()) return std::nullopt;
  return value;
}

bool equals_ignoring_ascii_case(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// The shape of a decimal float text: digits with an optional point (at least
// one digit), then an optional exponent. The sign has been removed.
struct DecimalShape {
  std::string_view integer_digits, fraction_digits;
  long long exponent = 0;  // saturated
};

std::optional<DecimalShape> decimal_shape(std::string_view s) {
  DecimalShape shape;
  std::size_t i = 0;
  while (i < s.size() && is_digit(s[i])) ++i;
  shape.integer_digits = s.substr(0, i);
  if (i < s.size() && s[i] == '.') {
    const std::size_t start = ++i;
    while (i < s.size() && is_digit(s[i])) ++i;
    shape.fraction_digits = s.substr(start, i - start);
  }
  if (shape.integer_digits.empty() && shape.fraction_digits.empty()) return std::nullopt;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    const bool negative = i < s.size() && s[i] == '-';
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (i == s.size()) return std::nullopt;
    for (; i < s.size() && is_digit(s[i]); ++i) {
      if (shape.exponent < 1'000'000'000) shape.exponent = shape.exponent * 10 + (s[i] - '0');
    }
    if (negative) shape.exponent = -shape.exponent;
  }
  if (i != s.size()) return std::nullopt;
  return shape;
}

// Whether a text that does not fit a double lies below the smallest one (its
// nearest float is then a zero) rather than above the largest.
bool underflows(const DecimalShape& shape) {
  long long leading = -1;  // decimal exponent of the leading non-zero digit
  const std::size_t first = shape.integer_digits.find_first_not_of('0');
  if (first != npos) {
    leading = static_cast<long long>(shape.integer_digits.size() - first) - 1;
  } else {
    const std::size_t in_fraction = shape.fraction_digits.find_first_not_of('0');
    if (in_fraction == npos) return true;
    leading = -static_cast<long long>(in_fraction) - 1;
  }
  return leading + shape.exponent < 0;
}

enum class FloatText { NotAFloat, Finite, NotFinite };

FloatText parse_float(std::string_view t, double& value) {
  const bool negative = t[0] == '-';
  std::string_view unsigned_text = t;
  if (t[0] == '+' || t[0] == '-') unsigned_text.remove_prefix(1);
  for (std::string_view word : {"inf", "infinity", "nan"}) {
    if (equals_ignoring_ascii_case(unsigned_text, word)) return FloatText::NotFinite;
  }
  const auto shape = decimal_shape(unsigned_text);
  if (!shape) return FloatText::NotAFloat;
  if (t[0] == '+') t.remove_prefix(1);
  const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
  if (ec == std::errc::result_out_of_range) {
    if (!underflows(*shape)) return FloatText::NotFinite;
    value = negative ? -0.0 : 0.0;
  } else if (ec != std::errc() || end != t.data() + t.size()) {
    return FloatText::NotAFloat;
  }
  return FloatText::Finite;
}

Result<Dynamic> parse_list_value(std::string_view t, std::size_t depth) {
  if (depth >= kMaxValueDepth) return too_deep(t);
  const std::string_view inner = inside(t);
  Dynamic::List items;
  auto add_item = [&](std::string_view item, const char* line) -> Status {
    item = unicode::trim(item);
    if (item.empty()) return {};
    auto value = parse_property_value(item, depth + 1);
    if (!value) return fail(std::move(value.error()).attach(line));
    items.push_back(std::move(*value));
    return {};
  };
  std::size_t start = 0;
  for (Scanner scan(inner, kListItemScan); scan.next(); start = scan.offset() + 1) {
    KORVALE_PASS_STATUS(add_item(inner.substr(start, scan.offset() - start), kListItemLine));
  }
  KORVALE_PASS_STATUS(add_item(inner.substr(start), kLastListItemLine));
  return Dynamic::list(std::move(items));
}

}  // namespace

Result<PropertyMap> parse_properties(std::string_view text) {
  const std::string_view t = unicode::trim(text);
  if (t.empty() || t.front() != '{' || t.back() != '}') {
    return refuse(t, "Properties must be enclosed in braces {}");
  }
  const std::string_view inner = inside(t);
  PropertyMap map;
  std::size_t start = 0;  // where the current entry's key text begins
  std::size_t colon = npos;
  auto key_text = [&] { return unicode::trim(inner.substr(start, colon - start)); };
  for (Scanner scan(inner, kEntryScan); scan.next();) {
    const std::size_t i = scan.offset();
    if (inner[i] == ':') {
      if (colon != npos) return refuse(t, "Unexpected colon in property value");
      colon = i;
      if (key_text().empty()) return refuse(t, "Empty property key");
      continue;
    }
    if (colon == npos) return refuse(t, "Missing colon in property definition");
    auto value =
        KORVALE_TRY(parse_property_value(inner.substr(colon + 1, i - colon - 1)), kEntryLine);
    KORVALE_PASS_STATUS(map.insert(std::string(key_text()), std::move(value)));
    start = i + 1;
    colon = npos;
  }
  if (start == inner.size()) return map;  // nothing after the last comma
  if (colon == npos) return refuse(t, "Missing colon in property definition");
  auto value = KORVALE_TRY(parse_property_value(inner.substr(colon + 1)), kLastEntryLine);
  KORVALE_CHECK(map.insert(std::string(key_text()), std::move(value)), kLastInsertLine);
  return map;
}

Result<Dynamic> parse_property_value(std::string_view text, std::size_t depth) {
  const std::string_view t = unicode::trim(text);
  if (t.empty()) return refuse("", "Empty property value");
  if (!stack_has_room()) return stack_exhausted();
  const char first = t.front();
  if (is_quote(first)) {
    if (t.size() < 2 || t.back() != first) {
      return refuse(t, std::string("Unclosed string literal (expected closing ") + first + ")");
    }
    return Dynamic::string(KORVALE_TRY(unescape_string(t.substr(1, t.size() - 2)), kStringLine));
  }
  if (t == "true" || t == "false") return Dynamic::boolean(t == "true");
  if (t == "null" || t == "None") return Dynamic::null();
  if (first == '{' && t.back() == '}') return parse_dict_value(t, depth);
  if (first == '[' && t.back() == ']') return parse_list_value(t, depth);
  if (const auto integer = parse_integer(t)) return Dynamic::integer(*integer);
  double value = 0;
  switch (parse_float(t, value)) {
    case FloatText::Finite:
      return Dynamic::floating(value);
    case FloatText::NotFinite:
      return refuse(t, "Invalid numeric value (NaN or Infinity not supported)");
    case FloatText::NotAFloat:
      break;
  }
  return refuse(t, "Invalid property value. Strings must be quoted, e.g., \"value\" or 'value'");
}

Result<Dynamic> parse_dict_value(std::string_view text, std::size_t depth) {
  assert(text.size() >= 2 && text.front() == '{' && text.back() == '}');
  const std::string_view t = unicode::trim(text);
  if (t.size() < 2 || t.front() != '{' || t.back() != '}') {
    return refuse(t, "Dictionary value must be enclosed in braces {}");
  }
  if (depth >= kMaxValueDepth) return too_deep(t);
  const std::string_view inner = inside(t);
  Dynamic::Dict entries;
  std::size_t start = 0;
  std::size_t colon = npos;
  auto add_entry = [&](std::size_t end, const char* line) -> Status {
    const std::size_t key_end = colon == npos ? end : colon;
    auto key = KORVALE_PASS(extract_dict_key(inner.substr(start, key_end - start)));
    // An entry without a colon has an empty value text.
    const std::string_view value_text =
        colon == npos ? std::string_view() : inner.substr(colon + 1, end - colon - 1);
    auto value = KORVALE_TRY(parse_property_value(value_text, depth + 1), line);
    entries.insert_or_assign(std::move(key), std::move(value));
    return {};
  };
  for (Scanner scan(inner, kDictEntryScan); scan.next();) {
    const std::size_t i = scan.offset();
    if (inner[i] == ':') {
      if (colon == npos) colon = i;  // later colons belong to the value
      continue;
    }
    KORVALE_PASS_STATUS(add_entry(i, kDictEntryLine));
    start = i + 1;
    colon = npos;
  }
  // A pending entry with an empty key (a trailing comma, or ": 2") is dropped.
  const std::size_t key_end = colon == npos ? inner.size() : colon;
  if (!unicode::trim(inner.substr(start, key_end - start)).empty()) {
    KORVALE_PASS_STATUS(add_entry(inner.size(), kLastDictEntryLine));
  }
  return Dynamic::dict(std::move(entries));
}

Result<std::string> extract_dict_key(std::string_view text) {
  const std::string_view k = unicode::trim(text);
  if (k.empty()) return refuse("", "Empty dictionary key");
  if (k.size() >= 2 && is_quote(k.front()) && k.back() == k.front()) {
    return KORVALE_TRY(unescape_string(k.substr(1, k.size() - 2)), kDictKeyLine);
  }
  return std::string(k);
}

Result<std::string> unescape_string(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (i + 1 == text.size()) return refuse(text, "String ends with incomplete escape sequence");
    const char escaped = text[++i];
    switch (escaped) {
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case '0':
        out += '\0';
        break;
      case '\\':
      case '"':
      case '\'':
        out += escaped;
        break;
      default:
        out += '\\';
        out += escaped;
    }
  }
  return out;
}

}  // namespace korvale
