// Writes from many threads at once. Plain threads, released together by a
// latch, so that ThreadSanitizer sees every ordering the store relies on.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <latch>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "graph/graph.hpp"
#include "support/report_lines.hpp"
#include "support/store_fixtures.hpp"

namespace korvale {
namespace {

using testing::app;
using testing::arrow;
using testing::basic;
using testing::edge_of;
using testing::edges_in;
using testing::props;
using testing::rendered;
using testing::uid_of;
using testing::var;

constexpr int kThreads = 8;

// Runs body(i) for i in [0, kThreads) on as many threads, all started at once.
void run_together(const std::function<void(int)>& body) {
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      body(i);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

template <class Kind, class T>
bool is_kind(const Result<T>& result) {
  return !result && std::holds_alternative<Kind>(result.error().kind());
}

// Every stored edge is linked both ways to its type, has its term and both
// nodes, and sits in both nodes' sets; every edge a node's set names exists.
void expect_consistent(const Graph& graph) {
  for (const EdgeUid& edge : graph.edge_index.keys()) {
    const std::optional<Uid> type = graph.edge_to_type_index.get(edge);
    ASSERT_TRUE(type.has_value());
    EXPECT_EQ(graph.type_to_edge_index.get(*type), edge);
    EXPECT_TRUE(graph.term_index.contains(*type));
    EXPECT_TRUE(graph.node_index.contains(edge.start));
    EXPECT_TRUE(graph.node_index.contains(edge.end));
    const std::vector<EdgeUid> leaving = edges_in(graph.start_to_edge_index, edge.start);
    const std::vector<EdgeUid> entering = edges_in(graph.end_to_edge_index, edge.end);
    EXPECT_NE(std::find(leaving.begin(), leaving.end(), edge), leaving.end());
    EXPECT_NE(std::find(entering.begin(), entering.end(), edge), entering.end());
  }
  for (const Uid& node : graph.node_index.keys()) {
    for (const auto* table : {&graph.start_to_edge_index, &graph.end_to_edge_index}) {
      for (const EdgeUid& edge : edges_in(*table, node)) {
        EXPECT_TRUE(graph.edge_index.contains(edge));
      }
    }
  }
  EXPECT_EQ(graph.edge_to_type_index.size(), graph.edge_index.size());
  EXPECT_EQ(graph.type_to_edge_index.size(), graph.edge_index.size());
}

TEST(WritesConcurrencyTest, OfThreadsAddingOneNodeExactlyOneWinsAndAllSeeItComplete) {
  constexpr int kRounds = 20;
  Graph graph;
  for (int round = 0; round < kRounds; ++round) {
    const TypePtr type = var("N" + std::to_string(round));
    const Uid uid = uid_of(*type);
    std::vector<PropertyMap> maps;
    for (int i = 0; i < kThreads; ++i) maps.push_back(props({{"by", i}}));
    std::atomic<int> winners{0};
    std::atomic<int> winner{-1};
    std::atomic<int> complete{0};
    run_together([&](int i) {
      Result<Uid> added = graph.add_node(type, nullptr, maps[i]);
      if (added) {
        ++winners;
        winner = i;
      } else if (!is_kind<kind::NodeAlreadyExists>(added)) {
        ADD_FAILURE() << rendered(added);
      }
      // Whoever returns finds the node whole.
      if (graph.node_properties(uid)) ++complete;
    });
    ASSERT_EQ(winners.load(), 1);
    EXPECT_EQ(complete.load(), kThreads);
    EXPECT_EQ(graph.node_properties(uid)->to_string(),
              "{by: " + std::to_string(winner.load()) + "}");
  }
  EXPECT_EQ(graph.node_index.size(), static_cast<std::size_t>(kRounds));
}

// Every thread adds an edge from its own inhabited node to the shared node
// S -> T, and one from S to a node of its own: the derivations race to add
// S, T and the edge from S to T, and the edges from S race with them.
TEST(WritesConcurrencyTest, EdgesBetweenSharedNodesWhileDeriving) {
  Graph graph;
  const TypePtr s = var("S");
  const TypePtr t = var("T");
  const TypePtr s_to_t = arrow(s, t);
  ASSERT_TRUE(graph.add_node(s_to_t, nullptr, PropertyMap()).has_value());
  std::vector<TypePtr> own;
  std::vector<TypePtr> targets;
  for (int i = 0; i < kThreads; ++i) {
    own.push_back(var("A" + std::to_string(i)));
    targets.push_back(var("U" + std::to_string(i)));
    ASSERT_TRUE(graph.add_node(own[i], basic("a", own[i]), PropertyMap()).has_value());
    ASSERT_TRUE(graph.add_node(targets[i], nullptr, PropertyMap()).has_value());
  }
  run_together([&](int i) {
    Result<EdgeUid> derived = graph.add_edge(basic("f", arrow(own[i], s_to_t)), PropertyMap());
    EXPECT_TRUE(derived.has_value()) << rendered(derived);
    // S may not be there yet: then this edge has no start and fails cleanly.
    Result<EdgeUid> from_s = graph.add_edge(basic("g", arrow(s, targets[i])), PropertyMap());
    if (!from_s) {
      EXPECT_TRUE(is_kind<kind::IndexCorruption>(from_s)) << rendered(from_s);
    }
  });
  EXPECT_TRUE(graph.node_index.contains(uid_of(*s)));
  EXPECT_TRUE(graph.node_index.contains(uid_of(*t)));
  EXPECT_TRUE(graph.edge_index.contains(edge_of(*s_to_t)));
  EXPECT_TRUE(graph.term_index.contains(uid_of(*s_to_t)));
  expect_consistent(graph);
}

// One thread removes the nodes (and so their edges) while the others merge
// into them or replace their maps: each update either lands on a node that
// is still there or reports it missing, and no removed node comes back.
TEST(WritesConcurrencyTest, RemovingNodesWhileOthersMergeIntoThem) {
  constexpr int kNodes = 40;
  Graph graph;
  std::vector<Uid> nodes;
  for (int n = 0; n < kNodes; ++n) {
    const TypePtr type = var("N" + std::to_string(n));
    nodes.push_back(*graph.add_node(type, nullptr, props({{"n", n}})));
  }
  for (int n = 0; n + 1 < kNodes; ++n) {
    const TypePtr type = arrow(var("N" + std::to_string(n)), var("N" + std::to_string(n + 1)));
    ASSERT_TRUE(graph.add_edge(basic("e", type), PropertyMap()).has_value());
  }
  run_together([&](int i) {
    if (i == 0) {
      for (const Uid& node : nodes) {
        Result<std::optional<Uid>> removed = graph.remove_node(node);
        EXPECT_TRUE(removed.has_value() && *removed == node) << rendered(removed);
      }
      return;
    }
    for (int round = 0; round < 3; ++round) {
      for (const Uid& node : nodes) {
        Status set = graph.set_node_properties(node, props({{"t", i}}), i % 2 == 0);
        EXPECT_TRUE(set || is_kind<kind::NodeNotFound>(set)) << rendered(set);
      }
    }
  });
  EXPECT_EQ(graph.node_index.size(), 0u);
  EXPECT_EQ(graph.edge_index.size(), 0u);
  EXPECT_EQ(graph.start_to_edge_index.size(), 0u);
  EXPECT_EQ(graph.end_to_edge_index.size(), 0u);
  expect_consistent(graph);
}

// Merges into one node from many threads lose no key.
TEST(WritesConcurrencyTest, ConcurrentMergesIntoOneNodeKeepEveryKey) {
  Graph graph;
  const Uid uid = *graph.add_node(var("A"), nullptr, PropertyMap());
  constexpr int kKeys = 25;
  run_together([&](int i) {
    for (int k = 0; k < kKeys; ++k) {
      const std::string key = "k" + std::to_string(i) + "_" + std::to_string(k);
      ASSERT_TRUE(graph.set_node_properties(uid, props({{key, k}}), false).has_value());
    }
  });
  Result<PropertyMap::Snapshot> entries = graph.node_properties(uid)->iter();
  ASSERT_TRUE(entries.has_value());
  EXPECT_EQ(entries->size(), static_cast<std::size_t>(kThreads * kKeys));
}

}  // namespace
}  // namespace korvale
