#include "concurrency/call_lock.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cassert>
#include <chrono>
#include <climits>
#include <ctime>

#include "concurrency/polled_call.hpp"

namespace korvale {

namespace {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

std::uint32_t* futex_word(std::atomic<std::uint32_t>& word) {
  return reinterpret_cast<std::uint32_t*>(&word);
}

// Sleeps while the word still reads `seen`, for at most `timeout`; may wake
// early, for any reason.
void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t seen,
                std::chrono::nanoseconds timeout) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  timespec relative{};
  relative.tv_sec = static_cast<time_t>(seconds.count());
  relative.tv_nsec = static_cast<long>((timeout - seconds).count());
  syscall(SYS_futex, futex_word(word), FUTEX_WAIT_PRIVATE, seen, &relative, nullptr, 0);
}

void futex_wake_all(std::atomic<std::uint32_t>& word) {
  syscall(SYS_futex, futex_word(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace

bool CallLock::try_shared() noexcept {
  std::uint64_t state = state_.load();
  do {
    if ((state & ~kReaders) != 0) return false;  // a writer holds it or waits
  } while (!state_.compare_exchange_weak(state, state + 1));
  return true;
}

bool CallLock::try_exclusive(bool counted_as_waiting) noexcept {
  std::uint64_t state = state_.load();
  std::uint64_t next;
  do {
    if ((state & (kReaders | kWriter)) != 0) return false;
    // A newcomer does not pass the writers already waiting.
    if (!counted_as_waiting && state >= kWaitingWriter) return false;
    next = (state | kWriter) - (counted_as_waiting ? kWaitingWriter : 0);
  } while (!state_.compare_exchange_weak(state, next));
  return true;
}

bool CallLock::try_lock(Mode mode) noexcept {
  return mode == Mode::kShared ? try_shared() : try_exclusive(false);
}

bool CallLock::lock(Mode mode, absl::FunctionRef<bool()> keep_waiting) {
  if (try_lock(mode)) return true;
  if (mode == Mode::kShared) {
    return wait_to_claim([&] { return try_shared(); }, keep_waiting);
  }
  // Counted from now on, so that readers arriving after this one wait.
  state_.fetch_add(kWaitingWriter);
  if (wait_to_claim([&] { return try_exclusive(true); }, keep_waiting)) return true;
  state_.fetch_sub(kWaitingWriter);
  wake_sleepers();  // readers held back by this writer may go in now
  return false;
}

// The order of the atomic steps is what keeps a wake from being lost: a
// sleeper counts itself before its last look at the state, and a thread that
// changes the state looks at the count afterwards, so that either the sleeper
// sees the change or the changer sees the sleeper and bumps the futex word,
// which the sleeper read before counting itself (all sequentially consistent).
bool CallLock::wait_to_claim(absl::FunctionRef<bool()> claim,
                             absl::FunctionRef<bool()> keep_waiting) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + kPollPeriod;
  for (;;) {
    const std::uint32_t seen = changes_.load();
    sleepers_.fetch_add(1);
    if (claim()) {
      sleepers_.fetch_sub(1);
      return true;
    }
    const auto now = Clock::now();
    if (now < deadline) futex_wait(changes_, seen, deadline - now);
    sleepers_.fetch_sub(1);
    if (claim()) return true;
    if (Clock::now() >= deadline) {
      if (!keep_waiting()) return false;
      deadline = Clock::now() + kPollPeriod;
    }
  }
}

void CallLock::wake_sleepers() noexcept {
  if (sleepers_.load() == 0) return;
  changes_.fetch_add(1);
  futex_wake_all(changes_);
}

void CallLock::unlock(Mode mode) noexcept {
  if (mode == Mode::kShared) {
    const std::uint64_t before = state_.fetch_sub(1);
    assert((before & kReaders) != 0 && (before & kWriter) == 0);  // a read lock is held
    // Only writers wait for readers.
    if ((before & kReaders) == 1) wake_sleepers();
  } else {
    const std::uint64_t before = state_.fetch_sub(kWriter);
    assert((before & kWriter) != 0);  // the write lock is held
    (void)before;
    wake_sleepers();
  }
}

void CallLock::wait_to_be_alone() noexcept {
  state_.fetch_add(kWaitingWriter);
  wait_to_claim([&] { return (state_.load() & kReaders) == 1; }, [] { return true; });
}

void CallLock::let_others_in() noexcept {
  state_.fetch_sub(kWaitingWriter);
  wake_sleepers();
}

void CallLock::forget_other_threads(Mode kept, bool waits_as_writer) noexcept {
  state_.store((kept == Mode::kShared ? 1 : kWriter) + (waits_as_writer ? kWaitingWriter : 0));
  sleepers_.store(0);
}

}  // namespace korvale
