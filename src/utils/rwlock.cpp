#include "utils/rwlock.hpp"

#include <cstdlib>

namespace korvale {

// A lock call fails only on misuse (a writer relocking) or resource exhaustion;
// either way no caller could continue soundly, so the process stops here
// rather than run unguarded.
static void require(int rc) noexcept {
  if (rc != 0) std::abort();
}

RwLock::RwLock() noexcept {
  pthread_rwlockattr_t attr;
  require(pthread_rwlockattr_init(&attr));
  require(pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_READER_NP));
  require(pthread_rwlock_init(&lock_, &attr));
  pthread_rwlockattr_destroy(&attr);
}

RwLock::~RwLock() {
  pthread_rwlock_destroy(&lock_);
}

void RwLock::lock_shared() noexcept {
  require(pthread_rwlock_rdlock(&lock_));
}
void RwLock::unlock_shared() noexcept {
  require(pthread_rwlock_unlock(&lock_));
}
void RwLock::lock() noexcept {
  require(pthread_rwlock_wrlock(&lock_));
}
void RwLock::unlock() noexcept {
  require(pthread_rwlock_unlock(&lock_));
}

// The word holds the writer bit, a "someone sleeps" bit and the reader count.
// A blocked thread sets the sleeper bit on the very state that blocks it before
// sleeping, so whoever releases that state sees the bit and wakes everyone;
// woken threads re-test and set the bit again if they still have to wait.

void CompactRwLock::lock_shared() noexcept {
  std::uint32_t seen = state_.load(std::memory_order_relaxed);
  for (;;) {
    if ((seen & kWriter) == 0) {
      if (state_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        return;
      }
    } else {
      wait_while(seen);
    }
  }
}

bool CompactRwLock::try_lock_shared() noexcept {
  std::uint32_t seen = state_.load(std::memory_order_relaxed);
  return (seen & kWriter) == 0 &&
         state_.compare_exchange_strong(seen, seen + 1, std::memory_order_acquire,
                                        std::memory_order_relaxed);
}

void CompactRwLock::unlock_shared() noexcept {
  const std::uint32_t before = state_.fetch_sub(1, std::memory_order_release);
  if ((before & kReaders) == 1 && (before & kWaiters) != 0) {
    state_.fetch_and(~kWaiters, std::memory_order_relaxed);
    state_.notify_all();
  }
}

void CompactRwLock::lock() noexcept {
  std::uint32_t seen = state_.load(std::memory_order_relaxed);
  for (;;) {
    if ((seen & (kWriter | kReaders)) == 0) {
      if (state_.compare_exchange_weak(seen, seen | kWriter, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        return;
      }
    } else {
      wait_while(seen);
    }
  }
}

void CompactRwLock::unlock() noexcept {
  const std::uint32_t before = state_.fetch_and(~(kWriter | kWaiters), std::memory_order_release);
  if ((before & kWaiters) != 0) state_.notify_all();
}

// `seen` is a state that blocks the caller; on return it holds a fresher state
// for the caller to test again.
void CompactRwLock::wait_while(std::uint32_t& seen) noexcept {
  if ((seen & kWaiters) == 0) {
    if (!state_.compare_exchange_weak(seen, seen | kWaiters, std::memory_order_relaxed,
                                      std::memory_order_relaxed)) {
      return;
    }
    seen |= kWaiters;
  }
  state_.wait(seen, std::memory_order_relaxed);
  seen = state_.load(std::memory_order_relaxed);
}

}  // namespace korvale
