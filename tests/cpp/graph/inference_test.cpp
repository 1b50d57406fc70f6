#include "graph/inference.hpp"

#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "errors/report.hpp"
#include "matches/match.hpp"
#include "matches/match_element.hpp"
#include "support/creation_helpers.hpp"
#include "support/map_sharing.hpp"
#include "support/report_lines.hpp"

namespace korvale {
namespace {

using testing::arrow;
using testing::basic;
using testing::line;
using testing::path;
using testing::rendered;
using testing::store_with;
using testing::term_text;
using testing::var;
using testing::var_uid;

using Constants = std::vector<std::pair<std::string, std::string>>;

// A record as "type | term | type_valid term_valid".
std::string record_text(const ElementData& data) {
  return (data.type ? data.type->to_string() : std::string("-")) + " | " + term_text(data.term) +
         " | " + std::to_string(data.type_valid) + " " + std::to_string(data.term_valid);
}

// The lists of one row and the outcome of its inference.
struct Inferred {
  NodeList nodes;
  EdgeList edges;
  Result<MatchPtr> layer = nullptr;

  std::vector<std::string> node_texts() const {
    std::vector<std::string> out;
    for (const NodeData& node : nodes) out.push_back(record_text(node));
    return out;
  }
  std::vector<std::string> edge_texts() const {
    std::vector<std::string> out;
    for (const EdgeData& edge : edges) out.push_back(record_text(edge));
    return out;
  }
};

Inferred infer(Graph& graph, const std::string& text, MatchPtr layer = Match::new_()) {
  const PathPattern pattern = path(text);
  Inferred out{node_data_of(pattern), edge_data_of(pattern)};
  out.layer = infer_path_data(graph, pattern, out.nodes, out.edges, std::move(layer));
  return out;
}

TEST(WorklistTest, StartsWithTheLastNodeOnTopAndPushesOnlyWhatIsAbsent) {
  Worklist worklist(3);
  const std::vector<WorkItem> start{{0, ElementKind::Node},
                                    {0, ElementKind::Edge},
                                    {1, ElementKind::Node},
                                    {1, ElementKind::Edge},
                                    {2, ElementKind::Node}};
  EXPECT_EQ(std::vector<WorkItem>(worklist.items().begin(), worklist.items().end()), start);

  worklist.push_if_absent({0, ElementKind::Edge});  // already queued, deep in the stack
  EXPECT_EQ(worklist.items().size(), 5u);
  EXPECT_EQ(worklist.pop(), (WorkItem{2, ElementKind::Node}));
  worklist.push_if_absent({2, ElementKind::Node});  // taken off, so absent again
  worklist.push_if_absent({1, ElementKind::Node});
  EXPECT_EQ(worklist.pop(), (WorkItem{2, ElementKind::Node}));
  EXPECT_EQ(worklist.pop(), (WorkItem{1, ElementKind::Edge}));

  Worklist single(1);
  ASSERT_EQ(single.items().size(), 1u);
  EXPECT_EQ(single.pop(), (WorkItem{0, ElementKind::Node}));
  EXPECT_TRUE(single.empty());
}

TEST(ElementDataTest, RecordsStartEmptyAndShareOnlyThePatternsOwnMaps) {
  const PathPattern pattern = path("(a {k: 1})<-[e]-(b)-[{w: 2}]->(:C)");
  const NodeList first = node_data_of(pattern);
  const NodeList second = node_data_of(pattern);
  const EdgeList edges = edge_data_of(pattern);
  ASSERT_EQ(first.size(), 3u);
  ASSERT_EQ(edges.size(), 2u);

  EXPECT_EQ(first[0].variable, "a");
  EXPECT_EQ(first[2].variable, std::nullopt);
  EXPECT_EQ(edges[0].variable, "e");
  EXPECT_EQ(edges[0].direction, CompiledDirection::Backward);
  EXPECT_EQ(edges[1].direction, CompiledDirection::Forward);
  for (const NodeData& node : first) EXPECT_EQ(record_text(node), "- | - | 0 0");

  // A property block is one map for every row; no block means a map per record.
  EXPECT_TRUE(testing::share_map(first[0].properties, *pattern.nodes[0].properties));
  EXPECT_TRUE(testing::share_map(first[0].properties, second[0].properties));
  EXPECT_FALSE(testing::share_map(first[1].properties, second[1].properties));
  EXPECT_FALSE(testing::share_map(first[1].properties, first[2].properties));
  EXPECT_TRUE(testing::share_map(edges[1].properties, *pattern.edges[1].properties));
  EXPECT_FALSE(testing::share_map(edges[0].properties, edges[1].properties));
}

struct InferenceCase {
  std::string name;
  Constants constants;
  std::string pattern;
  std::vector<std::string> nodes;
  std::vector<std::string> edges;
  friend void PrintTo(const InferenceCase& c, std::ostream* os) { *os << c.name; }
};

class InferenceRecordsTest : public ::testing::TestWithParam<InferenceCase> {};

TEST_P(InferenceRecordsTest, FillsEveryRecord) {
  const InferenceCase& c = GetParam();
  const auto graph = store_with(c.constants);
  const Inferred inferred = infer(*graph, c.pattern);
  ASSERT_TRUE(inferred.layer.has_value()) << rendered(inferred.layer);
  EXPECT_EQ(inferred.node_texts(), c.nodes);
  EXPECT_EQ(inferred.edge_texts(), c.edges);
}

const Constants kX0F0{{"x0", "A"}, {"f0", "A -> B"}};

INSTANTIATE_TEST_SUITE_P(
    Paths, InferenceRecordsTest,
    ::testing::Values(
        // y's type is f's codomain; its term f applied to x's constant term.
        InferenceCase{"forward",
                      kX0F0,
                      "(x:A)-[f:A -> B]->(y)",
                      {"A | x0 | 1 1", "B | (f0 x0) | 1 1"},
                      {"(A -> B) | f0 | 1 1"}},
        InferenceCase{"backward",
                      kX0F0,
                      "(y)<-[f:A -> B]-(x:A)",
                      {"B | (f0 x0) | 1 1", "A | x0 | 1 1"},
                      {"(A -> B) | f0 | 1 1"}},
        // The edge takes its type from the two nodes and its term from the end
        // node's application; g0 also fits A -> B, so taking it shows that the
        // nodes are asked before the constants.
        InferenceCase{"function_of_application",
                      {{"x0", "A"}, {"f0", "A -> B"}, {"g0", "A -> B"}},
                      "(x:A)-[f]->(y:B:@g0() @x0())",
                      {"A | x0 | 1 1", "B | (g0 x0) | 1 1"},
                      {"(A -> B) | g0 | 1 1"}},
        // y's schema names the unbound t; its term arrives from the left edge,
        // and a later step of y checks it against the schema.
        InferenceCase{"term_confirmed_by_a_later_step",
                      {{"x0", "A"}, {"f0", "A -> B"}, {"g0", "B -> C"}},
                      "(a:A)-[f:A -> B]->(y:B:t)-[g:B -> C]->(z)",
                      {"A | x0 | 1 1", "B | (f0 x0) | 1 1", "C | (g0 (f0 x0)) | 1 1"},
                      {"(A -> B) | f0 | 1 1", "(B -> C) | g0 | 1 1"}},
        // The unbound t gives no verdict: x keeps the constant's term unconfirmed.
        InferenceCase{"term_left_unconfirmed", kX0F0, "(x:A:t)", {"A | x0 | 1 0"}, {}},
        // Without constants nothing gives the edge a term.
        InferenceCase{"no_constants",
                      {},
                      "(a:A)-[e]->(b:B)",
                      {"A | - | 1 1", "B | - | 1 1"},
                      {"(A -> B) | - | 1 1"}}),
    [](const auto& info) { return info.param.name; });

TEST(InferenceTest, ATermCheckBindsTheSchemasVariablesInANewLayer) {
  const auto graph = store_with({{"x0", "A"}, {"f0", "A -> B"}, {"g0", "B -> C"}});
  const MatchPtr row = Match::new_();
  const Inferred inferred = infer(*graph, "(a:A)-[f:A -> B]->(y:B:t)-[g:B -> C]->(z)", row);
  ASSERT_TRUE(inferred.layer.has_value()) << rendered(inferred.layer);
  const MatchPtr& layer = *inferred.layer;
  EXPECT_NE(layer, row);
  EXPECT_EQ(layer->get("t"), MatchElement(MatchElement::Term{var_uid("B")}));
  EXPECT_FALSE(row->contains_key("t"));
}

TEST(InferenceTest, TheTypesAskedForTermsAndTheCheckedTermsAreStored) {
  const auto graph = store_with({{"x0", "A"}, {"f0", "A -> B"}, {"g0", "B -> C"}});
  const Inferred inferred = infer(*graph, "(a:A)-[f:A -> B]->(y:B:t)-[g:B -> C]->(z)");
  ASSERT_TRUE(inferred.layer.has_value()) << rendered(inferred.layer);
  // y's term was checked, so it is stored under B; z's was only inferred.
  Result<TermPtr> stored = graph->term_from_uid(var_uid("B"));
  ASSERT_TRUE(stored.has_value()) << rendered(stored);
  EXPECT_EQ(term_text(*stored), "(f0 x0)");
  EXPECT_FALSE(graph->term_index.contains(var_uid("C")));
  EXPECT_TRUE(graph->type_index.contains(var_uid("C")));
}

TEST(InferenceTest, AMismatchFailsAfterTheEndNodeTookTheEdgesCodomain) {
  const auto graph = store_with({});
  const Inferred inferred = infer(*graph, "(a:A)-[e:B -> A]->(b)");
  EXPECT_EQ(rendered(inferred.layer),
            "Invalid Type: 'inferred type of an edge does not match the actual type of the edge'");
  EXPECT_EQ(inferred.node_texts(), (std::vector<std::string>{"A | - | 1 1", "A | - | 1 1"}));
}

TEST(InferenceTest, ABoundNodeGivesItsTypeAndTermUnlessTheSchemaNamesAnother) {
  const auto graph = store_with({});
  const TypePtr c = var("C");
  const Uid c_uid = *graph->add_node(c, basic("c0", c), PropertyMap());
  const MatchPtr row = Match::new_();
  ASSERT_TRUE(row->insert("n", MatchElement::Node{c_uid}).has_value());

  const Inferred plain = infer(*graph, "(n)", Match::new_(row));
  ASSERT_TRUE(plain.layer.has_value()) << rendered(plain.layer);
  EXPECT_EQ(plain.node_texts(), std::vector<std::string>{"C | c0 | 1 1"});

  const Inferred other = infer(*graph, "(n:D)", Match::new_(row));
  ASSERT_TRUE(other.layer.has_value()) << rendered(other.layer);
  EXPECT_EQ(other.node_texts(), std::vector<std::string>{"D | c0 | 1 1"});
}

TEST(InferenceTest, ABoundEdgeGivesItsTypeAndTermToTheEdgeAndItsNodes) {
  const auto graph = store_with({});
  const TypePtr a = var("A");
  const TypePtr b = var("B");
  ASSERT_TRUE(graph->add_node(a, nullptr, PropertyMap()).has_value());
  ASSERT_TRUE(graph->add_node(b, nullptr, PropertyMap()).has_value());
  const EdgeUid edge = *graph->add_edge(basic("f0", arrow(a, b)), PropertyMap());
  const MatchPtr row = Match::new_();
  ASSERT_TRUE(row->insert("e", MatchElement::Edge{edge}).has_value());

  const Inferred inferred = infer(*graph, "(p)-[e]->(q)", Match::new_(row));
  ASSERT_TRUE(inferred.layer.has_value()) << rendered(inferred.layer);
  EXPECT_EQ(inferred.node_texts(), (std::vector<std::string>{"A | - | 1 1", "B | - | 1 1"}));
  EXPECT_EQ(inferred.edge_texts(), std::vector<std::string>{"(A -> B) | f0 | 1 1"});
}

struct FailureCase {
  std::string name;
  Constants constants;
  std::string pattern;
  std::string report;
  friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }
};

class InferenceFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(InferenceFailureTest, EndsTheRowWithTheReport) {
  const FailureCase& c = GetParam();
  const auto graph = store_with(c.constants);
  EXPECT_EQ(rendered(infer(*graph, c.pattern).layer), c.report);
}

std::string any_report(const std::string& pattern) {
  return "Invalid Pattern; '" + pattern + "': the 'any' direction is not supported yet";
}

INSTANTIATE_TEST_SUITE_P(
    Steps, InferenceFailureTest,
    ::testing::Values(
        FailureCase{"edge_type_not_an_arrow",
                    {},
                    "(a:A)-[e:A]->(b)",
                    "Invalid Type: 'edge must have an arrow type'"},
        FailureCase{"edge_type_not_an_arrow_on_the_right",
                    {},
                    "(b)-[e:A]->(a:A)",
                    "Invalid Type: 'edge must have an arrow type'"},
        FailureCase{"node_wildcard",
                    {},
                    "(x:*)",
                    "Invalid Pattern; '*': Cannot convert wildcard to type" +
                        line("graph - create path [src/graph/create:212]") +
                        line("graph - type schema to type [src/graph/base:389]")},
        FailureCase{"edge_wildcard",
                    {},
                    "(a)-[e:A -> *]->(b)",
                    "Invalid Pattern; 'A -> *': Cannot convert wildcard to type" +
                        line("graph - create path [src/graph/create:584]") +
                        line("graph - type schema to type [src/graph/base:389]") +
                        line("graph - pattern to type recursive [src/graph/base:409]")},
        FailureCase{"node_unknown_constant",
                    {},
                    "(x:A:@k0())",
                    "Constant Not Found: 'k0' (pattern to term recursive "
                    "[src/graph/base:559])" +
                        line("graph - create path [src/graph/create:264]") +
                        line("graph - term schema to term [src/graph/base:511]")},
        FailureCase{"edge_unknown_constant",
                    {},
                    "(a)-[e:A -> B:@k0()]->(b)",
                    "Constant Not Found: 'k0' (pattern to term recursive "
                    "[src/graph/base:559])" +
                        line("graph - create path [src/graph/create:629]") +
                        line("graph - term schema to term [src/graph/base:511]")},
        // Every row with an edge without arrowheads fails once a type reaches it.
        FailureCase{
            "any_between_typed_nodes", {}, "(a:A)-[e]-(b:B)", any_report("(a:A)-[e]-(b:B)")},
        FailureCase{
            "any_typed_edge_left", {}, "(a:A)-[e:A -> B]-(b)", any_report("(a:A)-[e:A -> B]-(b)")},
        FailureCase{"any_typed_edge_right",
                    {},
                    "(a)-[e:A -> B]-(b:B)",
                    any_report("(a)-[e:A -> B]-(b:B)")}),
    [](const auto& info) { return info.param.name; });

TEST(InferenceTest, BoundElementsOfAnotherKindOrWithoutTheirEntriesFail) {
  const auto graph = store_with({});
  const MatchPtr row = Match::new_();
  ASSERT_TRUE(row->insert("x", MatchElement::Type{var_uid("A")}).has_value());
  ASSERT_TRUE(row->insert("y", MatchElement::Node{var_uid("Q")}).has_value());
  ASSERT_TRUE(row->insert("e", MatchElement::Edge{{var_uid("A"), var_uid("B")}}).has_value());

  EXPECT_EQ(rendered(infer(*graph, "(x)", Match::new_(row)).layer),
            "Context Conflict: tried to assign variable 'x' currently holding a 'type' to a "
            "'node' (create path - node data inference - node already matched)" +
                line("graph - create path [src/graph/create:137]"));
  EXPECT_EQ(rendered(infer(*graph, "(a:A)-[y]->(b:B)", Match::new_(row)).layer),
            "Context Conflict: tried to assign variable 'y' currently holding a 'node' to a "
            "'edge' (create path - edge data inference - edge already matched)" +
                line("graph - create path [src/graph/create:519]"));
  // The node was never added, so its type cannot be rebuilt.
  EXPECT_EQ(rendered(infer(*graph, "(y)", Match::new_(row)).layer),
            "Type with Uid: '" + uid_to_hex(var_uid("Q")) + "' not found (type from uid)" +
                line("graph - create path [src/graph/create:142]"));
  EXPECT_EQ(rendered(infer(*graph, "(a)-[e]->(b)", Match::new_(row)).layer),
            "Index Corruption: 'Edge exists in EdgeIndex without corresponding entry at "
            "EdgeToTypeIndex.' (create path - edge data inference - edge already matched)");
}

TEST(InferenceTest, PositionsOutsideTheListsFailInsteadOfReadingPastThem) {
  const auto graph = store_with({});
  const PathPattern two = path("(a)-[e]->(b)");
  const PathPattern one = path("(a)");

  // Records for two nodes against a pattern of one.
  NodeList nodes = node_data_of(two);
  EdgeList edges = edge_data_of(two);
  EXPECT_EQ(rendered(infer_path_data(*graph, one, nodes, edges, Match::new_())),
            "Index Out of Range: tried to access index 1 from an iterable of length 1 (create "
            "path - node data inference - match pattern)");

  // Two nodes without the edge between them.
  NodeList lonely = node_data_of(two);
  EdgeList none;
  EXPECT_EQ(rendered(infer_path_data(*graph, two, lonely, none, Match::new_())),
            "Index Out of Range: tried to access index 0 from an iterable of length 0 (create "
            "path - node data inference - left edge)");
}

}  // namespace
}  // namespace korvale
