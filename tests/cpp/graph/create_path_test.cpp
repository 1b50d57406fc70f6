#include <cstddef>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "errors/report.hpp"
#include "graph/graph.hpp"
#include "matches/match.hpp"
#include "matches/match_element.hpp"
#include "matches/match_set.hpp"
#include "support/creation_helpers.hpp"
#include "support/map_sharing.hpp"
#include "support/report_lines.hpp"
#include "support/set_rows.hpp"

namespace korvale {
namespace {

using testing::arrow;
using testing::arrow_uid;
using testing::basic;
using testing::line;
using testing::path;
using testing::rendered;
using testing::store_with;
using testing::store_with_x0_f0;
using testing::term_text;
using testing::var;
using testing::var_uid;

const Uid kA = var_uid("A");
const Uid kB = var_uid("B");
const Uid kZero{};

// A set of `count` rows, each with its own empty root layer (or a child of `parent`).
MatchSet rows(std::size_t count, const MatchPtr& parent = nullptr) {
  MatchSet set;
  for (std::size_t i = 0; i < count; ++i) set.insert({next_match_id(), kZero, Match::new_(parent)});
  return set;
}

Result<MatchSet> create(Graph& graph, const std::string& text, MatchSet input = rows(1)) {
  return graph.create_path(path(text), std::move(input));
}

// The only row of a set.
MatchRow single(const MatchSet& set) {
  EXPECT_EQ(set.size(), 1u);
  return set.rows()[0];
}

Uid node_of(const MatchRow& row, const std::string& name) {
  const std::optional<MatchElement> element = row.match->get(name);
  EXPECT_TRUE(element.has_value()) << name;
  return element ? element->as_node(name).value_or(Uid{}) : Uid{};
}

std::string stored_term(const Graph& graph, const Uid& uid) {
  Result<TermPtr> term = graph.term_from_uid(uid);
  return term ? term_text(*term) : rendered(term);
}

TEST(CreatePathTest, AddsTheWorkedExampleAndBindsItsNamedElements) {
  const auto graph = store_with_x0_f0();
  const MatchPtr root = Match::new_();
  Result<MatchSet> out = create(*graph, "(x:A)-[f:A -> B]->(y)", rows(1, root));
  ASSERT_TRUE(out.has_value()) << rendered(out);
  const MatchRow row = single(*out);

  EXPECT_EQ(graph->node_index.size(), 2u);
  EXPECT_EQ(graph->edge_index.size(), 1u);
  EXPECT_TRUE(graph->edge_index.contains({kA, kB}));
  EXPECT_EQ(stored_term(*graph, kA), "x0");
  EXPECT_EQ(stored_term(*graph, kB), "(f0 x0)");
  EXPECT_EQ(stored_term(*graph, arrow_uid(kA, kB)), "f0");

  EXPECT_EQ(node_of(row, "x"), kA);
  EXPECT_EQ(node_of(row, "y"), kB);
  EXPECT_EQ(row.match->get("f"), MatchElement(MatchElement::Edge{{kA, kB}}));
  EXPECT_EQ(row.last_uid, kB);
  // The bindings live in new layers over the input row's layer, which is untouched.
  EXPECT_NE(row.match, root);
  EXPECT_EQ(root->size(), 0u);
  ASSERT_TRUE(root->insert("later", MatchElement::Node{}));
  EXPECT_TRUE(row.match->contains_key("later"));
}

struct LastUidCase {
  std::string name;
  std::string pattern;
  Uid last_uid;
  friend void PrintTo(const LastUidCase& c, std::ostream* os) { *os << c.name; }
};

class LastUidTest : public ::testing::TestWithParam<LastUidCase> {};

TEST_P(LastUidTest, IsTheLastNamedNodeInPatternOrder) {
  const auto graph = store_with_x0_f0();
  Result<MatchSet> out = create(*graph, GetParam().pattern);
  ASSERT_TRUE(out.has_value()) << rendered(out);
  EXPECT_EQ(single(*out).last_uid, GetParam().last_uid);
  EXPECT_EQ(graph->node_index.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, LastUidTest,
    ::testing::Values(LastUidCase{"both_named", "(x:A)-[f:A -> B]->(y)", kB},
                      LastUidCase{"end_anonymous", "(x:A)-[f:A -> B]->(:B)", kA},
                      LastUidCase{"backward_start_last", "(y)<-[f:A -> B]-(x:A)", kA},
                      LastUidCase{"none_named", "(:A)-[f:A -> B]->(:B)", kZero}),
    [](const auto& info) { return info.param.name; });

TEST(CreatePathTest, ABoundNodeIsLeftAsItIsAndOnlyTheRestIsBound) {
  const auto graph = store_with_x0_f0();
  const TypePtr a = var("A");
  ASSERT_TRUE(graph->add_node(a, basic("x0", a), PropertyMap()).has_value());
  const PropertyMap own = *graph->node_properties(kA);
  const MatchPtr root = Match::new_();
  ASSERT_TRUE(root->insert("a", MatchElement::Node{kA}).has_value());

  Result<MatchSet> out = create(*graph, "(a {k: 1})-[e:A -> B]->(b:B)", rows(1, root));
  ASSERT_TRUE(out.has_value()) << rendered(out);
  const MatchRow row = single(*out);
  EXPECT_TRUE(testing::share_map(*graph->node_properties(kA), own));
  EXPECT_TRUE(graph->edge_index.contains({kA, kB}));
  EXPECT_EQ(stored_term(*graph, arrow_uid(kA, kB)), "f0");
  EXPECT_EQ(row.last_uid, kB);
  EXPECT_EQ(row.match->size(), 2u);  // b and e; a stays in the row's own layer
  EXPECT_EQ(node_of(row, "b"), kB);
  EXPECT_EQ(row.match->get("e"), MatchElement(MatchElement::Edge{{kA, kB}}));
}

TEST(CreatePathTest, ABoundNodeWhosePatternNamesAnotherTypeAddsNothing) {
  const auto graph = store_with({});
  const Uid c = *graph->add_node(var("C"), nullptr, PropertyMap());
  const MatchPtr root = Match::new_();
  ASSERT_TRUE(root->insert("n", MatchElement::Node{c}).has_value());

  Result<MatchSet> out = create(*graph, "(n:D)", rows(1, root));
  ASSERT_TRUE(out.has_value()) << rendered(out);
  EXPECT_EQ(single(*out).last_uid, kZero);
  EXPECT_EQ(graph->node_index.size(), 1u);
  EXPECT_FALSE(graph->node_index.contains(var_uid("D")));
}

TEST(CreatePathTest, ABoundEdgeIsSkippedAndItsNodesAreReused) {
  const auto graph = store_with({});
  const TypePtr a = var("A");
  const TypePtr b = var("B");
  ASSERT_TRUE(graph->add_node(a, basic("x0", a), PropertyMap()).has_value());
  ASSERT_TRUE(graph->add_node(b, nullptr, PropertyMap()).has_value());
  const EdgeUid edge = *graph->add_edge(basic("f0", arrow(a, b)), PropertyMap());
  const PropertyMap edge_map = *graph->edge_properties(edge);
  const MatchPtr root = Match::new_();
  ASSERT_TRUE(root->insert("e", MatchElement::Edge{edge}).has_value());

  Result<MatchSet> out = create(*graph, "(p)-[e {w: 1}]->(q)", rows(1, root));
  ASSERT_TRUE(out.has_value()) << rendered(out);
  const MatchRow row = single(*out);
  EXPECT_EQ(node_of(row, "p"), kA);
  EXPECT_EQ(node_of(row, "q"), kB);
  EXPECT_TRUE(testing::share_map(*graph->edge_properties(edge), edge_map));
  EXPECT_EQ(graph->node_index.size(), 2u);
}

TEST(CreatePathTest, ATermCheckedAgainstItsSchemaBindsTheSchemasVariable) {
  const auto graph = store_with({{"x0", "A"}, {"f0", "A -> B"}, {"g0", "B -> C"}});
  Result<MatchSet> out = create(*graph, "(a:A)-[f:A -> B]->(y:B:t)-[g:B -> C]->(z)");
  ASSERT_TRUE(out.has_value()) << rendered(out);
  const MatchRow row = single(*out);
  EXPECT_EQ(row.match->get("t"), MatchElement(MatchElement::Term{kB}));
  EXPECT_EQ(row.last_uid, var_uid("C"));
  EXPECT_EQ(stored_term(*graph, var_uid("C")), "(g0 (f0 x0))");
  EXPECT_EQ(graph->edge_index.size(), 2u);
}

struct RefusedCase {
  std::string name;
  std::vector<std::pair<std::string, std::string>> constants;
  std::string pattern;
  std::string reason;
  friend void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }
};

class RefusedRecordsTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedRecordsTest, FailTheRowBeforeAnythingIsAdded) {
  const RefusedCase& c = GetParam();
  const auto graph = store_with(c.constants);
  EXPECT_EQ(rendered(create(*graph, c.pattern)),
            "Invalid Pattern; '" + c.pattern + "': " + c.reason);
  EXPECT_EQ(graph->node_index.size(), 0u);
  EXPECT_EQ(graph->edge_index.size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, RefusedRecordsTest,
    ::testing::Values(RefusedCase{"node_without_type",
                                  {},
                                  "(a)",
                                  "Unable to infer the type of a node contained in the pattern"},
                      // Nodes are validated before edges: a has no type and e no term.
                      RefusedCase{"nodes_first",
                                  {},
                                  "(a)-[e]->(b:B)",
                                  "Unable to infer the type of a node contained in the pattern"},
                      RefusedCase{"node_term_unconfirmed",
                                  {{"x0", "A"}},
                                  "(x:A:t)",
                                  "Inferred term for node does not match the provided schema"},
                      RefusedCase{"node_term_refuted",
                                  {{"x0", "A"}, {"f0", "A -> B"}, {"b0", "B"}},
                                  "(a:A)-[f:A -> B]->(y:B:h u)-[g:B -> C]->(z)",
                                  "Inferred term for node does not match the provided schema"},
                      RefusedCase{"edge_without_term",
                                  {},
                                  "(a:A)-[e]->(b:B)",
                                  "Unable to infer the term of an edge contained in the pattern"},
                      RefusedCase{
                          "edge_term_of_another_type",
                          {{"g0", "A -> C"}},
                          "(a)-[e:A -> B:@g0()]->(b)",
                          "Inferred type for edge does not match the type of the term of the edge"},
                      RefusedCase{"edge_term_refuted",
                                  {{"x0", "A"}, {"f0", "A -> B"}},
                                  "(x:A)-[f:A -> B:h u]->(y)",
                                  "Inferred term for edge does not match the provided schema"}),
    [](const auto& info) { return info.param.name; });

TEST(CreatePathTest, ARefusedRowKeepsTheTypesItsInferenceStored) {
  const auto graph = store_with({});
  EXPECT_EQ(rendered(create(*graph, "(a:A)-[e]->(b:B)")),
            "Invalid Pattern; '(a:A)-[e]->(b:B)': Unable to infer the term of an edge contained "
            "in the pattern");
  EXPECT_TRUE(graph->type_index.contains(kA));
  EXPECT_TRUE(graph->type_index.contains(kB));
  EXPECT_TRUE(graph->type_index.contains(arrow_uid(kA, kB)));
  EXPECT_EQ(graph->node_index.size(), 0u);
  EXPECT_EQ(graph->edge_index.size(), 0u);
}

TEST(CreatePathTest, AnEdgeWithoutArrowheadsFailsEveryRowAndTheStoreStaysUsable) {
  const auto graph = store_with_x0_f0();
  for (const std::size_t count : {1u, 16u}) {
    EXPECT_EQ(rendered(create(*graph, "(a:A)-[e]-(b:B)", rows(count))),
              "Invalid Pattern; '(a:A)-[e]-(b:B)': the 'any' direction is not supported yet");
  }
  EXPECT_EQ(graph->node_index.size(), 0u);
  Result<MatchSet> out = create(*graph, "(a:A)-[e]->(b:B)");
  ASSERT_TRUE(out.has_value()) << rendered(out);
  EXPECT_TRUE(graph->edge_index.contains({kA, kB}));
}

TEST(CreatePathTest, AnInvalidPatternFailsEvenWithoutRowsAndNoRowsWriteNothing) {
  const auto graph = store_with_x0_f0();
  EXPECT_EQ(rendered(create(*graph, "(a)(b)", MatchSet())),
            "Invalid Pattern; '(a)(b)': the number of nodes should be the number of edges plus 1" +
                line("graph - create path [src/graph/create:82]"));

  Result<MatchSet> out = create(*graph, "(x:A)-[f:A -> B]->(y)", MatchSet());
  ASSERT_TRUE(out.has_value()) << rendered(out);
  EXPECT_TRUE(out->empty());
  EXPECT_EQ(graph->node_index.size(), 0u);
  EXPECT_EQ(graph->type_index.size(), 0u);
}

TEST(CreatePathTest, AFailingRowFailsTheCallWithItsReport) {
  const auto graph = store_with_x0_f0();
  const MatchPtr bad = Match::new_();
  ASSERT_TRUE(bad->insert("x", MatchElement::Type{kA}).has_value());
  MatchSet input = rows(3);
  input.insert({next_match_id(), kZero, bad});
  EXPECT_EQ(rendered(create(*graph, "(x:A)-[f:A -> B]->(y)", input)),
            "Context Conflict: tried to assign variable 'x' currently holding a 'type' to a "
            "'node' (create path - node data inference - node already matched)" +
                line("graph - create path [src/graph/create:137]"));
}

TEST(CreatePathTest, RunningTheSameCreateTwiceReusesTheNodesAndReplacesEdgeProperties) {
  const auto graph = store_with_x0_f0();
  const PathPattern first = path("(x:A {k: 1})-[f:A -> B {w: 1}]->(:B)");
  const PathPattern second = path("(x:A {k: 2})-[f:A -> B {w: 2}]->(:B)");
  Result<MatchSet> one = graph->create_path(first, rows(1));
  ASSERT_TRUE(one.has_value()) << rendered(one);
  Result<MatchSet> two = graph->create_path(second, rows(1));
  ASSERT_TRUE(two.has_value()) << rendered(two);

  EXPECT_EQ(graph->node_index.size(), 2u);
  EXPECT_EQ(graph->edge_index.size(), 1u);
  EXPECT_EQ(node_of(single(*two), "x"), kA);
  EXPECT_EQ(single(*two).last_uid, kA);
  // The node keeps the first run's properties; the edge takes the second's.
  // Each is the store's own copy, shared with no pattern.
  EXPECT_EQ(graph->node_properties(kA)->to_string(), "{k: 1}");
  EXPECT_EQ(graph->edge_properties({kA, kB})->to_string(), "{w: 2}");
  EXPECT_EQ(graph->node_properties(kB)->to_string(), "{}");
  EXPECT_FALSE(testing::share_map(*graph->node_properties(kA), *first.nodes[0].properties));
  EXPECT_FALSE(testing::share_map(*graph->edge_properties({kA, kB}), *second.edges[0].properties));
}

// Every row adds the same two nodes at the same time: one row adds each, the
// others reuse it, and every row is bound to the one node.
TEST(CreatePathConcurrencyTest, RowsAddingTheSameNodesAddEachOnce) {
  constexpr std::size_t kRows = 64;
  const auto graph = store_with({{"x0", "A"}, {"f0", "A -> B"}, {"g0", "B -> C"}});
  const PathPattern pattern = path("(x:A {k: 1})-[f:A -> B]->(y)-[:B -> C]->(:C)");
  Result<MatchSet> out = graph->create_path(pattern, rows(kRows));
  ASSERT_TRUE(out.has_value()) << rendered(out);
  ASSERT_EQ(out->size(), kRows);

  EXPECT_EQ(graph->node_index.size(), 3u);
  EXPECT_EQ(graph->edge_index.size(), 2u);
  EXPECT_EQ(graph->node_properties(kA)->to_string(), "{k: 1}");
  std::set<std::uint64_t> ids;
  for (const MatchRow& row : testing::rows_of(*out)) {
    ids.insert(row.match_id);
    EXPECT_EQ(node_of(row, "x"), kA);
    EXPECT_EQ(node_of(row, "y"), kB);
    EXPECT_EQ(row.match->get("f"), MatchElement(MatchElement::Edge{{kA, kB}}));
    EXPECT_EQ(row.last_uid, kB);
  }
  EXPECT_EQ(ids.size(), kRows);
}

}  // namespace
}  // namespace korvale
