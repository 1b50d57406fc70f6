#include "text/unicode.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace korvale::unicode {

char32_t next(std::string_view text, std::size_t& i) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  auto offset = static_cast<int32_t>(i);
  UChar32 c;
  U8_NEXT(bytes, offset, length, c);
  i = static_cast<std::size_t>(offset);
  return c < 0 ? U'\uFFFD' : static_cast<char32_t>(c);
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool is_white_space(char32_t c) {
  if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0D);
  return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_WHITE_SPACE);
}

bool is_alphabetic(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_ALPHABETIC);
}

bool is_numeric(char32_t c) {
  if (c < 0x80) return c >= '0' && c <= '9';
  const auto type = u_charType(static_cast<UChar32>(c));
  return type == U_DECIMAL_DIGIT_NUMBER || type == U_LETTER_NUMBER || type == U_OTHER_NUMBER;
}

bool is_grapheme_extend(char32_t c) {
  return c >= 0x80 && u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_GRAPHEME_EXTEND);
}

bool is_printable(char32_t c) {
  if (c == ' ') return true;
  switch (u_charType(static_cast<UChar32>(c))) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_SURROGATE:
    case U_PRIVATE_USE_CHAR:
    case U_UNASSIGNED:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
    case U_SPACE_SEPARATOR:
      return false;
    default:
      return true;
  }
}

namespace {

// Byte offset of the character that ends at `end` (end > 0).
std::size_t previous_start(std::string_view text, std::size_t end) {
  std::size_t start = end - 1;
  while (start > 0 && end - start < 4 && (static_cast<uint8_t>(text[start]) & 0xC0) == 0x80) {
    --start;
  }
  return start;
}

}  // namespace

std::string_view trim(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t after = begin;
    if (!is_white_space(next(text, after))) break;
    begin = after;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = previous_start(text, end);
    std::size_t probe = start;
    const char32_t c = next(text, probe);
    // A malformed tail decodes to U+FFFD, which is no white space: stop there.
    if (probe != end || !is_white_space(c)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace korvale::unicode
