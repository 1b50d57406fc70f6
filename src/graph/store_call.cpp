#include "graph/store_call.hpp"

#include <cstdlib>

#include "concurrency/interruption.hpp"
#include "concurrency/polled_call.hpp"

namespace korvale {

namespace {

thread_local NoWaitScope* no_wait_scope = nullptr;

// The first store call this thread entered and has not let go; the fork
// hook's own holds, taken inside it, never replace it.
thread_local StoreCall::ThisThreadsCall this_thread;

// Notes the thread's call as waiting for `graph`, unless one is noted already;
// returns whether it did.
bool note_call(const Graph& graph, CallLock::Mode mode) {
  if (this_thread.graph != nullptr) return false;
  this_thread = {&graph, mode, false};
  return true;
}

// Between sleeps: the wait is part of the call, so it polls like the call's
// work and gives up once the call is interrupted.
bool call_goes_on() {
  if (CallerPoll* caller = polling_caller()) caller->maybe_poll();
  const Interruption* call = current_interruption();
  return call == nullptr || !call->requested();
}

}  // namespace

Result<StoreCall> StoreCall::enter(const Graph& graph, StoreAccess access) {
  const CallLock::Mode mode =
      access == StoreAccess::kRead ? CallLock::Mode::kShared : CallLock::Mode::kExclusive;
  CallLock& lock = graph.call_lock;
  const bool noted = note_call(graph, mode);
  if (lock.try_lock(mode)) {
    if (noted) this_thread.holding = true;
    return StoreCall(lock, mode);
  }
  if (no_wait_scope == nullptr && lock.lock(mode, call_goes_on)) {
    if (noted) this_thread.holding = true;
    return StoreCall(lock, mode);
  }
  if (noted) this_thread = {};
  if (no_wait_scope != nullptr) {
    no_wait_scope->refused_ = true;
    const char* const rw = access == StoreAccess::kRead ? "read" : "write";
    return fail(kind::LockError{rw, "the store is in use by another call", std::nullopt});
  }
  return fail(interrupted_report());
}

StoreCall StoreCall::enter_for_fork(const Graph& graph) {
  CallLock& lock = graph.call_lock;
  if (lock.lock(CallLock::Mode::kExclusive, [] { return true; })) {
    return StoreCall(lock, CallLock::Mode::kExclusive);
  }
  std::abort();  // a wait that is never given up ends only with the lock
}

StoreCall::ThisThreadsCall StoreCall::this_threads_call() {
  return this_thread;
}

StoreCall::StoreCall(StoreCall&& other) noexcept : lock_(other.lock_), mode_(other.mode_) {
  other.lock_ = nullptr;
}

StoreCall::~StoreCall() {
  if (lock_ == nullptr) return;
  if (this_thread.holding && &this_thread.graph->call_lock == lock_) this_thread = {};
  lock_->unlock(mode_);
}

NoWaitScope::NoWaitScope() : outer_(no_wait_scope) {
  no_wait_scope = this;
}

NoWaitScope::~NoWaitScope() {
  no_wait_scope = outer_;
}

}  // namespace korvale
