#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "graph/opaque_release.hpp"
#include "properties/opaque_removal.hpp"
#include "support/map_sharing.hpp"
#include "support/report_lines.hpp"
#include "support/store_fixtures.hpp"

namespace korvale {
namespace {

using testing::arrow;
using testing::basic;
using testing::props;
using testing::rendered;
using testing::text_of;
using testing::uid_of;
using testing::var;

// Distinct addresses standing in for Python objects; the core only queues them.
int object_a = 0;
int object_b = 0;
int object_c = 0;

Dynamic held(int& object) {
  return Dynamic::opaque(PyOpaque::adopt(&object));
}

std::vector<void*> released_sorted() {
  std::vector<void*> released = take_released_opaques();
  std::sort(released.begin(), released.end());
  return released;
}

std::vector<void*> sorted(std::vector<void*> objects) {
  std::sort(objects.begin(), objects.end());
  return objects;
}

// --- the release queue ---------------------------------------------------------------

// Takes skip the lock while nothing is queued: a release made meanwhile must
// still be taken by a later take.
TEST(ReleaseQueueTest, NoReferenceIsLostWhileTakesRaceWithReleases) {
  take_released_opaques();
  constexpr std::size_t kThreads = 4;
  constexpr std::size_t kEach = 20000;
  std::atomic<std::size_t> running{kThreads};
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (std::size_t i = 0; i < kEach; ++i) static_cast<void>(held(object_a));
      running.fetch_sub(1);
    });
  }
  std::size_t taken = 0;
  while (running.load() > 0) taken += take_released_opaques().size();
  for (std::thread& thread : threads) thread.join();
  taken += take_released_opaques().size();
  EXPECT_EQ(taken, kThreads * kEach);
  EXPECT_TRUE(take_released_opaques().empty());
}

// --- a value without its opaque references ---------------------------------------

struct WithoutOpaquesCase {
  const char* name;
  Dynamic (*make)();
  std::optional<std::string> text;  // nullopt: nothing to replace
};

class WithoutOpaquesTest : public ::testing::TestWithParam<WithoutOpaquesCase> {
 protected:
  void SetUp() override { take_released_opaques(); }
  void TearDown() override { take_released_opaques(); }
};

TEST_P(WithoutOpaquesTest, ReplacesEachReferenceWithNull) {
  const Dynamic value = GetParam().make();
  const std::optional<Dynamic> replaced = without_opaques(value);
  ASSERT_EQ(replaced.has_value(), GetParam().text.has_value());
  if (replaced) {
    EXPECT_EQ(replaced->to_string(), *GetParam().text);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, WithoutOpaquesTest,
    ::testing::Values(
        WithoutOpaquesCase{"Scalar", [] { return Dynamic::integer(1); }, std::nullopt},
        WithoutOpaquesCase{"Opaque", [] { return held(object_a); }, "()"},
        WithoutOpaquesCase{
            "PlainNesting",
            [] {
              return Dynamic::list({Dynamic::integer(1), Dynamic::list({Dynamic::string("x")})});
            },
            std::nullopt},
        WithoutOpaquesCase{"InList",
                           [] {
                             return Dynamic::list({Dynamic::integer(1), held(object_a)});
                           },
                           "[1, ()]"},
        WithoutOpaquesCase{"DeepInDict",
                           [] {
                             Dynamic::Dict inner{{"k", Dynamic::list({held(object_a)})},
                                                 {"n", Dynamic::boolean(true)}};
                             return Dynamic::list({Dynamic::dict(std::move(inner))});
                           },
                           "[#{\"k\": [()], \"n\": true}]"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- a store letting go of what it holds ---------------------------------------------

class OpaqueReleaseTest : public ::testing::Test {
 protected:
  void SetUp() override { take_released_opaques(); }
  void TearDown() override { take_released_opaques(); }

  Graph graph;
  TypePtr a = var("A");
  TypePtr b = var("B");
};

TEST_F(OpaqueReleaseTest, EveryHeldReferenceIsQueuedAndOnlyOpaqueValuesChange) {
  Dynamic::Dict node_entries{{"f", held(object_a)},
                             {"l", Dynamic::list({held(object_b), Dynamic::integer(2)})},
                             {"n", Dynamic::integer(1)}};
  ASSERT_TRUE(graph.add_node(a, nullptr, PropertyMap::from_dict(std::move(node_entries))));
  ASSERT_TRUE(graph.add_node(b, nullptr, props({{"n", 2}})));
  Dynamic::Dict edge_entries{{"g", held(object_c)}};
  Result<EdgeUid> edge =
      graph.add_edge(basic("f", arrow(a, b)), PropertyMap::from_dict(std::move(edge_entries)));
  ASSERT_TRUE(edge) << rendered(edge);
  // The given maps were copied and have gone: the store holds the only copies.
  ASSERT_TRUE(take_released_opaques().empty());

  ASSERT_TRUE(let_go_of_opaque_values(graph));

  EXPECT_EQ(released_sorted(), sorted({&object_a, &object_b, &object_c}));
  EXPECT_EQ(text_of(*graph.node_properties(uid_of(*a))), "{f: (), l: [(), 2], n: 1}");
  EXPECT_EQ(text_of(*graph.node_properties(uid_of(*b))), "{n: 2}");
  EXPECT_EQ(text_of(*graph.edge_properties(*edge)), "{g: ()}");
  EXPECT_EQ(graph.node_index.size(), 2u);
  EXPECT_EQ(graph.edge_index.size(), 1u);
  // The node's summary still lets filters through that its map satisfies.
  Result<bool> matches = graph.check_node_matches_properties(uid_of(*a), props({{"n", 1}}));
  ASSERT_TRUE(matches) << rendered(matches);
  EXPECT_TRUE(*matches);
  // The store stays usable and lets go again of what it is given later.
  Dynamic::Dict later{{"h", held(object_a)}};
  ASSERT_TRUE(graph.set_edge_properties(*edge, PropertyMap::from_dict(std::move(later)), false));
  ASSERT_TRUE(let_go_of_opaque_values(graph));
  EXPECT_EQ(take_released_opaques(), std::vector<void*>{&object_a});
  EXPECT_EQ(text_of(*graph.edge_properties(*edge)), "{g: (), h: ()}");
}

TEST_F(OpaqueReleaseTest, AStoreWithoutReferencesIsLeftAsItIs) {
  ASSERT_TRUE(graph.add_node(a, nullptr, props({{"n", 1}})));
  const PropertyMap before = *graph.node_properties(uid_of(*a));
  ASSERT_TRUE(let_go_of_opaque_values(graph));
  EXPECT_TRUE(take_released_opaques().empty());
  EXPECT_EQ(text_of(*graph.node_properties(uid_of(*a))), "{n: 1}");
  EXPECT_TRUE(testing::share_map(*graph.node_properties(uid_of(*a)), before));
}

}  // namespace
}  // namespace korvale
