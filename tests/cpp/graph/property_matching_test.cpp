#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "graph/graph.hpp"
#include "matches/match_set.hpp"
#include "patterns/node.hpp"
#include "properties/dynamic.hpp"
#include "properties/property_map.hpp"
#include "support/allocation_probe.hpp"
#include "support/graph_helpers.hpp"
#include "support/report_lines.hpp"
#include "support/set_rows.hpp"

namespace korvale {
namespace {

using testing::line;
using testing::rendered;

Uid uid_of(std::uint8_t fill) {
  Uid uid;
  uid.fill(fill);
  return uid;
}

const Uid kNode = uid_of(0x11);
const EdgeUid kEdge{uid_of(0x11), uid_of(0x22)};

Dynamic::Dict dict(std::vector<std::pair<std::string, Dynamic>> entries) {
  Dynamic::Dict out;
  for (auto& [key, value] : entries) out.insert_or_assign(key, std::move(value));
  return out;
}

Dynamic integer(std::int64_t n) {
  return Dynamic::integer(n);
}

// A node and an edge stored with the same properties.
class PropertyFilterTest : public ::testing::Test {
 protected:
  // Whether the pattern "(n <filter>)" matched against every node finds kNode.
  bool scan_finds_node(const PropertyMap& filter) {
    const Result<NodePattern> pattern = NodePattern::new_("n", std::nullopt, std::nullopt, filter);
    EXPECT_TRUE(pattern.has_value());
    const Result<MatchSet> rows = graph.match_node_pattern(*pattern, default_match_set());
    EXPECT_TRUE(rows.has_value()) << rendered(rows);
    if (!rows) return false;
    bool found = false;
    for (const MatchRow& row : testing::rows_of(*rows)) found = found || row.last_uid == kNode;
    return found;
  }

  void store(Dynamic::Dict properties) {
    graph.node_index.insert(kNode, PropertyMap::from_dict(properties));
    graph.edge_index.insert(kEdge, PropertyMap::from_dict(std::move(properties)));
  }
  Graph graph;
};

struct FilterCase {
  std::string name;
  Dynamic::Dict filter;
  Dynamic::Dict stored;
  bool node;  // does the node filter hold
  bool edge;  // does the edge filter hold
};

class FilterTableTest : public PropertyFilterTest,
                        public ::testing::WithParamInterface<FilterCase> {};

TEST_P(FilterTableTest, NodeAndEdgeFilters) {
  const FilterCase& c = GetParam();
  store(c.stored);
  const PropertyMap filter = PropertyMap::from_dict(c.filter);
  Result<bool> node = graph.check_node_matches_properties(kNode, filter);
  Result<bool> edge = graph.check_edge_matches_properties(kEdge, filter);
  ASSERT_TRUE(node.has_value()) << rendered(node);
  ASSERT_TRUE(edge.has_value()) << rendered(edge);
  EXPECT_EQ(*node, c.node);
  EXPECT_EQ(*edge, c.edge);
  // The scans' form: the stored map in hand, the filter's entries taken once.
  Result<bool> scanned = Graph::node_map_matches(graph.node_index.get(kNode)->map, *filter.iter());
  ASSERT_TRUE(scanned.has_value()) << rendered(scanned);
  EXPECT_EQ(*scanned, c.node);
  // A scan of every node, which passes over the nodes whose summary rules the
  // filter out: it must find the node exactly when the filter holds.
  EXPECT_EQ(scan_finds_node(filter), c.node);
}

// Three entries or more are compared on the pool, fewer inline.
INSTANTIATE_TEST_SUITE_P(
    Filters, FilterTableTest,
    ::testing::Values(
        FilterCase{"EmptyFilterOnEmptyMap", {}, {}, true, true},
        FilterCase{"EmptyFilter", {}, dict({{"k", integer(1)}}), true, true},
        // Only keys present on an edge are compared; a node must have them all.
        FilterCase{"MissingKey", dict({{"k", integer(1)}}), {}, false, true},
        FilterCase{"EqualValue", dict({{"k", integer(1)}}), dict({{"k", integer(1)}}), true, true},
        FilterCase{"OtherValue", dict({{"k", integer(1)}}), dict({{"k", integer(2)}}), false,
                   false},
        FilterCase{"IntegerIsNoFloat", dict({{"k", integer(3)}}),
                   dict({{"k", Dynamic::floating(3.0)}}), false, false},
        FilterCase{"NullEqualsNothing", dict({{"k", Dynamic::null()}}),
                   dict({{"k", Dynamic::null()}}), false, false},
        FilterCase{"StoredExtraKeys", dict({{"a", integer(1)}}),
                   dict({{"a", integer(1)}, {"b", integer(2)}}), true, true},
        FilterCase{"ManyEqual",
                   dict({{"a", integer(1)},
                         {"b", Dynamic::string("x")},
                         {"c", Dynamic::list({integer(1)})}}),
                   dict({{"a", integer(1)},
                         {"b", Dynamic::string("x")},
                         {"c", Dynamic::list({integer(1)})},
                         {"d", integer(5)}}),
                   true, true},
        FilterCase{"ManyOneMissing",
                   dict({{"a", integer(1)}, {"b", integer(2)}, {"c", integer(3)}}),
                   dict({{"a", integer(1)}, {"b", integer(2)}}), false, true},
        FilterCase{"ManyOneDiffers",
                   dict({{"a", integer(1)}, {"b", integer(2)}, {"c", integer(3)}}),
                   dict({{"a", integer(1)}, {"b", integer(2)}, {"c", integer(4)}}), false, false}),
    [](const ::testing::TestParamInfo<FilterCase>& info) { return info.param.name; });

TEST_F(PropertyFilterTest, MissingElementsFailBeforeTheFilter) {
  const PropertyMap empty;
  EXPECT_EQ(rendered(graph.check_node_matches_properties(kNode, empty)),
            "Node with Uid: '" + uid_to_hex(kNode) + "' not found (check node matches properties)");
  EXPECT_EQ(rendered(graph.check_edge_matches_properties(kEdge, empty)),
            "Edge with Uid: '(" + uid_to_hex(kEdge.start) + ", " + uid_to_hex(kEdge.end) +
                ")' not found (check edge matches properties)");
}

// A map is poisoned when an insertion into it is cut short; here by making the
// allocation of its first tree node fail.
PropertyMap poisoned_map() {
  const PropertyMap map;
  testing::fail_next_allocation();
  try {
    (void)map.insert("k", integer(1));
  } catch (const std::bad_alloc&) {
  }
  return map;
}

// Every write to a node's properties keeps its summary exact: after each,
// a scan finds the nodes that the filter's own test accepts, and no others.
TEST_F(PropertyFilterTest, ScansFollowEveryWriteToTheStoredProperties) {
  const auto props = [](Dynamic::Dict entries) {
    return PropertyMap::from_dict(std::move(entries));
  };
  const PropertyMap bucket_7 = props(dict({{"bucket", integer(7)}}));
  const PropertyMap text_x = props(dict({{"s", Dynamic::string("x")}}));
  const PropertyMap flag = props(dict({{"b", Dynamic::boolean(true)}}));
  std::vector<Uid> nodes;
  for (std::uint8_t i = 1; i <= 40; ++i) {
    nodes.push_back(
        *graph.add_node(testing::var("T" + std::to_string(i)), nullptr,
                        props(dict({{"bucket", integer(i % 4 + 5)}, {"i", integer(i)}}))));
  }
  const auto expect_scans_agree = [&](const char* step) {
    for (const PropertyMap* filter : {&bucket_7, &text_x, &flag}) {
      const Result<NodePattern> pattern =
          NodePattern::new_("n", std::nullopt, std::nullopt, *filter);
      const Result<MatchSet> rows = graph.match_node_pattern(*pattern, default_match_set());
      ASSERT_TRUE(rows.has_value()) << rendered(rows);
      std::set<Uid> found;
      for (const MatchRow& row : testing::rows_of(*rows)) found.insert(row.last_uid);
      std::set<Uid> expected;
      for (const Uid& node : nodes) {
        if (*graph.check_node_matches_properties(node, *filter)) expected.insert(node);
      }
      EXPECT_EQ(found, expected) << step << ", filter " << *filter->to_string();
    }
  };
  expect_scans_agree("as added");
  ASSERT_TRUE(graph.set_node_properties(nodes[0], bucket_7, /*overwrite=*/false));
  ASSERT_TRUE(graph.set_node_properties(nodes[1], text_x, /*overwrite=*/false));
  ASSERT_TRUE(graph.set_node_properties(nodes[2], flag, /*overwrite=*/true));
  ASSERT_TRUE(graph.set_node_properties(nodes[3], props({}), /*overwrite=*/true));
  expect_scans_agree("after merges and replacements");
  // A node with the filter's key and another value, and one of another kind.
  ASSERT_TRUE(graph.set_node_properties(nodes[0], props(dict({{"bucket", integer(8)}})), false));
  ASSERT_TRUE(graph.set_node_properties(nodes[1], props(dict({{"s", integer(1)}})), false));
  expect_scans_agree("after values changed");
}

TEST_F(PropertyFilterTest, AStoredMapThatCannotBeReadFailsWithTheReadLine) {
  const PropertyMap stored = poisoned_map();
  ASSERT_FALSE(stored.get("k").has_value()) << "the map should be poisoned";
  graph.node_index.insert(kNode, stored);
  graph.edge_index.insert(kEdge, stored);
  const std::string lock_error =
      "Failed to acquire read lock: 'poisoned lock: another task failed inside' (property map - "
      "get [src/properties:131])";
  const std::string closure = line("property map - try par compare - closure [src/properties:158]");
  // One entry and three: inline and on the pool.
  for (const PropertyMap& filter :
       {PropertyMap::from_dict(dict({{"k", integer(1)}})),
        PropertyMap::from_dict(dict({{"a", integer(1)}, {"b", integer(1)}, {"c", integer(1)}}))}) {
    EXPECT_EQ(rendered(graph.check_node_matches_properties(kNode, filter)),
              lock_error + closure +
                  line("graph - check node matches properties [src/graph/matches/properties:21]"));
    EXPECT_EQ(rendered(graph.check_edge_matches_properties(kEdge, filter)),
              lock_error + closure +
                  line("graph - check edge matches properties [src/graph/matches/properties:48]"));
    EXPECT_EQ(rendered(Graph::node_map_matches(stored, *filter.iter())),
              rendered(graph.check_node_matches_properties(kNode, filter)));
    // A scan reads a map it cannot summarise, and so reports it too.
    const Result<NodePattern> pattern = NodePattern::new_("n", std::nullopt, std::nullopt, filter);
    ASSERT_TRUE(pattern.has_value());
    EXPECT_EQ(rendered(graph.match_node_pattern(*pattern, default_match_set())),
              lock_error + line("graph - match node pattern [src/graph/matches/node:228]") +
                  closure +
                  line("graph - check node matches properties [src/graph/matches/properties:21]"));
  }
  // An empty filter reads nothing.
  Result<bool> empty = graph.check_node_matches_properties(kNode, PropertyMap());
  ASSERT_TRUE(empty.has_value()) << rendered(empty);
  EXPECT_TRUE(*empty);
  Result<bool> scanned_empty = Graph::node_map_matches(stored, {});
  ASSERT_TRUE(scanned_empty.has_value()) << rendered(scanned_empty);
  EXPECT_TRUE(*scanned_empty);
}

TEST_F(PropertyFilterTest, AFilterThatCannotBeReadFails) {
  store({});
  EXPECT_EQ(rendered(graph.check_node_matches_properties(kNode, poisoned_map())),
            "Failed to acquire read lock: 'poisoned lock: another task failed inside' (property "
            "map - try par compare [src/properties:144])");
}

TEST_F(PropertyFilterTest, MismatchesAllocateNothing) {
  store(dict({{"k", integer(2)}, {"s", Dynamic::string("a long text beyond any inline buffer")}}));
  for (const PropertyMap& filter :
       {PropertyMap::from_dict(dict({{"k", integer(1)}})),
        PropertyMap::from_dict(dict({{"missing", integer(1)}})),
        PropertyMap::from_dict(
            dict({{"s", Dynamic::string("another long text, not the same")}}))}) {
    testing::AllocationCounter counter;
    Result<bool> holds = graph.check_node_matches_properties(kNode, filter);
    const std::size_t allocations = counter.count();
    ASSERT_TRUE(holds.has_value()) << rendered(holds);
    EXPECT_FALSE(*holds);
    EXPECT_EQ(allocations, 0u);
  }
}

}  // namespace
}  // namespace korvale
