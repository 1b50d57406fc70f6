#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "graph/graph.hpp"
#include "support/graph_helpers.hpp"
#include "support/map_sharing.hpp"
#include "support/report_lines.hpp"
#include "support/store_fixtures.hpp"

namespace korvale {
namespace {

using testing::app;
using testing::arrow;
using testing::basic;
using testing::edge_of;
using testing::edges_in;
using testing::line;
using testing::props;
using testing::rendered;
using testing::same_term;
using testing::stored_term;
using testing::text_of;
using testing::uid_of;
using testing::var;

class WritesTest : public ::testing::Test {
 protected:
  Graph graph;
  TypePtr a = var("A");
  TypePtr b = var("B");
  TypePtr a_to_b = arrow(a, b);

  // Adds the nodes A and B (no terms) and the edge f: A -> B.
  EdgeUid add_a_to_b(const PropertyMap& properties = PropertyMap()) {
    EXPECT_TRUE(graph.add_node(a, nullptr, PropertyMap()).has_value());
    EXPECT_TRUE(graph.add_node(b, nullptr, PropertyMap()).has_value());
    Result<EdgeUid> edge = graph.add_edge(basic("f", a_to_b), properties);
    EXPECT_TRUE(edge.has_value()) << rendered(edge);
    return edge ? *edge : EdgeUid{};
  }
};

TEST_F(WritesTest, AddNodeStoresACopyOfTheGivenMapAndNoEdges) {
  const PropertyMap given = props({{"k", 1}});
  Result<Uid> uid = graph.add_node(a, nullptr, given);
  ASSERT_TRUE(uid.has_value()) << rendered(uid);
  EXPECT_EQ(*uid, uid_of(*a));
  EXPECT_TRUE(graph.type_index.contains(*uid));
  Result<PropertyMap> stored = graph.node_properties(*uid);
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(text_of(*stored), "{k: 1}");
  // A change through the caller's map does not reach the node's.
  EXPECT_FALSE(testing::share_map(*stored, given));
  ASSERT_TRUE(given.insert("m", Dynamic::integer(2)));
  EXPECT_EQ(text_of(*graph.node_properties(*uid)), "{k: 1}");
  // The incidence sets come with the node's first edge.
  EXPECT_FALSE(graph.start_to_edge_index.contains(*uid));
  EXPECT_FALSE(graph.end_to_edge_index.contains(*uid));
  EXPECT_FALSE(graph.term_index.contains(*uid));
}

TEST_F(WritesTest, AddNodeWithATermOfAnotherTypeStoresBothAndAddsNoNode) {
  Result<Uid> uid = graph.add_node(a, basic("y", b), PropertyMap());
  EXPECT_EQ(rendered(uid),
            "Invalid Term: 'term provided is of a different type than the type provided'");
  EXPECT_TRUE(graph.type_index.contains(uid_of(*a)));
  EXPECT_TRUE(same_term(stored_term(graph, *b), basic("y", b)));
  EXPECT_FALSE(graph.node_index.contains(uid_of(*a)));
  EXPECT_FALSE(graph.term_index.contains(uid_of(*a)));
}

TEST_F(WritesTest, AddingAnExistingNodeReplacesTheTermThenFailsLeavingTheNode) {
  const PropertyMap first = props({{"k", 1}});
  ASSERT_TRUE(graph.add_node(a, basic("x", a), first).has_value());
  ASSERT_TRUE(graph.add_node(b, nullptr, PropertyMap()).has_value());
  ASSERT_TRUE(graph.add_edge(basic("f", a_to_b), PropertyMap()).has_value());

  Result<Uid> again = graph.add_node(a, basic("z", a), props({{"k", 2}}));
  EXPECT_EQ(rendered(again), "Node Already Exists: '" + uid_to_hex(uid_of(*a)) +
                                 "' (graph - add node [src/graph/base:142])");
  EXPECT_TRUE(same_term(stored_term(graph, *a), basic("z", a)));
  EXPECT_EQ(text_of(*graph.node_properties(uid_of(*a))), "{k: 1}");
  EXPECT_EQ(edges_in(graph.start_to_edge_index, uid_of(*a)),
            std::vector<EdgeUid>{edge_of(*a_to_b)});
}

TEST_F(WritesTest, NodeAddedWithoutATermShowsTheTermItsTypeHas) {
  testing::store(graph, *basic("x", a));
  ASSERT_TRUE(graph.add_node(a, nullptr, PropertyMap()).has_value());
  EXPECT_TRUE(same_term(stored_term(graph, *a), basic("x", a)));
}

TEST_F(WritesTest, AddEdgeLinksEveryTable) {
  const PropertyMap given = props({{"w", 7}});
  const EdgeUid edge = add_a_to_b(given);
  EXPECT_EQ(edge, (EdgeUid{uid_of(*a), uid_of(*b)}));
  const Uid type = uid_of(*a_to_b);
  EXPECT_EQ(text_of(*graph.edge_properties(edge)), "{w: 7}");
  EXPECT_FALSE(testing::share_map(*graph.edge_properties(edge), given));
  EXPECT_EQ(graph.edge_to_type_index.get(edge), type);
  EXPECT_EQ(graph.type_to_edge_index.get(type), edge);
  EXPECT_EQ(edges_in(graph.start_to_edge_index, uid_of(*a)), std::vector<EdgeUid>{edge});
  EXPECT_EQ(edges_in(graph.end_to_edge_index, uid_of(*b)), std::vector<EdgeUid>{edge});
  EXPECT_EQ(edges_in(graph.end_to_edge_index, uid_of(*a)), std::vector<EdgeUid>{});
  EXPECT_TRUE(same_term(stored_term(graph, *a_to_b), basic("f", a_to_b)));
}

TEST_F(WritesTest, AddEdgeOfAVariableTypeFailsAfterStoringTheTerm) {
  Result<EdgeUid> edge = graph.add_edge(basic("x", a), PropertyMap());
  EXPECT_EQ(rendered(edge),
            "Invalid Term: 'to create an edge you must provide a term of an arrow type'");
  EXPECT_TRUE(same_term(stored_term(graph, *a), basic("x", a)));
  EXPECT_EQ(graph.edge_index.size(), 0u);
}

TEST_F(WritesTest, ASecondTermOfTheSameArrowTypeReplacesTermAndProperties) {
  const EdgeUid edge = add_a_to_b(props({{"n", 1}}));
  const PropertyMap second = props({{"n", 2}});
  Result<EdgeUid> again = graph.add_edge(basic("g", a_to_b), second);
  ASSERT_TRUE(again.has_value()) << rendered(again);
  EXPECT_EQ(*again, edge);
  EXPECT_TRUE(same_term(stored_term(graph, *a_to_b), basic("g", a_to_b)));
  EXPECT_EQ(text_of(*graph.edge_properties(edge)), "{n: 2}");
  EXPECT_EQ(edges_in(graph.start_to_edge_index, uid_of(*a)), std::vector<EdgeUid>{edge});
  EXPECT_EQ(edges_in(graph.end_to_edge_index, uid_of(*b)), std::vector<EdgeUid>{edge});
  EXPECT_EQ(graph.edge_index.size(), 1u);
}

// An end node that is not there: the edge's links are taken back and only
// the term (stored first) stays.
struct MissingEnd {
  bool start_missing;
  std::string report;
};

class MissingEndTest : public WritesTest, public ::testing::WithParamInterface<MissingEnd> {};

TEST_P(MissingEndTest, AddEdgeWithdrawsWhatItWrote) {
  ASSERT_TRUE(graph.add_node(GetParam().start_missing ? b : a, nullptr, PropertyMap()).has_value());
  Result<EdgeUid> edge = graph.add_edge(basic("f", a_to_b), PropertyMap());
  EXPECT_EQ(rendered(edge), GetParam().report);
  EXPECT_TRUE(same_term(stored_term(graph, *a_to_b), basic("f", a_to_b)));
  EXPECT_EQ(graph.edge_index.size(), 0u);
  EXPECT_EQ(graph.edge_to_type_index.size(), 0u);
  EXPECT_EQ(graph.type_to_edge_index.size(), 0u);
  EXPECT_EQ(edges_in(graph.start_to_edge_index, uid_of(*a)), std::vector<EdgeUid>{});
  EXPECT_EQ(edges_in(graph.end_to_edge_index, uid_of(*b)), std::vector<EdgeUid>{});
}

INSTANTIATE_TEST_SUITE_P(
    Writes, MissingEndTest,
    ::testing::Values(MissingEnd{true,
                                 "Index Corruption: 'start_to_edge_index not initialized for "
                                 "some node already in the graph' (add edge)"},
                      MissingEnd{false,
                                 "Index Corruption: 'end_to_edge_index not initialized for some "
                                 "node already in the graph' (add edge)"}));

TEST_F(WritesTest, RemovingAnEdgeTwiceGivesItThenNone) {
  const EdgeUid edge = add_a_to_b(props({{"n", 1}}));
  Result<PropertyMap> kept = graph.edge_properties(edge);
  ASSERT_TRUE(kept.has_value());

  Result<std::optional<EdgeUid>> first = graph.remove_edge(edge);
  ASSERT_TRUE(first.has_value()) << rendered(first);
  EXPECT_EQ(*first, edge);
  Result<std::optional<EdgeUid>> second = graph.remove_edge(edge);
  ASSERT_TRUE(second.has_value()) << rendered(second);
  EXPECT_EQ(*second, std::nullopt);

  EXPECT_EQ(graph.edge_index.size(), 0u);
  EXPECT_EQ(graph.edge_to_type_index.size(), 0u);
  EXPECT_EQ(graph.type_to_edge_index.size(), 0u);
  EXPECT_EQ(edges_in(graph.start_to_edge_index, uid_of(*a)), std::vector<EdgeUid>{});
  EXPECT_EQ(edges_in(graph.end_to_edge_index, uid_of(*b)), std::vector<EdgeUid>{});
  // The term and the type stay; the caller's handle still has the map.
  EXPECT_TRUE(same_term(stored_term(graph, *a_to_b), basic("f", a_to_b)));
  EXPECT_EQ(text_of(*kept), "{n: 1}");
  EXPECT_TRUE(graph.node_index.contains(uid_of(*a)));
}

TEST_F(WritesTest, RemoveEdgeReportsAMissingTypeLinkAfterRemovingTheEdge) {
  const EdgeUid edge = add_a_to_b();
  graph.type_to_edge_index.erase(uid_of(*a_to_b));
  Result<std::optional<EdgeUid>> removed = graph.remove_edge(edge);
  EXPECT_EQ(rendered(removed),
            "Index Corruption: 'type_to_edge_index lacks a pair that is contained in the "
            "edge_to_type_index' (remove edge)");
  EXPECT_FALSE(graph.edge_index.contains(edge));
  EXPECT_FALSE(graph.edge_to_type_index.contains(edge));
}

TEST_F(WritesTest, RemoveNodePassesAFailingEdgeRemovalOnWithItsLine) {
  const EdgeUid edge = add_a_to_b();
  graph.type_to_edge_index.erase(uid_of(*a_to_b));
  Result<std::optional<Uid>> removed = graph.remove_node(uid_of(*a));
  EXPECT_EQ(rendered(removed),
            "Index Corruption: 'type_to_edge_index lacks a pair that is contained in the "
            "edge_to_type_index' (remove edge)" +
                line("graph - remove node [src/graph/base:264]"));
  EXPECT_FALSE(graph.node_index.contains(uid_of(*a)));
  EXPECT_FALSE(graph.edge_index.contains(edge));
  // The node's own sets stay when the removal stops part way.
  EXPECT_TRUE(graph.start_to_edge_index.contains(uid_of(*a)));
}

TEST_F(WritesTest, RemoveNodeRemovesItsEdgesAndSets) {
  const EdgeUid edge = add_a_to_b();
  Result<std::optional<Uid>> removed = graph.remove_node(uid_of(*b));
  ASSERT_TRUE(removed.has_value()) << rendered(removed);
  EXPECT_EQ(*removed, uid_of(*b));
  EXPECT_FALSE(graph.node_index.contains(uid_of(*b)));
  EXPECT_FALSE(graph.edge_index.contains(edge));
  EXPECT_FALSE(graph.type_to_edge_index.contains(uid_of(*a_to_b)));
  EXPECT_EQ(edges_in(graph.start_to_edge_index, uid_of(*a)), std::vector<EdgeUid>{});
  EXPECT_FALSE(graph.start_to_edge_index.contains(uid_of(*b)));
  EXPECT_FALSE(graph.end_to_edge_index.contains(uid_of(*b)));

  Result<std::optional<Uid>> again = graph.remove_node(uid_of(*b));
  ASSERT_TRUE(again.has_value()) << rendered(again);
  EXPECT_EQ(*again, std::nullopt);
}

TEST_F(WritesTest, RemoveNodeWithAnEdgeToItselfRemovesThatEdgeOnce) {
  const TypePtr a_to_a = arrow(a, a);
  ASSERT_TRUE(graph.add_node(a, nullptr, PropertyMap()).has_value());
  Result<EdgeUid> loop = graph.add_edge(basic("s", a_to_a), PropertyMap());
  ASSERT_TRUE(loop.has_value()) << rendered(loop);
  EXPECT_EQ(edges_in(graph.end_to_edge_index, uid_of(*a)), std::vector<EdgeUid>{*loop});

  Result<std::optional<Uid>> removed = graph.remove_node(uid_of(*a));
  ASSERT_TRUE(removed.has_value()) << rendered(removed);
  EXPECT_EQ(*removed, uid_of(*a));
  EXPECT_EQ(graph.edge_index.size(), 0u);
  EXPECT_EQ(graph.edge_to_type_index.size(), 0u);
  EXPECT_EQ(graph.type_to_edge_index.size(), 0u);
}

TEST_F(WritesTest, ANodeAddedAgainAfterRemovalShowsTheOldTermAndNoEdges) {
  ASSERT_TRUE(graph.add_node(a, basic("x", a), PropertyMap()).has_value());
  ASSERT_TRUE(graph.add_node(b, basic("y", b), PropertyMap()).has_value());
  ASSERT_TRUE(graph.add_edge(basic("f", a_to_b), PropertyMap()).has_value());
  ASSERT_TRUE(graph.remove_node(uid_of(*a)).has_value());

  ASSERT_TRUE(graph.add_node(a, nullptr, PropertyMap()).has_value());
  EXPECT_TRUE(same_term(stored_term(graph, *a), basic("x", a)));
  EXPECT_EQ(edges_in(graph.start_to_edge_index, uid_of(*a)), std::vector<EdgeUid>{});
  EXPECT_EQ(graph.edge_index.size(), 0u);
}

// --- properties ---------------------------------------------------------------

struct PropertyCase {
  std::string name;
  bool overwrite;
  std::vector<std::pair<std::string, std::int64_t>> given;
  std::string after;
};

class SetPropertiesTest : public WritesTest, public ::testing::WithParamInterface<PropertyCase> {};

TEST_P(SetPropertiesTest, NodeProperties) {
  const Uid uid = *graph.add_node(a, nullptr, props({{"a", 1}, {"b", 1}}));
  const PropertyMap given = props(GetParam().given);
  Status set = graph.set_node_properties(uid, given, GetParam().overwrite);
  ASSERT_TRUE(set.has_value()) << rendered(set);
  Result<PropertyMap> stored = graph.node_properties(uid);
  EXPECT_EQ(text_of(*stored), GetParam().after);
  // Both forms copy the given entries: the given map is left alone, and the
  // element shares no map with it.
  EXPECT_FALSE(testing::share_map(*stored, given));
  EXPECT_EQ(text_of(given), text_of(props(GetParam().given)));
}

TEST_P(SetPropertiesTest, EdgeProperties) {
  const EdgeUid edge = add_a_to_b(props({{"a", 1}, {"b", 1}}));
  const PropertyMap given = props(GetParam().given);
  Status set = graph.set_edge_properties(edge, given, GetParam().overwrite);
  ASSERT_TRUE(set.has_value()) << rendered(set);
  Result<PropertyMap> stored = graph.edge_properties(edge);
  EXPECT_EQ(text_of(*stored), GetParam().after);
  EXPECT_FALSE(testing::share_map(*stored, given));
}

INSTANTIATE_TEST_SUITE_P(
    Writes, SetPropertiesTest,
    ::testing::Values(PropertyCase{"merge", false, {{"a", 2}, {"c", 3}}, "{a: 2, b: 1, c: 3}"},
                      PropertyCase{"merge_empty", false, {}, "{a: 1, b: 1}"},
                      PropertyCase{"replace", true, {{"a", 2}, {"c", 3}}, "{a: 2, c: 3}"},
                      PropertyCase{"replace_empty", true, {}, "{}"}),
    [](const auto& info) { return info.param.name; });

// One map given to two nodes: a later change to either reaches neither the
// other nor the map given.
TEST_F(WritesTest, NodesGivenOneMapChangeApart) {
  const PropertyMap given = props({{"a", 1}});
  const Uid first = *graph.add_node(a, nullptr, given);
  const Uid second = *graph.add_node(b, nullptr, given);
  const PropertyMap before = *graph.node_properties(first);
  ASSERT_TRUE(graph.set_node_properties(first, props({{"b", 2}}), false).has_value());
  ASSERT_TRUE(graph.set_node_properties(second, given, true).has_value());
  ASSERT_TRUE(graph.set_node_properties(second, props({{"c", 3}}), false).has_value());
  EXPECT_EQ(text_of(*graph.node_properties(first)), "{a: 1, b: 2}");
  EXPECT_EQ(text_of(*graph.node_properties(second)), "{a: 1, c: 3}");
  EXPECT_EQ(text_of(given), "{a: 1}");
  // A merge changes the node's own map in place.
  EXPECT_TRUE(testing::share_map(*graph.node_properties(first), before));
}

// Both forms refuse an element that is not there and leave the store as it was.
class SetMissingTest : public WritesTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SetMissingTest, NodeIsNotFound) {
  const Uid uid = uid_of(*a);
  Status set = graph.set_node_properties(uid, props({{"a", 1}}), GetParam());
  EXPECT_EQ(rendered(set),
            "Node with Uid: '" + uid_to_hex(uid) + "' not found (graph - set node properties)");
  EXPECT_EQ(graph.node_index.size(), 0u);
}

TEST_P(SetMissingTest, EdgeIsNotFound) {
  const EdgeUid edge = edge_of(*a_to_b);
  Status set = graph.set_edge_properties(edge, props({{"a", 1}}), GetParam());
  EXPECT_EQ(rendered(set), "Edge with Uid: '(" + uid_to_hex(edge.start) + ", " +
                               uid_to_hex(edge.end) + ")' not found (graph - set node properties)");
  EXPECT_EQ(graph.edge_index.size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Writes, SetMissingTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "replace" : "merge"; });

}  // namespace
}  // namespace korvale
