// Stopping the pool work of one call from the thread that waits for it.
//
// A call that runs on the pool owns one Interruption. Every parallel loop
// started on the call's behalf, on whichever thread, reads the flag between
// items; once it is raised, no further item starts and the loop fails with
// interrupted_report(). Work already inside an item finishes that item, so a
// store write is never cut in half.
#pragma once

#include <atomic>

#include "errors/report.hpp"

namespace korvale {

class Interruption {
 public:
  void request() { requested_.store(true, std::memory_order_relaxed); }
  bool requested() const { return requested_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> requested_{false};
};

namespace detail {
inline thread_local Interruption* current_interruption = nullptr;
}  // namespace detail

// The call the current thread works for, or nullptr outside any such call.
inline Interruption* current_interruption() {
  return detail::current_interruption;
}

// Makes `call` the current thread's call until the end of the scope. Parallel
// loops open one around the items they run, so that nested loops on pool
// threads answer to the same call. nullptr makes the loops in the scope
// uninterruptible: work whose every step must run (releasing memory, an
// operation whose callers cannot handle a failure) opens one of those.
class InterruptionScope {
 public:
  explicit InterruptionScope(Interruption* call) : previous_(detail::current_interruption) {
    detail::current_interruption = call;
  }
  ~InterruptionScope() { detail::current_interruption = previous_; }
  InterruptionScope(const InterruptionScope&) = delete;
  InterruptionScope& operator=(const InterruptionScope&) = delete;

 private:
  Interruption* previous_;
};

// RuntimeError "The call was interrupted": what a loop cut short returns.
// The binding layer raises the interrupting exception instead.
Report interrupted_report();

}  // namespace korvale
