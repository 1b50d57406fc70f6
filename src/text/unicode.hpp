// UTF-8 decoding and the Unicode character properties that names, trimming and
// text escapes depend on (tables from ICU).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvale::unicode {

// Decodes the character at byte offset `i` and advances `i` past it. A malformed
// sequence yields U+FFFD and advances by one byte, so every text can be walked.
char32_t next(std::string_view text, std::size_t& i);

// Appends the UTF-8 form of `c`.
void append_utf8(std::string& out, char32_t c);

bool is_white_space(char32_t c);      // White_Space
bool is_alphabetic(char32_t c);       // Alphabetic
bool is_numeric(char32_t c);          // general category Nd, Nl or No
bool is_grapheme_extend(char32_t c);  // Grapheme_Extend
// Not printable: general categories Cc, Cf, Cs, Co, Cn, Zl, Zp, and Zs but U+0020.
bool is_printable(char32_t c);

// The text without White_Space characters at both ends.
std::string_view trim(std::string_view text);

}  // namespace korvale::unicode
