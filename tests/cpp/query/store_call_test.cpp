#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "concurrency/polled_call.hpp"
#include "graph/store_call.hpp"
#include "query/query.hpp"

namespace korvale {
namespace {

using std::chrono::milliseconds;

constexpr const char* kInterrupted = "Something went wrong: 'The call was interrupted'";

TEST(StoreCallTest, InsideANoWaitScopeAHeldStoreIsRefusedNotWaitedFor) {
  Graph graph;
  Result<StoreCall> writing = StoreCall::enter(graph, StoreAccess::kWrite);
  ASSERT_TRUE(writing.has_value());
  std::thread other([&] {
    NoWaitScope no_wait;
    Result<StoreCall> reading = StoreCall::enter(graph, StoreAccess::kRead);
    EXPECT_FALSE(reading.has_value());
    EXPECT_TRUE(no_wait.refused());
  });
  other.join();
  writing = fail(interrupted_report());  // lets go of the store
  // A free store is entered inside the scope too, and nothing is refused.
  NoWaitScope no_wait;
  EXPECT_TRUE(StoreCall::enter(graph, StoreAccess::kRead).has_value());
  EXPECT_FALSE(no_wait.refused());
}

TEST(StoreCallTest, AnInterruptedCallStopsWaitingForItsStore) {
  Graph graph;
  Result<StoreCall> reading = StoreCall::enter(graph, StoreAccess::kRead);
  ASSERT_TRUE(reading.has_value());
  int polls = 0;
  Result<int> waited = run_polled(
      [&]() -> Result<int> {
        const StoreCall call = KORVALE_PASS(StoreCall::enter(graph, StoreAccess::kWrite));
        return 1;
      },
      [&] { return ++polls < 2; });
  ASSERT_FALSE(waited.has_value());
  EXPECT_EQ(format_report(waited.error()), kInterrupted);
  EXPECT_EQ(polls, 2);
}

// C++ callers of the query layer get whole calls too: a writing query waits
// for a reading call, and a reading query runs beside it.
TEST(StoreCallTest, QueriesTakeTheirStoreAsTheirClausesNeedIt) {
  auto graph = std::make_shared<Graph>();
  Query reading = *Query(graph).match("(x)");
  Query writing = *Query(graph).create("(:A)");
  EXPECT_EQ(reading.access(), StoreAccess::kRead);
  EXPECT_EQ(writing.access(), StoreAccess::kWrite);
  Result<StoreCall> held = StoreCall::enter(*graph, StoreAccess::kRead);
  ASSERT_TRUE(held.has_value());
  EXPECT_TRUE(reading.execute().has_value());
  std::atomic<bool> written{false};
  std::thread writer([&] {
    EXPECT_TRUE(writing.execute().has_value());
    written = true;
  });
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_FALSE(written.load());
  EXPECT_EQ(graph->node_index.size(), 0u);
  held = fail(interrupted_report());
  writer.join();
  EXPECT_EQ(graph->node_index.size(), 1u);
}

}  // namespace
}  // namespace korvale
