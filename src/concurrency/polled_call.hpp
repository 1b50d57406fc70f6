// Running one call's work so that the calling thread keeps noticing when it
// should stop.
//
// The work runs on the calling thread, as any call's work did. The parallel
// loops it runs itself (nested ones too) change shape: the pool's threads
// join in as helpers, pulling chunks of items from a shared counter beside
// the calling thread, which pulls chunks too and never waits inside the pool
// library. Between the items it runs, and every poll period while it waits
// for the helpers to finish their chunks, the calling thread calls `poll`.
// Loops nested in the items that pool threads run take the pool's usual
// path. When poll returns false,
// the call's interruption is requested (see interruption.hpp): the loops stop
// handing out items, the work unwinds, and the call fails with
// interrupted_report() whatever the work returned.
//
// Polls come from inside the work, possibly while it holds store locks: the
// binding layer refuses calls into the module that a poll's own code makes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <optional>
#include <utility>

#include <absl/functional/function_ref.h>

#include "concurrency/interruption.hpp"
#include "errors/report.hpp"

namespace korvale {

inline constexpr std::chrono::milliseconds kPollPeriod{20};

// The calling thread's side of a polled call.
class CallerPoll {
 public:
  CallerPoll(Interruption& call, absl::FunctionRef<bool()> poll);

  // Calls poll when a poll period has passed since the last one; requests the
  // interruption when it returns false, and polls no more after that.
  void maybe_poll();

 private:
  Interruption& call_;
  absl::FunctionRef<bool()> poll_;
  std::chrono::steady_clock::time_point next_;
  bool polling_ = true;
};

namespace detail {
inline thread_local CallerPoll* polling_caller = nullptr;
}  // namespace detail

// The polled call that the current thread makes, or nullptr (pool threads,
// and threads outside any polled call).
inline CallerPoll* polling_caller() {
  return detail::polling_caller;
}

// The loop shape of a polled call, for parallel.hpp: run_items(begin, end)
// over [0, n) in chunks, on the calling thread and on the pool's threads;
// chunks stop being handed out once `stopped` holds. run_items polls `caller`
// between the items it runs on the calling thread; this polls while it waits. Returns when every
// chunk handed out has been run. An exception of run_items is rethrown here
// after the helpers have let go.
void run_beside_pool(std::size_t n, absl::FunctionRef<void(std::size_t, std::size_t)> run_items,
                     const std::atomic<bool>& stopped, CallerPoll& caller);

// Whether this process is a child of fork(), which has none of its parent's
// pool threads. The pool library does not start others there, and its state
// may have been caught mid-change by the fork (a pool thread holding one of
// its locks): the loops of a child never enter it and run on the calling
// thread alone.
bool in_forked_child();

// For a thread about to fork from code run at one of its polls (a signal
// handler): closes every loop it runs beside the pool to further helpers and
// waits, without polling, until the helpers inside have left. Their items are
// done then, and no pool thread works for this thread's call: the call
// resumes with every item handed out so far complete, and the thread runs
// the rest of its loops' items alone, in the parent and in the child alike.
void settle_loops_of_this_thread();

// For a thread about to fork while no call's loop takes helpers any more
// (every store held, this thread's own loops settled): waits until every
// helper started has finished, down to the release of its loop's state, so
// that no pool thread frees or allocates memory of a call at the fork (an
// allocator's lock held there would stay held in the child).
void wait_until_helpers_are_done();

// work() -> Result<T>, run on this thread as described above.
template <class Work>
auto run_polled(Work&& work, absl::FunctionRef<bool()> poll) -> decltype(work()) {
  Interruption call;
  CallerPoll caller(call, poll);
  CallerPoll* const outer = detail::polling_caller;
  std::optional<decltype(work())> result;
  {
    const InterruptionScope scope(&call);
    detail::polling_caller = &caller;
    try {
      result.emplace(work());
    } catch (...) {
      detail::polling_caller = outer;
      throw;
    }
    detail::polling_caller = outer;
  }
  if (call.requested()) return fail(interrupted_report());
  return std::move(*result);
}

}  // namespace korvale
