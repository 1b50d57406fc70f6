#include <gtest/gtest.h>

#include "text/hex_to_uid.hpp"
#include "text/validation.hpp"

namespace korvale {
namespace {

// --- validate_variable_name -------------------------------------------------

class ValidNameTest : public ::testing::TestWithParam<std::string> {};

TEST_P(ValidNameTest, Accepted) {
  EXPECT_TRUE(validate_variable_name(GetParam()).has_value());
}

INSTANTIATE_TEST_SUITE_P(Names, ValidNameTest,
                         ::testing::Values("_", "__", "x1", "\xc3\xa9" /* é */,
                                           "\xe5\x90\x8d\xe5\x89\x8d" /* 名前 */,
                                           "\xe2\x85\xab" /* Ⅻ */, "none", "_None", "Nonex", "TRUE",
                                           std::string(255, 'a')));

struct RefusedName {
  std::string name;
  std::string reason;
};

class RefusedNameTest : public ::testing::TestWithParam<RefusedName> {};

TEST_P(RefusedNameTest, FailsAtTheFirstBrokenRule) {
  const auto result = validate_variable_name(GetParam().name);
  ASSERT_FALSE(result.has_value());
  const auto* error = std::get_if<kind::InvalidIdentifier>(&result.error().kind());
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->name, GetParam().name);
  EXPECT_EQ(error->reason, GetParam().reason);
  EXPECT_TRUE(result.error().context_lines().empty());
}

const std::string kLength = "Name must be between 1 and 255 characters";
const std::string kSpace = "Name cannot contain whitespace";
const std::string kChars = "Name can only contain alphanumeric characters and underscores";
const std::string kStart = "Name must start with a letter or underscore";

std::string repeat(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Names, RefusedNameTest,
    ::testing::Values(RefusedName{"", kLength}, RefusedName{std::string(256, 'a'), kLength},
                      // 128 two-byte letters are 256 bytes: the limit counts bytes.
                      RefusedName{repeat("\xc3\xa9", 128), kLength}, RefusedName{"a b", kSpace},
                      RefusedName{" a", kSpace},
                      RefusedName{"a\xc2\xa0"
                                  "b",
                                  kSpace},
                      // Whitespace is tested before the character rule.
                      RefusedName{"a- b", kSpace}, RefusedName{"a-b", kChars},
                      RefusedName{"a.b", kChars}, RefusedName{"1a", kStart},
                      RefusedName{"\xc2\xb2" /* ² */, kStart},
                      RefusedName{"None", "'None' is a reserved name"},
                      RefusedName{"True", "'True' is a reserved name"},
                      RefusedName{"False", "'False' is a reserved name"}));

// --- hex_str_to_uid ------------------------------------------------------------

TEST(HexToUidTest, ReadsEitherCase) {
  const std::string lower = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
  std::string upper = lower;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const auto a = hex_str_to_uid(lower);
  const auto b = hex_str_to_uid(upper);
  ASSERT_TRUE(a.has_value());
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(*a, *b);
  EXPECT_EQ((*a)[0], 0x00);
  EXPECT_EQ((*a)[1], 0x11);
  EXPECT_EQ((*a)[15], 0xff);
  EXPECT_EQ(uid_to_hex(*a), lower);
}

struct HexCase {
  std::string text;
  std::string reason;
};

class HexRefusedTest : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexRefusedTest, Refused) {
  const auto result = hex_str_to_uid(GetParam().text);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(format_report(result.error()),
            "Hex Conversion Error: '" + GetParam().reason + "' (hex str to uid)");
}

std::string digits(std::size_t n) {
  return std::string(n, 'a');
}

std::string with_byte_at(std::size_t position, char byte) {
  std::string text = digits(64);
  text[position] = byte;
  return text;
}

std::string invalid(const std::string& text, const std::string& error) {
  return "Invalid hex string: " + text + " - '" + error + "'";
}

INSTANTIATE_TEST_SUITE_P(
    Texts, HexRefusedTest,
    ::testing::Values(
        HexCase{"abc", invalid("abc", "Odd number of digits")},
        HexCase{"xyz", invalid("xyz", "Odd number of digits")},
        HexCase{"xy", invalid("xy", "Invalid character 'x' at position 0")},
        HexCase{"0x" + digits(62),
                invalid("0x" + digits(62), "Invalid character 'x' at position 1")},
        HexCase{"", "Uid must be 32 bytes, got 0"},
        HexCase{digits(62), "Uid must be 32 bytes, got 31"},
        HexCase{digits(66), "Uid must be 32 bytes, got 33"},
        HexCase{with_byte_at(10, '\t'),
                invalid(with_byte_at(10, '\t'), "Invalid character '\\t' at position 10")},
        HexCase{with_byte_at(3, '\n'),
                invalid(with_byte_at(3, '\n'), "Invalid character '\\n' at position 3")},
        HexCase{with_byte_at(3, '\r'),
                invalid(with_byte_at(3, '\r'), "Invalid character '\\r' at position 3")},
        HexCase{with_byte_at(2, '\0'),
                invalid(with_byte_at(2, '\0'), "Invalid character '\\0' at position 2")},
        HexCase{with_byte_at(2, '\''),
                invalid(with_byte_at(2, '\''), "Invalid character '\\'' at position 2")},
        HexCase{with_byte_at(2, '\\'),
                invalid(with_byte_at(2, '\\'), "Invalid character '\\\\' at position 2")},
        HexCase{with_byte_at(5, '\x01'),
                invalid(with_byte_at(5, '\x01'), "Invalid character '\\u{1}' at position 5")},
        HexCase{with_byte_at(5, '\x7f'),
                invalid(with_byte_at(5, '\x7f'), "Invalid character '\\u{7f}' at position 5")},
        HexCase{with_byte_at(5, ' '),
                invalid(with_byte_at(5, ' '), "Invalid character ' ' at position 5")},
        HexCase{with_byte_at(5, 'g'),
                invalid(with_byte_at(5, 'g'), "Invalid character 'g' at position 5")},
        // The first byte of «é» reads as U+00C3; a continuation byte 0xA0 is escaped, 0xAD too.
        HexCase{"\xc3\xa9" + digits(62),
                invalid("\xc3\xa9" + digits(62), "Invalid character '\xc3\x83' at position 0")},
        HexCase{"a\xa0" + digits(62),
                invalid("a\xa0" + digits(62), "Invalid character '\\u{a0}' at position 1")},
        HexCase{"a\xad" + digits(62),
                invalid("a\xad" + digits(62), "Invalid character '\\u{ad}' at position 1")},
        HexCase{"a\xae" + digits(62),
                invalid("a\xae" + digits(62), "Invalid character '\xc2\xae' at position 1")}));

}  // namespace
}  // namespace korvale
