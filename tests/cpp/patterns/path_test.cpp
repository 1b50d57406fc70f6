#include <gtest/gtest.h>

#include <string>

#include "patterns/path.hpp"
#include "support/map_sharing.hpp"
#include "support/report_lines.hpp"

namespace korvale {
namespace {

using testing::line;
using testing::rendered;

// The elements in order: "(v)" per node and "[v>]", "[v<]" or "[v-]" per
// edge, by direction; "_" for an absent variable.
std::string describe(const PathPattern& path) {
  std::string out;
  for (const NodePattern& node : path.nodes) out += "(" + node.variable.value_or("_") + ")";
  for (const EdgePattern& edge : path.edges) {
    const char* arrow = edge.direction == CompiledDirection::Forward    ? ">"
                        : edge.direction == CompiledDirection::Backward ? "<"
                                                                        : "-";
    out += "[" + edge.variable.value_or("_") + arrow + "]";
  }
  return out;
}

struct Accepted {
  std::string text;
  std::string pattern;  // the trimmed text kept by the path
  std::string elements;
  bool valid;  // whether validate passes
};

class AcceptedPathTest : public ::testing::TestWithParam<Accepted> {};

TEST_P(AcceptedPathTest, ParsesEveryElement) {
  auto path = PathPattern::new_(GetParam().text);
  ASSERT_TRUE(path.has_value()) << format_report(path.error());
  EXPECT_EQ(path->pattern, GetParam().pattern);
  EXPECT_EQ(path->to_string(), GetParam().pattern);
  EXPECT_EQ(describe(*path), GetParam().elements);
  EXPECT_EQ(path->validate().has_value(), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, AcceptedPathTest,
    ::testing::Values(Accepted{"(a)", "(a)", "(a)", true},
                      Accepted{"  (a)-[e]->(b)\n", "(a)-[e]->(b)", "(a)(b)[e>]", true},
                      Accepted{"(a) -[e]->  (b)", "(a) -[e]->  (b)", "(a)(b)[e>]", true},
                      // White space of any kind is trimmed at the ends.
                      Accepted{"\xc2\xa0(a)\xe3\x80\x80", "(a)", "(a)", true},
                      Accepted{"(a:A)-[f:A -> B]->(b:B {name: 'x'})",
                               "(a:A)-[f:A -> B]->(b:B {name: 'x'})", "(a)(b)[f>]", true},
                      Accepted{"(a)<-[e]-(b)-[g]-(c)", "(a)<-[e]-(b)-[g]-(c)", "(a)(b)(c)[e<][g-]",
                               true},
                      // Only the counts matter: an edge written first still joins the two nodes.
                      Accepted{"-[e]->(a)(b)", "-[e]->(a)(b)", "(a)(b)[e>]", true},
                      Accepted{"(a)(b)", "(a)(b)", "(a)(b)", false},
                      Accepted{"()-[]->()", "()-[]->()", "(_)(_)[_>]", true}));

TEST(AcceptedPathTest, CopiesShareThePropertyMaps) {
  auto path = PathPattern::new_("(a {k: 1})-[e {w: 2}]->(b)");
  ASSERT_TRUE(path.has_value());
  const PathPattern copy = *path;
  ASSERT_TRUE(copy.nodes[0].properties && copy.edges[0].properties);
  EXPECT_TRUE(testing::share_map(*copy.nodes[0].properties, *path->nodes[0].properties));
  EXPECT_TRUE(testing::share_map(*copy.edges[0].properties, *path->edges[0].properties));
}

const std::string k50 = line("path pattern - new [src/patterns/path:50]");
const std::string k69 = line("path pattern - parse [src/patterns/path:69]");
const std::string k79 = line("path pattern - parse [src/patterns/path:79]");
const std::string k83 = line("path pattern - parse [src/patterns/path:83]");

struct Refused {
  std::string text;
  std::string report;
};

class RefusedPathTest : public ::testing::TestWithParam<Refused> {};

TEST_P(RefusedPathTest, RendersTheFullReport) {
  EXPECT_EQ(rendered(PathPattern::new_(GetParam().text)), GetParam().report);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RefusedPathTest,
    ::testing::Values(
        Refused{"", "Invalid Pattern; '': Pattern cannot be empty" + k50},
        Refused{" \t\n ", "Invalid Pattern; '': Pattern cannot be empty" + k50},
        Refused{"-[e]->(a)",
                "Invalid Pattern; '-[e]->(a)': Invalid pattern: too many edges for the number of "
                "nodes" +
                    k50},
        Refused{" (a)-[e]-> ",
                "Invalid Pattern; '(a)-[e]->': Pattern cannot end with an edge" + k50 + k69},
        Refused{"(a", "Invalid Pattern; '(a': Unmatched parentheses in pattern" + k50 + k69},
        Refused{"(a)-[e", "Invalid Pattern; '(a)-[e': Unmatched brackets in pattern" + k50 + k69},
        Refused{"(a)-(b)",
                "Invalid Pattern; '(a)-(b)': Unexpected character '(' in edge pattern" + k50 + k69},
        // Inside the text a form feed is no blank, while at the ends it is trimmed away.
        Refused{"\f(a)\f(b)\f",
                "Invalid Pattern; '(a)\f(b)': Unexpected character '\f' outside of node or edge "
                "pattern" +
                    k50 + k69},
        Refused{"(n {s: 'a)b'})",
                "Invalid Pattern; '(n {s: 'a)b'})': Unexpected character 'b' outside of node or "
                "edge pattern" +
                    k50 + k69},
        Refused{"(a)--(b)",
                "Invalid Pattern; '--': Edge pattern must contain brackets" + k50 + k83},
        Refused{"(a) - (b)",
                "Invalid Pattern; '-': Edge pattern must contain brackets" + k50 + k83},
        Refused{"(x:A->)",
                "Schema Validation Failed for '': Empty pattern" + k50 + k79 +
                    line("parse node pattern [src/patterns/parsing:767]") +
                    line("type schema - new [src/patterns/type_schema:38]") +
                    line("type schema - parse pattern [src/patterns/type_schema:48]") +
                    line("type schema - parse pattern recursive [src/patterns/type_schema:109]")},
        // The first element that fails ends the parse.
        Refused{"(1a)-[1e]->(b)",
                "Invalid Identifier '1a': Name must start with a letter or underscore" + k50 + k79 +
                    line("node pattern - new [src/patterns/node:59]")}));

TEST(ValidatePathTest, RefusesAPathWithoutNodes) {
  const PathPattern empty;
  EXPECT_EQ(rendered(empty.validate()), "Invalid Pattern; '': a path pattern cannot be empty");
}

TEST(ValidatePathTest, RefusesMissingEdgesWithoutContextLines) {
  auto path = PathPattern::new_("(a) (b) (c)-[e]->");
  ASSERT_FALSE(path.has_value());  // ends with an edge
  path = PathPattern::new_(" (a)(b)(c)-[e]->(d) ");
  ASSERT_TRUE(path.has_value()) << format_report(path.error());
  EXPECT_EQ(rendered(path->validate()),
            "Invalid Pattern; '(a)(b)(c)-[e]->(d)': the number of nodes should be the number of "
            "edges plus 1");
}

}  // namespace
}  // namespace korvale
