// Parallel loops on the process-wide work-stealing pool (oneTBB) that stop
// handing out work after the first failing item. Pool threads run the bodies;
// the calling thread waits and helps.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>

#include "concurrency/interruption.hpp"
#include "concurrency/polled_call.hpp"
#include "errors/report.hpp"

namespace korvale {

// What one item of a stoppable loop decided.
enum class Flow { Continue, Break };

namespace detail {

// ThreadSanitizer builds only. The pool library is not instrumented, so the
// sanitizer sees none of the ordering its task queues provide and reports every
// hand-over of a loop's data to a pool thread as a race. Under the sanitizer
// the loops therefore run on plain threads (the caller and helpers pulling one
// item at a time, joined before return): the ordering is visible, and races in
// the bodies and in what they share are still found.
template <class RunItems>
void run_on_plain_threads(std::size_t n, const std::atomic<bool>& stopped, RunItems& run_items) {
  std::atomic<std::size_t> next{0};
  const auto worker = [&] {
    while (!stopped.load(std::memory_order_relaxed)) {
      const std::size_t i = next.fetch_add(1);
      if (i >= n) return;
      run_items(i, i + 1);
    }
  };
  const std::size_t helpers =
      std::min<std::size_t>(n - 1, std::max(2u, std::thread::hardware_concurrency()) - 1);
  std::vector<std::thread> threads;
  for (std::size_t k = 0; k < helpers; ++k) threads.emplace_back(worker);
  worker();
  for (std::thread& thread : threads) thread.join();
}

}  // namespace detail

// Below this many items a loop runs inline: a dispatch costs more than a
// filter of one or two entries.
inline constexpr std::size_t kInlineItems = 2;

// Runs body(i) -> Result<Flow> for i in [0, n). Returns true when every item
// continued, false when an item broke the loop, or the report of a failing
// item. After the first break or failure no further item starts; when several
// items break or fail, which outcome is returned is not defined. A loop of the
// current thread's interruptible call (see interruption.hpp) also stops, with
// interrupted_report(), once the call's interruption is requested; the items
// run with that call as theirs, so their own loops stop as well.
template <class Body>
Result<bool> try_par_until(std::size_t n, Body&& body) {
  // A polled call of a forked child still takes its polled path below, alone.
  if (n <= kInlineItems || (polling_caller() == nullptr && in_forked_child())) {
    for (std::size_t i = 0; i < n; ++i) {
      Result<Flow> flow = body(i);
      if (!flow) return fail(std::move(flow.error()));
      if (*flow == Flow::Break) return false;
    }
    return true;
  }
  std::atomic<bool> stopped{false};
  std::mutex outcome_mutex;
  std::optional<Report> failure;
  bool broke = false;
  // Isolated: a cancelled outer loop must not silently cut this one short
  // (it would look as if every item had continued).
  tbb::task_group_context context(tbb::task_group_context::isolated);
  Interruption* const call = current_interruption();
  const auto stop_with = [&](Result<Flow> flow) {
    {
      std::lock_guard lock(outcome_mutex);
      if (!stopped.load(std::memory_order_relaxed)) {
        if (flow) {
          broke = true;
        } else {
          failure.emplace(std::move(flow.error()));
        }
        stopped.store(true, std::memory_order_relaxed);
      }
    }
#if !defined(__SANITIZE_THREAD__)
    // The plain threads of the sanitizer build stop on `stopped` alone and
    // must not enter the uninstrumented pool library.
    context.cancel_group_execution();
#endif
  };
  const auto run_items = [&](std::size_t begin, std::size_t end) {
    const InterruptionScope scope(call);
    // Set on the thread of a polled call only, which polls between items.
    CallerPoll* const caller = polling_caller();
    for (std::size_t i = begin; i != end; ++i) {
      if (stopped.load(std::memory_order_relaxed)) return;
      if (call != nullptr && call->requested()) return stop_with(fail(interrupted_report()));
      Result<Flow> flow = body(i);
      if (caller != nullptr) caller->maybe_poll();
      if (flow && *flow == Flow::Continue) continue;
      return stop_with(std::move(flow));
    }
  };
  if (CallerPoll* caller = polling_caller(); caller != nullptr) {
    // A loop of a polled call's own thread, nested ones too: the thread must
    // not wait inside the pool library, where it could not poll, and where a
    // fork from one of its polls would leave it waiting for tasks of pool
    // threads that the child does not have.
    run_beside_pool(n, run_items, stopped, *caller);
  } else {
#if defined(__SANITIZE_THREAD__)
    detail::run_on_plain_threads(n, stopped, run_items);
#else
    // Callers hold locks across the loop (a map's read lock during a compare).
    // While it waits, the calling thread must only run items of this loop: a
    // stolen item of an outer loop could ask for a lock this thread holds.
    tbb::this_task_arena::isolate([&] {
      tbb::parallel_for(
          tbb::blocked_range<std::size_t>(0, n),
          [&](const tbb::blocked_range<std::size_t>& range) {
            run_items(range.begin(), range.end());
          },
          context);
    });
#endif
  }
  if (failure) return fail(std::move(*failure));
  return !broke;
}

// What one item of a try_par_for loop costs, which decides how long a loop
// must be to be worth the pool. Waking its sleeping threads costs the calling
// thread tens of microseconds, and they join in only after a good deal more:
// a short loop of small items is done by then.
enum class ItemWork {
  kAny,    // anything: only loops of at most kInlineItems run inline
  kLight,  // little work of its own, though it may start parallel loops of its own
  kTiny,   // a few lookups and copies and nothing else
};

// Loops of at most this many light items run inline: a query runs several
// such loops one after another.
inline constexpr std::size_t kInlineLightItems = 16;
// Loops of at most this many tiny items run inline: they take a few
// microseconds, less than the pool takes to start.
inline constexpr std::size_t kInlineTinyItems = 512;

// Runs body(i) -> Status for i in [0, n); returns one report of a failing item.
template <class Body>
Status try_par_for(std::size_t n, Body&& body, ItemWork work = ItemWork::kAny) {
  const std::size_t inline_items = work == ItemWork::kTiny    ? kInlineTinyItems
                                   : work == ItemWork::kLight ? kInlineLightItems
                                                              : 0;
  if (n <= inline_items) {
    for (std::size_t i = 0; i < n; ++i) {
      if (Status status = body(i); !status) return status;
    }
    return {};
  }
  Result<bool> done = try_par_until(n, [&](std::size_t i) -> Result<Flow> {
    Status status = body(i);
    if (!status) return fail(std::move(status.error()));
    return Flow::Continue;
  });
  if (!done) return fail(std::move(done.error()));
  return {};
}

}  // namespace korvale
