// The reader-writer lock that makes each call on a store whole with respect
// to the other calls on it: taken once at the call's boundary, shared by
// calls that only read, exclusively by calls that write. It is the outermost
// lock: a call takes it before any table, map or set lock, and nothing holds
// it across a wait for another store's.
//
// Unlike the table locks (rwlock.hpp), it prefers writers: once a writer
// waits, readers that come after it wait too, so a steady stream of reading
// calls cannot keep a write out for longer than the reads already inside take
// to finish. A call never takes it twice, so no nested read exists that this
// order could deadlock; code that could run inside a call (signal handlers,
// finalisers run while a call polls) is refused by the binding layer before
// it gets here.
//
// Waiting threads sleep on a futex with a timeout of one poll period and ask
// their caller between sleeps whether to go on waiting, so that a wait can be
// given up (Ctrl-C) like any other part of a call.
//
// A capability for clang's -Wthread-safety: the analysis checks that a
// function taking it lets it go or hands it on (StoreCall), and releases
// only what it holds. The mode is a run-time value, which annotations cannot
// follow: for the analysis both modes take the lock shared, the hold that
// either gives at least. That it is the outermost lock, taken once per call
// and never waited for with the interpreter lock held, stays a rule of the
// callers: the holds lie in StoreCalls, which move, and the analysis follows
// no hold across a move.
#pragma once

#include <atomic>
#include <cstdint>

#include <absl/base/thread_annotations.h>
#include <absl/functional/function_ref.h>

namespace korvale {

class ABSL_LOCKABLE CallLock {
 public:
  enum class Mode { kShared, kExclusive };

  CallLock() noexcept = default;
  CallLock(const CallLock&) = delete;
  CallLock& operator=(const CallLock&) = delete;

  // Takes the lock if that needs no wait: never while a writer holds it or
  // waits for it, nor exclusively while a reader holds it.
  bool try_lock(Mode mode) noexcept ABSL_SHARED_TRYLOCK_FUNCTION(true);
  // Takes the lock, waiting as long as it must. Every poll period of waiting
  // (kPollPeriod) it calls keep_waiting(); when that returns false it stops
  // waiting and returns false without the lock. keep_waiting runs without any
  // of the lock's own state held.
  bool lock(Mode mode, absl::FunctionRef<bool()> keep_waiting) ABSL_SHARED_TRYLOCK_FUNCTION(true);
  void unlock(Mode mode) noexcept ABSL_UNLOCK_FUNCTION();

  // For a thread that holds the lock shared and must be its only holder for
  // a while (before a fork from inside its own call): holds back newcomers as
  // a waiting writer would, and waits, polling nothing, until every other
  // holder has left. let_others_in() ends that. (Not annotated: the hold is
  // the caller's StoreCall.)
  void wait_to_be_alone() noexcept;
  void let_others_in() noexcept;

  // For the only thread left in a child process after fork(): makes the
  // lock's state what that thread has of it, its hold in `kept` and, with
  // `waits_as_writer`, its wait to take it exclusively, and forgets the
  // parent's other threads. (Not annotated, as above.)
  void forget_other_threads(Mode kept, bool waits_as_writer = false) noexcept;

 private:
  // state_: readers holding the lock in the low 32 bits, then the holding
  // writer, then the number of waiting writers.
  static constexpr std::uint64_t kReaders = 0xffff'ffffu;
  static constexpr std::uint64_t kWriter = std::uint64_t{1} << 32;
  static constexpr std::uint64_t kWaitingWriter = std::uint64_t{1} << 33;

  bool try_shared() noexcept;
  // A waiting writer that takes the lock also leaves the waiting count.
  bool try_exclusive(bool counted_as_waiting) noexcept;
  // Sleeps until a change may let `claim` succeed, or about a poll period.
  bool wait_to_claim(absl::FunctionRef<bool()> claim, absl::FunctionRef<bool()> keep_waiting);
  void wake_sleepers() noexcept;

  std::atomic<std::uint64_t> state_{0};
  // Bumped by every change that may let a sleeper in; the futex word.
  std::atomic<std::uint32_t> changes_{0};
  std::atomic<std::uint32_t> sleepers_{0};
};

}  // namespace korvale
