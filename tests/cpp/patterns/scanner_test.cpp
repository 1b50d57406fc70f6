// The one scan of pattern text, checked per syntax against a table of texts
// and the stops each gives.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <string_view>

#include "patterns/scanner.hpp"

namespace korvale {
namespace {

constexpr std::size_t npos = std::string_view::npos;

constexpr ScanRules kBlanks({.brackets = "()", .separators = " "});
constexpr ScanRules kQuotedEntries({.brackets = "[]{}",
                                    .separators = ":,",
                                    .quotes = Quotes::Anywhere});
constexpr ScanRules kTopLevelQuotes({.brackets = "()[]{}",
                                     .separators = ",",
                                     .quotes = Quotes::TopLevel});
constexpr ScanRules kSharedDepth({.brackets = "()[]", .separators = ","});
constexpr ScanRules kDepthPerPair({.brackets = "()[]",
                                   .separators = ",",
                                   .depths = Depths::PerPair});
constexpr ScanRules kStopAtUnbalanced({.brackets = "()[]{}",
                                       .separators = ":",
                                       .depths = Depths::PerPair,
                                       .unbalanced = Unbalanced::Stop});

// Every stop of a whole scan: the separators' offsets, then how it ended
// ("end" or "closer PAIR at OFFSET") and the three depths there.
std::string trace(std::string_view text, const ScanRules& rules) {
  Scanner scan(text, rules);
  std::string out;
  while (scan.next()) out += std::to_string(scan.offset()) + " ";
  out += "| ";
  if (scan.at_unbalanced()) {
    out +=
        "closer " + std::to_string(scan.unbalanced_pair()) + " at " + std::to_string(scan.offset());
  } else {
    out += "end at " + std::to_string(scan.offset());
  }
  out += " depths " + std::to_string(scan.depth(0)) + "," + std::to_string(scan.depth(1)) + "," +
         std::to_string(scan.depth(2));
  return out;
}

struct ScanCase {
  const char* what;
  const ScanRules* rules;
  std::string text;
  std::string expected;
};

void PrintTo(const ScanCase& c, std::ostream* out) {
  *out << c.what << ": \"" << c.text << "\"";
}

class ScannerTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScannerTest, StopsWhereTheSyntaxSays) {
  EXPECT_EQ(trace(GetParam().text, *GetParam().rules), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Syntaxes, ScannerTest,
    ::testing::Values(
        ScanCase{"empty text", &kBlanks, "", "| end at 0 depths 0,0,0"},
        ScanCase{"top-level separators", &kBlanks, "a b c", "1 3 | end at 5 depths 0,0,0"},
        ScanCase{"nested ones are passed over", &kBlanks, "f (x (y z)) w",
                 "1 11 | end at 13 depths 0,0,0"},
        ScanCase{"separators at both ends", &kSharedDepth, ",a,", "0 2 | end at 3 depths 0,0,0"},
        ScanCase{"an open bracket hides the rest", &kBlanks, "a (b c", "1 | end at 6 depths 1,0,0"},
        ScanCase{"a negative depth is not the top level", &kBlanks, ") a b",
                 "| end at 5 depths -1,0,0"},
        ScanCase{"coming back to 0 is", &kBlanks, ")( a", "2 | end at 4 depths 0,0,0"},
        ScanCase{"ASCII bytes only, inside UTF-8", &kBlanks, "\xc3\xa9 \xe5\x90\x8d x",
                 "2 6 | end at 8 depths 0,0,0"},
        ScanCase{"plain quotes are ordinary", &kBlanks, "' '", "1 | end at 3 depths 0,0,0"},
        ScanCase{"quotes hide separators", &kQuotedEntries, "a:'x,y',b:\"c:d\"",
                 "1 7 9 | end at 15 depths 0,0,0"},
        ScanCase{"quotes hide brackets", &kQuotedEntries, "'[',x", "3 | end at 5 depths 0,0,0"},
        ScanCase{"only the opening quote closes", &kQuotedEntries, "\"it's\",x",
                 "6 | end at 8 depths 0,0,0"},
        ScanCase{"a backslash escapes no quote", &kQuotedEntries, "'a\\',b",
                 "4 | end at 6 depths 0,0,0"},
        ScanCase{"a quote after a backslash still closes", &kQuotedEntries, "'a\\'b',c",
                 "| end at 8 depths 0,0,0"},
        ScanCase{"an unclosed quote hides the rest", &kQuotedEntries, "'a,b:c",
                 "| end at 6 depths 0,0,0"},
        ScanCase{"quotes count inside brackets", &kQuotedEntries, "[']'],x",
                 "5 | end at 7 depths 0,0,0"},
        ScanCase{"top-level quotes count at the top", &kTopLevelQuotes, "'a,b',c",
                 "5 | end at 7 depths 0,0,0"},
        ScanCase{"and not inside brackets", &kTopLevelQuotes, "[']'],x", "| end at 7 depths 0,0,0"},
        ScanCase{"a nested quote is ordinary", &kTopLevelQuotes, "['],x",
                 "3 | end at 5 depths 0,0,0"},
        ScanCase{"a shared depth balances (]", &kSharedDepth, "(],x", "2 | end at 4 depths 0,0,0"},
        ScanCase{"a depth per pair does not", &kDepthPerPair, "(],x", "| end at 4 depths 1,-1,0"},
        ScanCase{"a depth per pair nests", &kDepthPerPair, "([]),x", "4 | end at 6 depths 0,0,0"},
        ScanCase{"an unbalanced closer stops", &kStopAtUnbalanced, "a:(b]:c",
                 "1 | closer 1 at 4 depths 1,-1,0"},
        ScanCase{"the closer of its own pair", &kStopAtUnbalanced, "}",
                 "| closer 2 at 0 depths 0,0,-1"},
        ScanCase{"balanced nesting does not stop", &kStopAtUnbalanced, "(a:[b]):{c:d}:e",
                 "7 13 | end at 15 depths 0,0,0"},
        ScanCase{"an open bracket ends the scan open", &kStopAtUnbalanced, "{a:b",
                 "| end at 4 depths 0,0,1"}));

struct FindCase {
  std::string text;
  std::size_t open;
  std::size_t expected;
};

class ClosingParenthesisTest : public ::testing::TestWithParam<FindCase> {};

TEST_P(ClosingParenthesisTest, FindsTheMatchingOne) {
  EXPECT_EQ(find_closing_parenthesis(GetParam().text, GetParam().open), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Parentheses, ClosingParenthesisTest,
                         ::testing::Values(FindCase{"()", 0, 1}, FindCase{"(a(b)c)d", 0, 6},
                                           FindCase{"(a(b)c)d", 2, 4}, FindCase{"f(a(b)c", 1, npos},
                                           // Quotes and other brackets are ordinary.
                                           FindCase{"(')')", 0, 2}, FindCase{"([)]", 0, 2}));

TEST(FindTopLevelTest, GivesTheFirstSeparatorOrNone) {
  EXPECT_EQ(find_top_level("a (b c) d", kBlanks), 1u);
  EXPECT_EQ(find_top_level("(b c) d", kBlanks), 5u);
  EXPECT_EQ(find_top_level("(b c d", kBlanks), npos);
  EXPECT_EQ(find_top_level("'a:b'", kQuotedEntries), npos);
}

}  // namespace
}  // namespace korvale
