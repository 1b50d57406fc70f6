#include "text/hex_to_uid.hpp"

#include <cstdio>
#include <vector>

#include "text/unicode.hpp"

namespace korvale {
namespace {

int digit_value(unsigned char byte) {
  if (byte >= '0' && byte <= '9') return byte - '0';
  if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
  if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
  return -1;
}

// The byte read as the character of the same code point, written as a
// character literal.
std::string char_literal(unsigned char byte) {
  switch (byte) {
    case 0:
      return "'\\0'";
    case '\t':
      return "'\\t'";
    case '\n':
      return "'\\n'";
    case '\r':
      return "'\\r'";
    case '\'':
      return "'\\''";
    case '\\':
      return "'\\\\'";
    default:
      break;
  }
  if (byte < 0x20 || (byte >= 0x7F && byte <= 0xA0) || byte == 0xAD) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "'\\u{%x}'", byte);
    return buffer;
  }
  std::string out = "'";
  unicode::append_utf8(out, byte);
  out += '\'';
  return out;
}

std::unexpected<Report> refuse(std::string reason) {
  return fail(kind::HexConversionError{std::move(reason), "hex str to uid"});
}

std::unexpected<Report> invalid(std::string_view text, const std::string& error) {
  return refuse("Invalid hex string: " + std::string(text) + " - '" + error + "'");
}

}  // namespace

Result<Uid> hex_str_to_uid(std::string_view text) {
  if (text.size() % 2 != 0) return invalid(text, "Odd number of digits");
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = digit_value(static_cast<unsigned char>(text[i]));
    if (high < 0) {
      return invalid(
          text, "Invalid character " + char_literal(text[i]) + " at position " + std::to_string(i));
    }
    const int low = digit_value(static_cast<unsigned char>(text[i + 1]));
    if (low < 0) {
      return invalid(text, "Invalid character " + char_literal(text[i + 1]) + " at position " +
                               std::to_string(i + 1));
    }
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  Uid uid{};
  if (bytes.size() != uid.size()) {
    return refuse("Uid must be 32 bytes, got " + std::to_string(bytes.size()));
  }
  std::copy(bytes.begin(), bytes.end(), uid.begin());
  return uid;
}

}  // namespace korvale
