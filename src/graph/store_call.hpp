// One call's hold on its store's call lock (concurrency/call_lock.hpp): what
// makes the call whole with respect to the other calls on the same store.
// The core's entry points open one before they touch the store: queries
// (execute, return_), the store-wide listings and property updates, the reads
// of result references, the release of Python objects at exit. The store's
// own operations (Graph's methods) take none, since they run inside a call;
// C++ code that calls them directly from several threads gets the per-element
// guarantees of the tables only.
//
// For clang's -Wthread-safety a StoreCall is no scoped capability: it is
// returned inside a Result and moved, and the analysis follows no hold across
// either. What it checks is enter(): a StoreCall is made only over a call
// lock held, every lock taken there goes into one, and enter is not called
// where the analysis sees the call lock or the term cache's mutex held.
#pragma once

#include <absl/base/thread_annotations.h>

#include "concurrency/call_lock.hpp"
#include "errors/report.hpp"
#include "graph/graph.hpp"

namespace korvale {

enum class StoreAccess { kRead, kWrite };

class StoreCall {
 public:
  // Takes the store's call lock, shared for kRead and exclusively for kWrite,
  // waiting as long as another call keeps it. Inside a polled call the wait
  // polls as the call's work does, and an interruption of the call ends it
  // with interrupted_report(); inside a NoWaitScope it fails at once where it
  // would wait. Nothing else fails.
  static Result<StoreCall> enter(const Graph& graph, StoreAccess access)
      ABSL_LOCKS_EXCLUDED(graph.call_lock, graph.term_cache.mutex());

  // Takes the lock exclusively, waiting as long as it takes and polling
  // nothing, interrupted or not: for the fork hook, which must hold every
  // store when the process forks and may run no Python code meanwhile.
  static StoreCall enter_for_fork(const Graph& graph)
      ABSL_LOCKS_EXCLUDED(graph.call_lock, graph.term_cache.mutex());

  // The store that the current thread's call holds or waits for, and how; for
  // the fork hook. A thread's call holds at most one store at a time.
  struct ThisThreadsCall {
    const Graph* graph = nullptr;  // null outside any call
    CallLock::Mode mode = CallLock::Mode::kShared;
    bool holding = false;  // false while it waits for the store
  };
  static ThisThreadsCall this_threads_call();

  StoreCall(StoreCall&& other) noexcept;
  StoreCall& operator=(StoreCall&&) = delete;
  StoreCall(const StoreCall&) = delete;
  ~StoreCall();

 private:
  // Takes over the caller's hold of `lock`: for the analysis the caller lets
  // it go here, and the destructor's unlock is this object's own.
  StoreCall(CallLock& lock, CallLock::Mode mode) ABSL_UNLOCK_FUNCTION(lock)
      : lock_(&lock), mode_(mode) {}

  CallLock* lock_;  // null once moved from
  CallLock::Mode mode_;
};

// While one is open, StoreCall::enter on this thread does not wait: where it
// would, it fails and refused() turns true. For a caller that must not wait
// where it stands but can run the call again where it may (the binding layer
// tries a short read with the interpreter lock held first). Only for calls
// that take the lock before they change anything.
class NoWaitScope {
 public:
  NoWaitScope();
  ~NoWaitScope();
  NoWaitScope(const NoWaitScope&) = delete;
  NoWaitScope& operator=(const NoWaitScope&) = delete;

  bool refused() const { return refused_; }

 private:
  friend class StoreCall;
  NoWaitScope* outer_;
  bool refused_ = false;
};

}  // namespace korvale
