#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "concurrency/parallel.hpp"

namespace korvale {
namespace {

std::unexpected<Report> item_failure(std::size_t i) {
  return fail(kind::IndexOutOfRange{i, 0, std::nullopt});
}

std::size_t failed_index(const Report& report) {
  return std::get<kind::IndexOutOfRange>(report.kind()).index;
}

TEST(TryParUntilTest, EveryItemRunsOnceWhenAllContinue) {
  for (std::size_t n : {0u, 1u, 2u, 3u, 10000u}) {
    std::vector<std::atomic<int>> runs(n);
    const Result<bool> result = try_par_until(n, [&](std::size_t i) -> Result<Flow> {
      runs[i].fetch_add(1);
      return Flow::Continue;
    });
    EXPECT_TRUE(result.value()) << n;
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(runs[i].load(), 1) << n << " " << i;
  }
}

TEST(TryParUntilTest, OneBreakOfManyAnswersFalse) {
  for (std::size_t n : {2u, 3u, 10000u}) {
    const Result<bool> result = try_par_until(n, [&](std::size_t i) -> Result<Flow> {
      return i == n / 2 ? Flow::Break : Flow::Continue;
    });
    ASSERT_TRUE(result.has_value()) << n;
    EXPECT_FALSE(*result) << n;
  }
}

TEST(TryParUntilTest, OneFailureOfManyIsReturned) {
  for (std::size_t n : {1u, 3u, 10000u}) {
    const Result<bool> result = try_par_until(n, [&](std::size_t i) -> Result<Flow> {
      if (i == n - 1) return item_failure(i);
      return Flow::Continue;
    });
    ASSERT_FALSE(result.has_value()) << n;
    EXPECT_EQ(failed_index(result.error()), n - 1);
  }
}

TEST(TryParUntilTest, StopsHandingOutWorkAfterTheFirstFailure) {
  constexpr std::size_t kItems = 1000000;
  std::atomic<std::size_t> started{0};
  const Result<bool> result = try_par_until(kItems, [&](std::size_t i) -> Result<Flow> {
    started.fetch_add(1);
    return item_failure(i);
  });
  ASSERT_FALSE(result.has_value());
  EXPECT_LT(failed_index(result.error()), kItems);
  // Each thread may start at most the item it was about to run.
  EXPECT_LT(started.load(), 1000u);
}

TEST(TryParUntilTest, StopsHandingOutWorkAfterTheFirstBreak) {
  constexpr std::size_t kItems = 1000000;
  std::atomic<std::size_t> started{0};
  const Result<bool> result = try_par_until(kItems, [&](std::size_t) -> Result<Flow> {
    started.fetch_add(1);
    return Flow::Break;
  });
  EXPECT_FALSE(result.value());
  EXPECT_LT(started.load(), 1000u);
}

TEST(TryParUntilTest, SmallLoopsRunInlineAndInOrder) {
  const auto caller = std::this_thread::get_id();
  std::vector<std::size_t> order;
  const Result<bool> result = try_par_until(2, [&](std::size_t i) -> Result<Flow> {
    EXPECT_EQ(std::this_thread::get_id(), caller);
    order.push_back(i);
    return item_failure(i);
  });
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(failed_index(result.error()), 0u);
  EXPECT_EQ(order, std::vector<std::size_t>{0});
}

// An inner loop inside an outer loop that stops: the inner loops that still
// run must not be cut short and then answer as if every item had continued.
TEST(TryParUntilTest, NestedLoopsAreNotCutShortByTheOuterStop) {
  constexpr std::size_t kOuter = 64;
  constexpr std::size_t kInner = 200;
  std::atomic<int> inner_items{0};
  std::atomic<int> incomplete{0};
  const Result<bool> outer = try_par_until(kOuter, [&](std::size_t o) -> Result<Flow> {
    if (o == 0) {
      // Fail while inner loops are in flight (given a second thread to run them).
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
      while (inner_items.load() < 50 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
      }
      return item_failure(o);
    }
    std::atomic<std::size_t> ran{0};
    const Result<bool> inner = try_par_until(kInner, [&](std::size_t) -> Result<Flow> {
      ran.fetch_add(1);
      inner_items.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::microseconds(20));
      return Flow::Continue;
    });
    if (!inner || !*inner || ran.load() != kInner) incomplete.fetch_add(1);
    return Flow::Continue;
  });
  ASSERT_FALSE(outer.has_value());
  EXPECT_EQ(failed_index(outer.error()), 0u);
  EXPECT_EQ(incomplete.load(), 0);
}

TEST(TryParForTest, RunsEveryItemOrReturnsOneFailure) {
  std::atomic<std::size_t> sum{0};
  ASSERT_TRUE(try_par_for(1000, [&](std::size_t i) -> Status {
    sum.fetch_add(i);
    return {};
  }));
  EXPECT_EQ(sum.load(), 999u * 1000u / 2);

  std::atomic<std::size_t> started{0};
  const Status failed = try_par_for(1000000, [&](std::size_t i) -> Status {
    started.fetch_add(1);
    if (i % 2 == 1) return item_failure(i);
    return {};
  });
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed_index(failed.error()) % 2, 1u);
  EXPECT_LT(started.load(), 100000u);
}

}  // namespace
}  // namespace korvale
