#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <new>
#include <thread>
#include <vector>

#include "concurrency/parallel.hpp"
#include "concurrency/polled_call.hpp"

namespace korvale {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr const char* kInterrupted = "Something went wrong: 'The call was interrupted'";

bool keep_going() {
  return true;
}

// A loop of `items` items of 1 ms each, each running a nested loop of light
// items, counting what ran at both levels.
Status slow_loop(std::size_t items, std::atomic<int>& outer, std::atomic<int>& inner) {
  return try_par_for(items, [&](std::size_t) -> Status {
    outer.fetch_add(1);
    std::this_thread::sleep_for(milliseconds(1));
    return try_par_for(64, [&](std::size_t) -> Status {
      inner.fetch_add(1);
      return {};
    });
  });
}

TEST(RunPolledTest, ReturnsWhatTheWorkReturnedAndPollsOnTheCallingThread) {
  const std::thread::id caller = std::this_thread::get_id();
  std::vector<steady_clock::time_point> polls;
  const auto poll = [&] {
    EXPECT_EQ(std::this_thread::get_id(), caller);
    polls.push_back(steady_clock::now());
    return true;
  };
  std::atomic<int> elsewhere{0};
  const steady_clock::time_point start = steady_clock::now();
  Result<int> result = run_polled(
      [&]() -> Result<int> {
        // The calling thread polls between the items it runs itself.
        Status loop = try_par_for(64, [&](std::size_t) -> Status {
          if (std::this_thread::get_id() != caller) elsewhere.fetch_add(1);
          std::this_thread::sleep_for(milliseconds(10));
          return {};
        });
        if (!loop) return fail(std::move(loop.error()));
        return 7;
      },
      poll);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(*result, 7);
  EXPECT_GT(elsewhere.load(), 0);
  // Every poll period of waiting ends in a poll.
  ASSERT_GE(polls.size(), 2u);
  steady_clock::time_point last = start;
  for (const steady_clock::time_point at : polls) {
    EXPECT_LT(at - last, milliseconds(150));
    last = at;
  }
}

TEST(RunPolledTest, AFailingPollStopsTheLoopsAtEveryLevelAndFailsTheCall) {
  std::atomic<int> outer{0}, inner{0};
  int polls = 0;
  Result<bool> result = run_polled(
      [&]() -> Result<bool> {
        // Even a work that ignores its loops' failures ends as interrupted.
        (void)slow_loop(100000, outer, inner);
        return true;
      },
      [&] { return ++polls < 3; });
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(format_report(result.error()), kInterrupted);
  EXPECT_EQ(polls, 3);  // no poll after the one that asked to stop
  EXPECT_LT(outer.load(), 100000);
  EXPECT_GT(outer.load(), 0);
  EXPECT_LE(inner.load(), outer.load() * 64);
}

// Waits until `done` holds, for at most ten seconds; answers whether it held.
template <class Done>
bool wait_until(Done done) {
  const auto give_up = steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return true;
}

TEST(RunPolledTest, NestedLoopsOfAnInterruptedCallFail) {
  // The items of other threads start their nested loops only once the
  // calling thread's poll has requested the interruption, so each of those
  // loops must fail however the threads are scheduled.
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<bool> helper_started{false};
  std::atomic<bool> timed_out{false};
  std::atomic<int> nested_loops{0};
  std::atomic<int> nested_failures{0};
  Result<bool> result = run_polled(
      [&]() -> Result<bool> {
        (void)try_par_for(64, [&](std::size_t) -> Status {
          if (std::this_thread::get_id() == caller) {
            // Keeps the calling thread from running every item before a
            // helper has started one.
            if (!wait_until([&] { return helper_started.load(); })) timed_out = true;
            return {};
          }
          helper_started = true;
          if (!wait_until([] { return current_interruption()->requested(); })) timed_out = true;
          nested_loops.fetch_add(1);
          Status nested = try_par_for(1000, [](std::size_t) -> Status { return {}; });
          if (!nested && format_report(nested.error()) == kInterrupted) {
            nested_failures.fetch_add(1);
          }
          return nested;
        });
        return true;
      },
      [&] { return !helper_started.load(); });
  ASSERT_FALSE(timed_out.load());
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(format_report(result.error()), kInterrupted);
  EXPECT_GT(nested_loops.load(), 0);
  EXPECT_EQ(nested_failures.load(), nested_loops.load());
}

TEST(RunPolledTest, UninterruptibleLoopsRunEveryItem) {
  std::atomic<int> ran{0};
  std::atomic<bool> started{false};
  Result<bool> result = run_polled(
      [&]() -> Result<bool> {
        const InterruptionScope uninterruptible(nullptr);
        Status loop = try_par_for(200, [&](std::size_t) -> Status {
          started = true;
          std::this_thread::sleep_for(milliseconds(2));
          ran.fetch_add(1);
          return {};
        });
        EXPECT_TRUE(loop.has_value());
        return true;
      },
      [&] { return !started.load(); });
  EXPECT_FALSE(result.has_value());
  EXPECT_EQ(ran.load(), 200);
}

TEST(RunPolledTest, AnExceptionOfTheWorkReachesTheCaller) {
  EXPECT_THROW((void)run_polled([]() -> Result<int> { throw std::bad_alloc(); }, keep_going),
               std::bad_alloc);
}

TEST(RunPolledTest, ManyCallersAtOnceEachGetTheirOwnResult) {
  std::vector<std::thread> callers;
  std::atomic<int> right{0};
  for (int k = 0; k < 12; ++k) {
    callers.emplace_back([&, k] {
      Result<int> sum = run_polled(
          [&]() -> Result<int> {
            std::atomic<int> total{0};
            Status loop = try_par_for(1000, [&](std::size_t i) -> Status {
              total.fetch_add(static_cast<int>(i % 7) + k);
              return {};
            });
            if (!loop) return fail(std::move(loop.error()));
            return total.load();
          },
          keep_going);
      int expected = 0;
      for (int i = 0; i < 1000; ++i) expected += i % 7 + k;
      if (sum && *sum == expected) right.fetch_add(1);
    });
  }
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(right.load(), 12);
}

// A child of fork() has no pool threads, and the pool library may have been
// caught mid-change: its loops, polled or not, run every item on its thread.
TEST(RunPolledTest, AForkedChildRunsItsLoopsAlone) {
  EXPECT_FALSE(in_forked_child());
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const std::thread::id self = std::this_thread::get_id();
    std::atomic<int> elsewhere{0};
    const auto item = [&](std::size_t) -> Status {
      if (std::this_thread::get_id() != self) elsewhere.fetch_add(1);
      return {};
    };
    const Status plain = try_par_for(10000, item);
    Result<int> polled = run_polled(
        [&]() -> Result<int> {
          Status loop = try_par_for(10000, item);
          if (!loop) return fail(std::move(loop.error()));
          return 1;
        },
        [] { return true; });
    _exit(in_forked_child() && plain && polled && elsewhere.load() == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace korvale
