#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "patterns/parsing.hpp"
#include "support/report_lines.hpp"

namespace korvale {
namespace {

using testing::line;
using testing::rendered;
using testing::repeat;

// --- tokenizer --------------------------------------------------------------------

// Tokens written as N`text` or E`text`, joined by blanks, for whole-sequence comparison.
std::string describe(const std::vector<Token>& tokens) {
  std::string out;
  for (const Token& token : tokens) {
    if (!out.empty()) out += " ";
    out += (token.kind == Token::Kind::Node ? "N`" : "E`") + token.text + "`";
  }
  return out;
}

struct TokenCase {
  std::string text;
  std::string expected;  // the tokens, or the rendered report
};

class AcceptedTokensTest : public ::testing::TestWithParam<TokenCase> {};

TEST_P(AcceptedTokensTest, CutsTheText) {
  auto tokens = tokenize_pattern(GetParam().text);
  ASSERT_TRUE(tokens.has_value()) << format_report(tokens.error());
  EXPECT_EQ(describe(*tokens), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, AcceptedTokensTest,
    ::testing::Values(
        TokenCase{"(a)", "N`(a)`"}, TokenCase{"(a)-[e]->(b)", "N`(a)` E`-[e]->` N`(b)`"},
        TokenCase{"(a) -[e]->  (b)", "N`(a)` E`-[e]->` N`(b)`"},
        TokenCase{"(a)- [e] ->(b)", "N`(a)` E`- [e] ->` N`(b)`"},
        // The four blanks: space, tab, line feed, carriage return.
        TokenCase{"(a)\t-[e]->\n\r(b)", "N`(a)` E`-[e]->` N`(b)`"},
        TokenCase{"(a)(b)", "N`(a)` N`(b)`"}, TokenCase{"(a)--(b)", "N`(a)` E`--` N`(b)`"},
        TokenCase{"(a) - (b)", "N`(a)` E`- ` N`(b)`"}, TokenCase{"<-[e]-(b)", "E`<-[e]-` N`(b)`"},
        TokenCase{"(a)-[e:(A -> B)]->(b)", "N`(a)` E`-[e:(A -> B)]->` N`(b)`"},
        TokenCase{"(a)-[[e]]->(b)", "N`(a)` E`-[[e]]->` N`(b)`"},
        // The bracket depth may fall below 0 and come back.
        TokenCase{"(a)-]-[(b)", "N`(a)` E`-]-[` N`(b)`"},
        // Brackets, braces, quotes and blanks inside a node text are only appended.
        TokenCase{"(x:A {k: '[', l: \"]\"})", "N`(x:A {k: '[', l: \"]\"})`"},
        TokenCase{"(n {s: '(x)'})", "N`(n {s: '(x)'})`"},
        TokenCase{"(x:(t: A) -> B)", "N`(x:(t: A) -> B)`"},
        TokenCase{"(\xc3\xa9)-[\xc3\xbc]->(\xe5\x90\x8d)",
                  "N`(\xc3\xa9)` E`-[\xc3\xbc]->` N`(\xe5\x90\x8d)`"}));

class RefusedTokensTest : public ::testing::TestWithParam<TokenCase> {};

TEST_P(RefusedTokensTest, RendersTheReport) {
  EXPECT_EQ(rendered(tokenize_pattern(GetParam().text)), GetParam().expected);
}

std::string refused(const std::string& text, const std::string& reason) {
  return "Invalid Pattern; '" + text + "': " + reason;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RefusedTokensTest,
    ::testing::Values(
        TokenCase{"(a)-[e]->", refused("(a)-[e]->", "Pattern cannot end with an edge")},
        TokenCase{"(a)-[e]", refused("(a)-[e]", "Pattern cannot end with an edge")},
        TokenCase{"(a", refused("(a", "Unmatched parentheses in pattern")},
        TokenCase{"((a)", refused("((a)", "Unmatched parentheses in pattern")},
        // Open parentheses are reported before open brackets.
        TokenCase{"(a)-[e](", refused("(a)-[e](", "Unmatched parentheses in pattern")},
        TokenCase{"(a)-[e", refused("(a)-[e", "Unmatched brackets in pattern")},
        TokenCase{"(a)-]", refused("(a)-]", "Unmatched brackets in pattern")},
        // The "-" taken between tokens gets no end check.
        TokenCase{"(a)-(b)", refused("(a)-(b)", "Unexpected character '(' in edge pattern")},
        TokenCase{"(a)-)", refused("(a)-)", "Unexpected character ')' in edge pattern")},
        // An open parenthesis inside the brackets keeps the edge from ending.
        TokenCase{"(a)-[e(]->(b)",
                  refused("(a)-[e(]->(b)", "Unexpected character '(' in edge pattern")},
        TokenCase{"(a) x",
                  refused("(a) x", "Unexpected character 'x' outside of node or edge pattern")},
        TokenCase{"(a))",
                  refused("(a))", "Unexpected character ')' outside of node or edge pattern")},
        TokenCase{"(a)-[e]x->(b)",
                  refused("(a)-[e]x->(b)", "Unexpected character 'x' in edge pattern")},
        TokenCase{"(a)-x", refused("(a)-x", "Unexpected character 'x' in edge pattern")},
        // Form feed and no-break space are white space but not blanks here.
        TokenCase{"(a)\f(b)",
                  refused("(a)\f(b)", "Unexpected character '\f' outside of node or edge pattern")},
        TokenCase{"(a)\xc2\xa0(b)", refused("(a)\xc2\xa0(b)",
                                            "Unexpected character '\xc2\xa0' outside of node or "
                                            "edge pattern")},
        TokenCase{
            "(a)-\xe2\x86\x92(b)",
            refused("(a)-\xe2\x86\x92(b)", "Unexpected character '\xe2\x86\x92' in edge pattern")},
        // Quotes do not protect parentheses: the ")" inside the string ends the node.
        TokenCase{"(n {s: 'a)b'})",
                  refused("(n {s: 'a)b'})",
                          "Unexpected character 'b' outside of node or edge pattern")}));

// A long run of blanks inside an edge asks for the next node at every blank;
// the answer is remembered, so the scan stays linear.
TEST(TokenizerTest, LongBlankRunsInAnEdgeStayLinear) {
  const std::string text = "(a)-" + repeat(" \t", 100000) + "x";
  const auto start = std::chrono::steady_clock::now();
  auto tokens = tokenize_pattern(text);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  // Compared as a flag: a mismatch would print 200000 blanks.
  EXPECT_TRUE(rendered(tokens) == refused(text, "Unexpected character 'x' in edge pattern"));

  // The first blank already sees the node: the rest are skipped between tokens.
  auto joined = tokenize_pattern("(a)-" + repeat(" \t", 100000) + "(b)");
  ASSERT_TRUE(joined.has_value());
  EXPECT_EQ(describe(*joined), "N`(a)` E`- ` N`(b)`");
}

// --- colon split --------------------------------------------------------------------

struct SplitCase {
  std::string text;
  std::vector<std::string> parts;
};

class AcceptedSplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(AcceptedSplitTest, GivesTheParts) {
  auto parts = smart_split_colons(GetParam().text);
  ASSERT_TRUE(parts.has_value()) << format_report(parts.error());
  EXPECT_EQ(*parts, GetParam().parts);
}

INSTANTIATE_TEST_SUITE_P(
    Elements, AcceptedSplitTest,
    ::testing::Values(SplitCase{"", {""}}, SplitCase{"a", {"a"}}, SplitCase{"a::b", {"a", "", "b"}},
                      SplitCase{" a : b ", {"a", "b"}}, SplitCase{"x:(t: A)", {"x", "(t: A)"}},
                      SplitCase{"a:[b:c]:{d:e}", {"a", "[b:c]", "{d:e}"}},
                      // Quotes are not special.
                      SplitCase{"'a:b'", {"'a", "b'"}}, SplitCase{":", {"", ""}}));

struct RefusedSplitCase {
  std::string text;
  std::string report;
};

class RefusedSplitTest : public ::testing::TestWithParam<RefusedSplitCase> {};

TEST_P(RefusedSplitTest, RendersTheReport) {
  EXPECT_EQ(rendered(smart_split_colons(GetParam().text)), GetParam().report);
}

INSTANTIATE_TEST_SUITE_P(
    Elements, RefusedSplitTest,
    ::testing::Values(RefusedSplitCase{"x:A]", refused("x:A]", "Unbalanced brackets in pattern")},
                      RefusedSplitCase{"x:[A", refused("x:[A", "Unbalanced brackets in pattern")},
                      RefusedSplitCase{"a)", refused("a)", "Unbalanced parentheses in pattern")},
                      RefusedSplitCase{"}{", refused("}{", "Unbalanced braces in pattern")},
                      // At the end, parentheses are tested before brackets, brackets before braces.
                      RefusedSplitCase{"{[(a",
                                       refused("{[(a", "Unbalanced parentheses in pattern")},
                      RefusedSplitCase{"{[a", refused("{[a", "Unbalanced brackets in pattern")},
                      RefusedSplitCase{"{a", refused("{a", "Unbalanced braces in pattern")},
                      // A closing character fails at once, before a later one of another kind.
                      RefusedSplitCase{"(])", refused("(])", "Unbalanced brackets in pattern")}));

// --- node and edge patterns -----------------------------------------------------------

// The parts of a pattern as "variable | type schema | term schema | properties",
// with "-" for an absent part.
template <class Pattern>
std::string describe_parts(const Pattern& pattern) {
  std::string properties = "-";
  if (pattern.properties) properties = pattern.properties->to_string().value_or("<poisoned>");
  return pattern.variable.value_or("-") + " | " +
         (pattern.type_schema ? pattern.type_schema->pattern : "-") + " | " +
         (pattern.term_schema ? pattern.term_schema->pattern : "-") + " | " + properties;
}

struct ElementCase {
  std::string text;
  std::string expected;  // the parts, or the rendered report
};

class AcceptedNodeTest : public ::testing::TestWithParam<ElementCase> {};

TEST_P(AcceptedNodeTest, GivesTheParts) {
  auto node = parse_node_pattern(GetParam().text);
  ASSERT_TRUE(node.has_value()) << format_report(node.error());
  EXPECT_EQ(describe_parts(*node), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Nodes, AcceptedNodeTest,
    ::testing::Values(
        ElementCase{"()", "- | - | - | -"}, ElementCase{" ( ) ", "- | - | - | -"},
        ElementCase{"(x)", "x | - | - | -"},
        // A lone part is a type schema only when it looks like one.
        ElementCase{"(Person)", "Person | - | - | -"}, ElementCase{"(*)", "- | * | - | -"},
        ElementCase{"(A -> B)", "- | A -> B | - | -"},
        ElementCase{"((t: A))", "- | (t: A) | - | -"}, ElementCase{"(x:A)", "x | A | - | -"},
        ElementCase{"(:A)", "- | A | - | -"}, ElementCase{"(x:)", "x | - | - | -"},
        ElementCase{"(x:A:f a)", "x | A | f a | -"}, ElementCase{"(::f)", "- | - | f | -"},
        ElementCase{"( x : A -> B : @c(A) y )", "x | A -> B | @c(A) y | -"},
        ElementCase{"(x:(t: A))", "x | (t: A) | - | -"},
        ElementCase{"(x:A {name: 'a:b'})", "x | A | - | {name: \"a:b\"}"},
        ElementCase{"(x:A:f {s: ':', t: [1, 2]})", "x | A | f | {s: \":\", t: [1, 2]}"},
        ElementCase{"({a: 1})", "- | - | - | {a: 1}"}, ElementCase{"(x {})", "x | - | - | {}"},
        ElementCase{"(\xc3\xa9:\xc3\x84 {\xc3\xbc: '\xe5\x90\x8d'})",
                    "\xc3\xa9 | \xc3\x84 | - | {\xc3\xbc: \"\xe5\x90\x8d\"}"}));

const std::string kNode732 = line("parse node pattern [src/patterns/parsing:732]");
const std::string kNode740 = line("parse node pattern [src/patterns/parsing:740]");
const std::string kNode750 = line("parse node pattern [src/patterns/parsing:750]");
const std::string kNode767 = line("parse node pattern [src/patterns/parsing:767]");
const std::string kNode783 = line("parse node pattern [src/patterns/parsing:783]");
const std::string kNode789 = line("parse node pattern [src/patterns/parsing:789]");
const std::string kNodeNew = line("node pattern - new [src/patterns/node:59]");
const std::string kEdge857 = line("parse edge pattern [src/patterns/parsing:857]");
const std::string kEdge865 = line("parse edge pattern [src/patterns/parsing:865]");
const std::string kEdge887 = line("parse edge pattern [src/patterns/parsing:887]");
const std::string kEdge904 = line("parse edge pattern [src/patterns/parsing:904]");
const std::string kEdge911 = line("parse edge pattern [src/patterns/parsing:911]");
const std::string kEdgeNew96 = line("edge pattern - new [src/patterns/edge:96]");
const std::string kEdgeNew100 = line("edge pattern - new [src/patterns/edge:100]");
const std::string kType38 = line("type schema - new [src/patterns/type_schema:38]");
const std::string kType48 = line("type schema - parse pattern [src/patterns/type_schema:48]");
const std::string kType109 =
    line("type schema - parse pattern recursive [src/patterns/type_schema:109]");
const std::string kType163 =
    line("type schema - parse pattern recursive [src/patterns/type_schema:163]");
const std::string kTerm38 = line("term schema - new [src/patterns/term_schema:38]");
const std::string kTerm81 = line("term schema - parse pattern [src/patterns/term_schema:81]");
const std::string kTerm93 = line("term schema - parse pattern [src/patterns/term_schema:93]");
const std::string kBlock295 = line("parse properties [src/patterns/parsing:295]");
const std::string kEmptyType = "Schema Validation Failed for '': Empty pattern";

class RefusedNodeTest : public ::testing::TestWithParam<ElementCase> {};

TEST_P(RefusedNodeTest, RendersTheFullReport) {
  EXPECT_EQ(rendered(parse_node_pattern(GetParam().text)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Nodes, RefusedNodeTest,
    ::testing::Values(
        ElementCase{"", refused("", "Node pattern must be enclosed in parentheses")},
        ElementCase{" x ", refused("x", "Node pattern must be enclosed in parentheses")},
        ElementCase{"(", refused("(", "Node pattern must be enclosed in parentheses")},
        ElementCase{"(x", refused("(x", "Node pattern must be enclosed in parentheses")},
        ElementCase{"(x:A:f:g)", refused("(x:A:f:g)",
                                         "Node pattern has too many ':' separators. Expected "
                                         "format: (var:TypeSchema:TermSchema)")},
        // Everything after the block's "{" is the block's text.
        ElementCase{"(x {a: 1} y)",
                    refused("{a: 1} y", "Properties must be enclosed in braces {}") + kNode732},
        ElementCase{"(x:A {a: b})", refused("b",
                                            "Invalid property value. Strings must be quoted, e.g., "
                                            "\"value\" or 'value'") +
                                        kNode732 + kBlock295},
        ElementCase{"(x:A])", refused("x:A]", "Unbalanced brackets in pattern") + kNode740},
        ElementCase{"(x:[A)", refused("x:[A", "Unbalanced brackets in pattern") + kNode740},
        // A "{" inside parentheses does not start the block; the split then sees it.
        ElementCase{"(x:@c({) {k: 1})",
                    refused("x:@c({)", "Unbalanced braces in pattern") + kNode740},
        ElementCase{"(1x)", "Invalid Identifier '1x': Name must start with a letter or underscore" +
                                kNodeNew},
        ElementCase{"(x*)",
                    "Invalid Identifier 'x*': Name can only contain alphanumeric characters and "
                    "underscores" +
                        kNode750 + kType38 + kType48 + kType163},
        // The type schema is compiled before the term schema and the variable.
        ElementCase{"(x:A->:@)", kEmptyType + kNode783 + kType38 + kType48 + kType109},
        ElementCase{"(1x:A->)", kEmptyType + kNode767 + kType38 + kType48 + kType109},
        ElementCase{"(1x:A:f\tx)", "Invalid Identifier 'f\tx': Name cannot contain whitespace" +
                                       kNode789 + kTerm38 + kTerm93}));

class AcceptedEdgeTest : public ::testing::TestWithParam<ElementCase> {};

const char* direction_name(CompiledDirection direction) {
  switch (direction) {
    case CompiledDirection::Forward:
      return "Forward";
    case CompiledDirection::Backward:
      return "Backward";
    case CompiledDirection::Any:
      return "Any";
  }
  return "?";
}

TEST_P(AcceptedEdgeTest, GivesTheDirectionAndTheParts) {
  auto edge = parse_edge_pattern(GetParam().text);
  ASSERT_TRUE(edge.has_value()) << format_report(edge.error());
  EXPECT_EQ(std::string(direction_name(edge->direction)) + ": " + describe_parts(*edge),
            GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, AcceptedEdgeTest,
    ::testing::Values(
        ElementCase{"-[]->", "Forward: - | - | - | -"}, ElementCase{"-[ ]-", "Any: - | - | - | -"},
        ElementCase{"-[e]->", "Forward: e | - | - | -"},
        ElementCase{"-[e]>", "Forward: e | - | - | -"},
        ElementCase{"<-[e]-", "Backward: e | - | - | -"},
        ElementCase{"<[e]-", "Backward: e | - | - | -"}, ElementCase{"-[e]-", "Any: e | - | - | -"},
        ElementCase{"[e]", "Any: e | - | - | -"},
        // The left side wins when both carry an arrowhead without "<-" and "->" together.
        ElementCase{"<[e]>", "Backward: e | - | - | -"},
        ElementCase{"<-[e]>", "Backward: e | - | - | -"},
        ElementCase{" - [e] -> ", "Forward: e | - | - | -"},
        // An edge never takes a lone part as its type schema.
        ElementCase{"-[A]->", "Forward: A | - | - | -"},
        ElementCase{"-[:A -> B]->", "Forward: - | A -> B | - | -"},
        ElementCase{"-[e:(A -> B)]->", "Forward: e | (A -> B) | - | -"},
        ElementCase{"-[e:A:f x]->", "Forward: e | A | f x | -"},
        ElementCase{"-[e {w: 1}]->", "Forward: e | - | - | {w: 1}"},
        // The first "[" and the last "]" delimit the inner text.
        ElementCase{"-[e {k: [1, [2]]}]->", "Forward: e | - | - | {k: [1, [2]]}"}));

class RefusedEdgeTest : public ::testing::TestWithParam<ElementCase> {};

TEST_P(RefusedEdgeTest, RendersTheFullReport) {
  EXPECT_EQ(rendered(parse_edge_pattern(GetParam().text)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, RefusedEdgeTest,
    ::testing::Values(
        ElementCase{"--", refused("--", "Edge pattern must contain brackets")},
        ElementCase{" - ", refused("-", "Edge pattern must contain brackets")},
        ElementCase{"-[e->", refused("-[e->", "Edge pattern must contain closing bracket")},
        ElementCase{"-][->", refused("-][->", "Brackets are mismatched")},
        ElementCase{"<-[e]->", refused("<-[e]->", "Cannot have both <- and -> in same edge")},
        ElementCase{"-[e:T:f:g]->", refused("-[e:T:f:g]->",
                                            "Edge pattern has too many ':' separators. Expected "
                                            "format: [var:TypeSchema:TermSchema]")},
        ElementCase{"-[A -> B]->",
                    "Invalid Identifier 'A -> B': Name cannot contain whitespace" + kEdgeNew96},
        ElementCase{"-[*]->",
                    "Invalid Identifier '*': Name can only contain alphanumeric characters and "
                    "underscores" +
                        kEdgeNew96},
        ElementCase{"-[e:A->]->", kEmptyType + kEdge887 + kType38 + kType48 + kType109},
        ElementCase{"-[e:A->:f]->", kEmptyType + kEdge904 + kType38 + kType48 + kType109},
        ElementCase{"-[e:A:@c]->",
                    refused("@c", "Constant pattern must have parentheses with type arguments") +
                        kEdge911 + kTerm38 + kTerm81},
        ElementCase{"-[e {a}]->",
                    refused("{a}", "Missing colon in property definition") + kEdge857},
        ElementCase{"-[e:(A]->", refused("e:(A", "Unbalanced parentheses in pattern") + kEdge865}));

struct DirectionCase {
  std::string text;
  std::string report;
};

class EdgeDirectionTextTest : public ::testing::TestWithParam<DirectionCase> {};

TEST_P(EdgeDirectionTextTest, OnlyTheThreeExactTextsPass) {
  EXPECT_EQ(
      rendered(EdgePattern::new_("e", std::nullopt, std::nullopt, GetParam().text, std::nullopt)),
      GetParam().report);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, EdgeDirectionTextTest,
    ::testing::Values(DirectionCase{"sideways",
                                    "Schema Validation Failed for 'sideways': Direction "
                                    "must be 'forward', 'backward', or 'any'" +
                                        kEdgeNew100},
                      DirectionCase{"Forward",
                                    "Schema Validation Failed for 'Forward': Direction "
                                    "must be 'forward', 'backward', or 'any'" +
                                        kEdgeNew100},
                      DirectionCase{"",
                                    "Schema Validation Failed for '': Direction must be "
                                    "'forward', 'backward', or 'any'" +
                                        kEdgeNew100}));

TEST(EdgeDirectionTextTest, TheVariableIsTestedBeforeTheDirection) {
  EXPECT_EQ(rendered(EdgePattern::new_("1e", std::nullopt, std::nullopt, "up", std::nullopt)),
            "Invalid Identifier '1e': Name must start with a letter or underscore" + kEdgeNew96);
}

TEST(PatternCopyTest, CopiesShareThePropertyMap) {
  auto node = parse_node_pattern("(x {a: 1})");
  auto edge = parse_edge_pattern("-[e {a: 1}]->");
  ASSERT_TRUE(node.has_value() && edge.has_value());
  const NodePattern node_copy = *node;
  const EdgePattern edge_copy = *edge;
  ASSERT_TRUE(node_copy.properties && edge_copy.properties);
  ASSERT_TRUE(node_copy.properties->insert("b", Dynamic::integer(2)).has_value());
  ASSERT_TRUE(edge->properties->insert("c", Dynamic::integer(3)).has_value());
  EXPECT_EQ(node->properties->to_string().value_or(""), "{a: 1, b: 2}");
  EXPECT_EQ(edge_copy.properties->to_string().value_or(""), "{a: 1, c: 3}");
}

}  // namespace
}  // namespace korvale
