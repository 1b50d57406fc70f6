// Parallel loops on the process-wide work-stealing pool (oneTBB) that stop
// handing out work after the first failing item. Pool threads run the bodies;
// the calling thread waits and helps.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <utility>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>

#include "errors/report.hpp"

namespace korvale {

// What one item of a stoppable loop decided.
enum class Flow { Continue, Break };

// Below this many items a loop runs inline: a dispatch costs more than a
// filter of one or two entries.
inline constexpr std::size_t kInlineItems = 2;

// Runs body(i) -> Result<Flow> for i in [0, n). Returns true when every item
// continued, false when an item broke the loop, or the report of a failing
// item. After the first break or failure no further item starts; when several
// items break or fail, which outcome is returned is not defined.
template <class Body>
Result<bool> try_par_until(std::size_t n, Body&& body) {
  if (n <= kInlineItems) {
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
  const auto run_range = [&](const tbb::blocked_range<std::size_t>& range) {
    for (std::size_t i = range.begin(); i != range.end(); ++i) {
      if (stopped.load(std::memory_order_relaxed)) return;
      Result<Flow> flow = body(i);
      if (flow && *flow == Flow::Continue) continue;
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
      context.cancel_group_execution();
      return;
    }
  };
  // Callers hold locks across the loop (a map's read lock during a compare).
  // While it waits, the calling thread must only run items of this loop: a
  // stolen item of an outer loop could ask for a lock this thread holds.
  tbb::this_task_arena::isolate(
      [&] { tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n), run_range, context); });
  if (failure) return fail(std::move(*failure));
  return !broke;
}

// Runs body(i) -> Status for i in [0, n); returns one report of a failing item.
template <class Body>
Status try_par_for(std::size_t n, Body&& body) {
  Result<bool> done = try_par_until(n, [&](std::size_t i) -> Result<Flow> {
    Status status = body(i);
    if (!status) return fail(std::move(status.error()));
    return Flow::Continue;
  });
  if (!done) return fail(std::move(done.error()));
  return {};
}

}  // namespace korvale
