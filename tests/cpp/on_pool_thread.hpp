// Runs a job on a oneTBB worker thread, or on a thread with a deliberately
// small stack: deep input that recurses per level overflows there first.
#pragma once

#include <oneapi/tbb/task_arena.h>
#include <pthread.h>

#include <functional>
#include <future>
#include <thread>

namespace korvale::testing {

// Runs `job` on a pool thread and waits for it; returns whether it really ran
// on a thread other than the caller's.
inline bool run_on_pool_thread(const std::function<void()>& job) {
  tbb::task_arena arena(2, 0);  // no slot reserved for this thread: a worker runs the job
  std::promise<bool> done;
  const auto caller = std::this_thread::get_id();
  arena.enqueue([&] {
    const bool elsewhere = std::this_thread::get_id() != caller;
    job();
    done.set_value(elsewhere);
  });
  return done.get_future().get();
}

// A stack this small overflows within some 10,000 levels of even the tightest
// recursion, yet is ample for iterative code.
inline constexpr std::size_t kSmallStack = 256 * 1024;

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

}  // namespace korvale::testing
