// Runs a job on a oneTBB worker thread, or on a thread with a deliberately
// small stack: deep input that recurses per level overflows there first.
#pragma once

#include <gtest/gtest.h>
#include <oneapi/tbb/task_group.h>
#include <pthread.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace korvale::testing {

// The pool library is not built for ThreadSanitizer: its hand-over of a task
// from one thread to another is invisible to it and shows as data races on
// the task object. Tests that only need a pool thread skip under it; their
// small-stack twins still run there.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kPoolVisibleToSanitizer = false;
#else
inline constexpr bool kPoolVisibleToSanitizer = true;
#endif
#define KORVALE_SKIP_POOL_UNDER_TSAN()              \
  if (!::korvale::testing::kPoolVisibleToSanitizer) \
  GTEST_SKIP() << "the pool library is not instrumented for ThreadSanitizer"

// Runs `job` on a pool thread and waits for it; returns whether it really ran
// on a thread other than the caller's. The caller spawns the job and spins,
// outside of any wait, until a worker has taken it; only then does it wait on
// the task group, which is done with the task object before releasing the
// waiter (a flag set by the job itself would not order the task's own release
// before the caller's next use of the pool's memory).
inline bool run_on_pool_thread(const std::function<void()>& job) {
  tbb::task_group group;
  std::atomic<bool> started{false};
  std::thread::id runner;
  group.run([&] {
    runner = std::this_thread::get_id();
    started = true;
    job();
  });
  while (!started.load()) std::this_thread::yield();
  group.wait();
  return runner != std::this_thread::get_id();
}

// A stack this small overflows within some 10,000 levels of even the tightest
// recursion, yet is ample for iterative code and for the schema parser's
// bounded nesting (about 100 KiB at its limit; ThreadSanitizer's frames are
// several times larger, and so are AddressSanitizer's with their redzones).
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
inline constexpr std::size_t kSmallStack = 2048 * 1024;
#else
inline constexpr std::size_t kSmallStack = 256 * 1024;
#endif

// Runs `job` on a new thread whose stack holds `stack_bytes`, and waits for it.
// Returns false when the thread could not be started.
inline bool run_with_small_stack(const std::function<void()>& job,
                                 std::size_t stack_bytes = kSmallStack) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_t thread;
  const bool started = pthread_attr_setstacksize(&attributes, stack_bytes) == 0 &&
                       pthread_create(
                           &thread, &attributes,
                           [](void* f) -> void* {
                             (*static_cast<const std::function<void()>*>(f))();
                             return nullptr;
                           },
                           const_cast<std::function<void()>*>(&job)) == 0;
  pthread_attr_destroy(&attributes);
  if (started) pthread_join(thread, nullptr);
  return started;
}

// Where a job runs, for tables of tests that do the same work on each kind of
// thread: deep input shows first where the stack is small.
enum class Where { kCallingThread, kPoolThread, kSmallStack };
inline constexpr Where kEveryThread[] = {Where::kCallingThread, Where::kPoolThread,
                                         Where::kSmallStack};

// The test's name for each place.
inline std::string where_name(const ::testing::TestParamInfo<Where>& info) {
  static constexpr const char* kNames[] = {"CallingThread", "PoolThread", "SmallStack"};
  return kNames[static_cast<int>(info.param)];
}

// Runs `job` there and waits for it; returns whether it really ran there.
inline bool run_there(Where where, const std::function<void()>& job) {
  switch (where) {
    case Where::kCallingThread:
      job();
      return true;
    case Where::kPoolThread:
      return run_on_pool_thread(job);
    case Where::kSmallStack:
      return run_with_small_stack(job);
  }
  return false;
}

// The table of tests `suite`.`name`/<place> that runs `job` at every place of
// kEveryThread; the pool thread's is skipped under ThreadSanitizer.
#define KORVALE_TEST_ON_EVERY_THREAD(suite, name, job)                                            \
  class suite : public ::testing::TestWithParam<::korvale::testing::Where> {};                    \
  TEST_P(suite, name) {                                                                           \
    if (GetParam() == ::korvale::testing::Where::kPoolThread) KORVALE_SKIP_POOL_UNDER_TSAN();     \
    EXPECT_TRUE(::korvale::testing::run_there(GetParam(), job));                                  \
  }                                                                                               \
  INSTANTIATE_TEST_SUITE_P(Threads, suite, ::testing::ValuesIn(::korvale::testing::kEveryThread), \
                           ::korvale::testing::where_name)

}  // namespace korvale::testing
