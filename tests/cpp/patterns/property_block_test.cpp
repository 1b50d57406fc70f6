#include <gtest/gtest.h>

#include <string>

#include "patterns/property_block.hpp"
#include "support/report_lines.hpp"

namespace korvale {
namespace {

using testing::line;
using testing::rendered;
using testing::repeat;

const std::string k260 = line("parse properties [src/patterns/parsing:260]");
const std::string k295 = line("parse properties [src/patterns/parsing:295]");
const std::string k332 = line("parse property value [src/patterns/parsing:332]");
const std::string k429 = line("parse list value [src/patterns/parsing:429]");
const std::string k443 = line("parse list value [src/patterns/parsing:443]");
const std::string k504 = line("parse dict value [src/patterns/parsing:504]");
const std::string k524 = line("parse dict value [src/patterns/parsing:524]");
const std::string k540 = line("extract dict key [src/patterns/parsing:540]");

const std::string kUnquoted =
    "': Invalid property value. Strings must be quoted, e.g., \"value\" or 'value'";
const std::string kNotFinite = "': Invalid numeric value (NaN or Infinity not supported)";

// Each case: the text and, for an accepted one, the text form of what it gives
// (a map for blocks, a value for single values); for a refused one, the report.
struct Case {
  std::string text;
  std::string expected;
};

// --- blocks -------------------------------------------------------------------

class AcceptedBlockTest : public ::testing::TestWithParam<Case> {};

TEST_P(AcceptedBlockTest, GivesTheMap) {
  auto map = parse_properties(GetParam().text);
  ASSERT_TRUE(map.has_value()) << format_report(map.error());
  auto text = map->to_string();
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, AcceptedBlockTest,
    ::testing::Values(
        Case{"{}", "{}"}, Case{"{ }", "{}"}, Case{"  {}  ", "{}"}, Case{"{a: 1, a: 2}", "{a: 2}"},
        Case{"{a: 1,}", "{a: 1}"}, Case{"{ a :1 , b: 'x' }", "{a: 1, b: \"x\"}"},
        // Keys are taken as written: quotes stay part of them.
        Case{"{'name': 'Bob'}", "{'name': \"Bob\"}"}, Case{"{'a,b': 1}", "{'a,b': 1}"},
        Case{"{a: 'x,y'}", "{a: \"x,y\"}"}, Case{"{a: 'x}', b: \"{\"}", "{a: \"x}\", b: \"{\"}"},
        Case{"{a: \"it's\", b: 'say \"hi\"'}", "{a: \"it's\", b: \"say \\\"hi\\\"\"}"},
        Case{"{a: true, b: None, c: null, d: false}", "{a: true, b: (), c: (), d: false}"},
        Case{"{b: 1, B: 2, a: 3, \xc3\xa9: 4}", "{B: 2, a: 3, b: 1, \xc3\xa9: 4}"},
        Case{"{a: 9223372036854775807, b: -9223372036854775808}",
             "{a: 9223372036854775807, b: -9223372036854775808}"},
        // An integer beyond 64 bits becomes the nearest float.
        Case{"{a: 9223372036854775808}", "{a: 9.223372036854776e18}"},
        Case{"{a: +3, b: .5, c: 1., d: -0.0, e: 2.5E+3, f: 007}",
             "{a: 3, b: 0.5, c: 1.0, d: -0.0, e: 2500.0, f: 7}"},
        // Below the smallest float the nearest value is a zero, not an error.
        Case{"{a: 1e-400, b: -1e-400}", "{a: 0.0, b: -0.0}"},
        Case{"{a: [1, , 2], b: [], c: [,]}", "{a: [1, 2], b: [], c: []}"},
        Case{"{a: ['x,y', \"z\", [true, []]]}", "{a: [\"x,y\", \"z\", [true, []]]}"},
        Case{"{a: {'k': 1, k2: [1]}}", "{a: #{\"k\": 1, \"k2\": [1]}}"},
        Case{"{a: {: 1}}", "{a: #{}}"}, Case{"{a: {b: 1, b: 2,}}", "{a: #{\"b\": 2}}"},
        Case{"{a: {k: 'x:y', 'q,r': {}}}", "{a: #{\"k\": \"x:y\", \"q,r\": #{}}}"},
        Case{"{a: 'x\\ny\\t\\'\\\\'}", "{a: \"x\\ny\\t'\\\\\"}"},
        // An escape the language does not know keeps its backslash.
        Case{"{a: 'a\\qb'}", "{a: \"a\\\\qb\"}"}));

class RefusedBlockTest : public ::testing::TestWithParam<Case> {};

TEST_P(RefusedBlockTest, RendersTheFullReport) {
  EXPECT_EQ(rendered(parse_properties(GetParam().text)), GetParam().expected);
}

const std::string kBraces = "': Properties must be enclosed in braces {}";
const std::string kMissingColon = "': Missing colon in property definition";

INSTANTIATE_TEST_SUITE_P(
    Blocks, RefusedBlockTest,
    ::testing::Values(
        Case{"", "Invalid Pattern; '" + kBraces}, Case{"x: 1", "Invalid Pattern; 'x: 1" + kBraces},
        Case{" {x: 1 ", "Invalid Pattern; '{x: 1" + kBraces},
        Case{"{a: 1, b}", "Invalid Pattern; '{a: 1, b}" + kMissingColon},
        Case{"{a}", "Invalid Pattern; '{a}" + kMissingColon},
        Case{"{a, b: 1}", "Invalid Pattern; '{a, b: 1}" + kMissingColon},
        Case{"{: 1}", "Invalid Pattern; '{: 1}': Empty property key"},
        Case{"{a: 1: 2}", "Invalid Pattern; '{a: 1: 2}': Unexpected colon in property value"},
        // Parentheses are ordinary characters in a block: the comma ends the entry.
        Case{"{a: (1, 2)}", "Invalid Pattern; '(1" + kUnquoted + k260},
        Case{"{a: True}", "Invalid Pattern; 'True" + kUnquoted + k295},
        Case{"{a: 1_000}", "Invalid Pattern; '1_000" + kUnquoted + k295},
        Case{"{a: 1e400}", "Invalid Pattern; '1e400" + kNotFinite + k295},
        Case{"{a: inf}", "Invalid Pattern; 'inf" + kNotFinite + k295},
        Case{"{a: NaN, b: 1}", "Invalid Pattern; 'NaN" + kNotFinite + k260},
        Case{"{a: 'x}",
             "Invalid Pattern; ''x': Unclosed string literal (expected closing ')" + k295},
        Case{"{a: \"x'}",
             "Invalid Pattern; '\"x'': Unclosed string literal (expected closing \")" + k295},
        Case{"{a: '}", "Invalid Pattern; ''': Unclosed string literal (expected closing ')" + k295},
        // The backslash just before the closing quote leaves an escape open.
        Case{"{a: 'x\\'}",
             "Invalid Pattern; 'x\\': String ends with incomplete escape sequence" + k295 + k332},
        Case{"{a: }", "Invalid Pattern; '': Empty property value" + k295},
        Case{"{a: , b: 1}", "Invalid Pattern; '': Empty property value" + k260},
        Case{"{a: [1, 2}", "Invalid Pattern; '[1, 2" + kUnquoted + k295},
        // Inside a nested list a quote is ordinary, so it does not hide the "]".
        Case{"{a: [['x]', 1], 2]}", "Invalid Pattern; '['x]', 1], 2" + kUnquoted + k295 + k443},
        // Lists count parentheses, so "(1, 2)" stays one item.
        Case{"{a: [(1, 2)]}", "Invalid Pattern; '(1, 2)" + kUnquoted + k295 + k443},
        Case{"{a: [x, 1], b: 2}", "Invalid Pattern; 'x" + kUnquoted + k260 + k429},
        Case{"{a: {k}}", "Invalid Pattern; '': Empty property value" + k295 + k524},
        // The key is the quote character itself; the value is missing.
        Case{"{a: {'}}", "Invalid Pattern; '': Empty property value" + k295 + k524},
        Case{"{a: {k: 1: 2}}", "Invalid Pattern; '1: 2" + kUnquoted + k295 + k524},
        Case{"{a: {k: (1, 2)}}", "Invalid Pattern; '(1, 2)" + kUnquoted + k295 + k524},
        Case{"{a: {b: [x]}}", "Invalid Pattern; 'x" + kUnquoted + k295 + k524 + k443},
        Case{"{a: {b: [x], c: 1}, d: 2}", "Invalid Pattern; 'x" + kUnquoted + k260 + k504 + k443},
        // The dictionary's own key failures pass on without a line of their own.
        Case{"{a: {: 1, b: 2}}", "Invalid Pattern; '': Empty dictionary key" + k295},
        Case{"{a: {'k\\': 1}}",
             "Invalid Pattern; 'k\\': String ends with incomplete escape sequence" + k295 + k540}));

// --- single values --------------------------------------------------------------

class AcceptedValueTest : public ::testing::TestWithParam<Case> {};

TEST_P(AcceptedValueTest, GivesTheValue) {
  auto value = parse_property_value(GetParam().text);
  ASSERT_TRUE(value.has_value()) << format_report(value.error());
  EXPECT_EQ(value->to_string(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, AcceptedValueTest,
    ::testing::Values(Case{"'a'", "\"a\""}, Case{"''", "\"\""}, Case{"\"\"", "\"\""},
                      Case{" 42 ", "42"}, Case{"-7", "-7"}, Case{"+0", "0"},
                      Case{"1e5", "100000.0"}, Case{"1E-5", "1e-5"}, Case{"-.5e1", "-5.0"},
                      Case{"99999999999999999999", "1e20"},
                      Case{"-9223372036854775809", "-9.223372036854776e18"}, Case{"null", "()"},
                      Case{"None", "()"}, Case{"true", "true"},
                      Case{"[1, 'a', [true]]", "[1, \"a\", [true]]"},
                      Case{"[\"it's\", 'a\"b']", "[\"it's\", \"a\\\"b\"]"},
                      Case{"{b: 1, a: 2}", "#{\"a\": 2, \"b\": 1}"},
                      Case{"'\xc3\xa9\xe5\x90\x8d'", "\"\xc3\xa9\xe5\x90\x8d\""}));

class RefusedValueTest : public ::testing::TestWithParam<Case> {};

TEST_P(RefusedValueTest, RendersTheFullReport) {
  EXPECT_EQ(rendered(parse_property_value(GetParam().text)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, RefusedValueTest,
    ::testing::Values(
        Case{"", "Invalid Pattern; '': Empty property value"},
        // The pattern of an empty value is empty, whatever white space it had.
        Case{" \t\u3000", "Invalid Pattern; '': Empty property value"},
        Case{"'", "Invalid Pattern; ''': Unclosed string literal (expected closing ')"},
        Case{"\"abc'", "Invalid Pattern; '\"abc'': Unclosed string literal (expected closing \")"},
        Case{"TRUE", "Invalid Pattern; 'TRUE" + kUnquoted},
        Case{"NULL", "Invalid Pattern; 'NULL" + kUnquoted},
        Case{".", "Invalid Pattern; '." + kUnquoted},
        Case{"e5", "Invalid Pattern; 'e5" + kUnquoted},
        Case{"1e", "Invalid Pattern; '1e" + kUnquoted},
        Case{"+", "Invalid Pattern; '+" + kUnquoted},
        Case{"--1", "Invalid Pattern; '--1" + kUnquoted},
        Case{"0x10", "Invalid Pattern; '0x10" + kUnquoted},
        Case{"1 2", "Invalid Pattern; '1 2" + kUnquoted},
        Case{"nan(1)", "Invalid Pattern; 'nan(1)" + kUnquoted},
        Case{"\xd9\xa1", "Invalid Pattern; '\xd9\xa1" + kUnquoted},  // an Arabic-Indic digit
        Case{"INF", "Invalid Pattern; 'INF" + kNotFinite},
        Case{"-Infinity", "Invalid Pattern; '-Infinity" + kNotFinite},
        Case{"+nan", "Invalid Pattern; '+nan" + kNotFinite},
        Case{"-1e309", "Invalid Pattern; '-1e309" + kNotFinite},
        Case{"[1, x]", "Invalid Pattern; 'x" + kUnquoted + k443},
        Case{"{a: [y]}", "Invalid Pattern; 'y" + kUnquoted + k524 + k443}));

TEST(NestedValueTest, NestingUpToTheLimitParsesAndDeeperIsRefused) {
  const auto nested = [](std::size_t levels) {
    return repeat("[", levels) + "1" + repeat("]", levels);
  };
  auto deepest = parse_property_value(nested(kMaxValueDepth));
  ASSERT_TRUE(deepest.has_value()) << format_report(deepest.error());
  EXPECT_EQ(deepest->to_string(), nested(kMaxValueDepth));

  auto too_deep = parse_property_value(nested(kMaxValueDepth + 1));
  ASSERT_FALSE(too_deep.has_value());
  // The innermost list is refused; every enclosing list adds its line.
  EXPECT_EQ(format_report(too_deep.error()),
            "Invalid Pattern; '[1]': Property value is nested too deeply (more than 256 levels)" +
                repeat(k443, kMaxValueDepth));
}

TEST(NestedValueTest, HugeNestingOfDictsInABlockEndsInAReport) {
  const std::string block = "{a: " + repeat("{k: ", 20000) + "1" + repeat("}", 20001);
  auto map = parse_properties(block);
  ASSERT_FALSE(map.has_value());
  const auto* error = std::get_if<kind::InvalidPattern>(&map.error().kind());
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->reason, "Property value is nested too deeply (more than 256 levels)");
}

// --- keys and escapes -------------------------------------------------------------

class DictKeyTest : public ::testing::TestWithParam<Case> {};

TEST_P(DictKeyTest, ExtractsTheKey) {
  auto key = extract_dict_key(GetParam().text);
  ASSERT_TRUE(key.has_value()) << format_report(key.error());
  EXPECT_EQ(*key, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Keys, DictKeyTest,
                         ::testing::Values(Case{"'k'", "k"}, Case{" \"k\" ", "k"},
                                           Case{"'k\"", "'k\""}, Case{"'", "'"}, Case{"''", ""},
                                           Case{"k", "k"}, Case{"'a\\tb'", "a\tb"},
                                           Case{"a b", "a b"}));

TEST(DictKeyTest, EmptyKeyIsRefused) {
  EXPECT_EQ(rendered(extract_dict_key(" \t ")), "Invalid Pattern; '': Empty dictionary key");
}

class UnescapeTest : public ::testing::TestWithParam<Case> {};

TEST_P(UnescapeTest, ResolvesTheEscapes) {
  auto text = unescape_string(GetParam().text);
  ASSERT_TRUE(text.has_value()) << format_report(text.error());
  EXPECT_EQ(*text, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Escapes, UnescapeTest,
                         ::testing::Values(Case{"plain", "plain"}, Case{"a\\nb", "a\nb"},
                                           Case{"\\r\\t\\\\\\\"\\'", "\r\t\\\"'"},
                                           Case{"\\0x", std::string("\0x", 2)}, Case{"\\q", "\\q"},
                                           Case{"\\\xc3\xa9", "\\\xc3\xa9"}, Case{"\\\\", "\\"},
                                           Case{"\\\\\\\\", "\\\\"}));

TEST(UnescapeTest, TrailingBackslashIsRefused) {
  EXPECT_EQ(rendered(unescape_string("abc\\")),
            "Invalid Pattern; 'abc\\': String ends with incomplete escape sequence");
  EXPECT_EQ(rendered(unescape_string("\\n\\")),
            "Invalid Pattern; '\\n\\': String ends with incomplete escape sequence");
}

}  // namespace
}  // namespace korvale
