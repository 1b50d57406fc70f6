#include "graph/store_call.hpp"

#include "concurrency/interruption.hpp"
#include "concurrency/polled_call.hpp"

namespace korvale {

namespace {

thread_local NoWaitScope* no_wait_scope = nullptr;

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
  if (lock.try_lock(mode)) return StoreCall(lock, mode);
  if (no_wait_scope != nullptr) {
    no_wait_scope->refused_ = true;
    const char* const rw = access == StoreAccess::kRead ? "read" : "write";
    return fail(kind::LockError{rw, "the store is in use by another call", std::nullopt});
  }
  if (!lock.lock(mode, call_goes_on)) return fail(interrupted_report());
  return StoreCall(lock, mode);
}

StoreCall::StoreCall(StoreCall&& other) noexcept : lock_(other.lock_), mode_(other.mode_) {
  other.lock_ = nullptr;
}

StoreCall::~StoreCall() {
  if (lock_ != nullptr) lock_->unlock(mode_);
}

NoWaitScope::NoWaitScope() : outer_(no_wait_scope) {
  no_wait_scope = this;
}

NoWaitScope::~NoWaitScope() {
  no_wait_scope = outer_;
}

}  // namespace korvale
