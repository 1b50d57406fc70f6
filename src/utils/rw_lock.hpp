// A reader-writer lock of four bytes that prefers readers.
#pragma once

#include <atomic>
#include <cstdint>

namespace korvale {

// Any number of readers or one writer. A reader is admitted whenever no writer
// holds the lock, even while writers wait: a thread that holds a read lock may
// take it again (reads nest, e.g. a map compared with itself) without
// deadlocking behind a waiting writer. Writers may starve under a steady flow
// of readers; the maps it guards are held for short reads. Not recursive for
// writers; a thread must never ask for the write lock while it holds a read
// lock on the same object. Meets the SharedMutex requirements, so
// std::shared_lock and std::unique_lock work with it.
class RwLock {
 public:
  RwLock() = default;
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  void lock_shared() {
    std::uint32_t state = state_.load(std::memory_order_relaxed);
    for (;;) {
      if ((state & kWriter) != 0) {
        state_.wait(state, std::memory_order_relaxed);
        state = state_.load(std::memory_order_relaxed);
      } else if (state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                              std::memory_order_relaxed)) {
        return;
      }
    }
  }

  void unlock_shared() {
    // Only the last reader out can let a writer in.
    if (state_.fetch_sub(1, std::memory_order_release) == 1) state_.notify_all();
  }

  void lock() {
    std::uint32_t state = 0;
    while (!state_.compare_exchange_weak(state, kWriter, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
      if (state != 0) state_.wait(state, std::memory_order_relaxed);
      state = 0;
    }
  }

  void unlock() {
    state_.store(0, std::memory_order_release);
    state_.notify_all();
  }

 private:
  static constexpr std::uint32_t kWriter = 1u << 31;
  // The writer bit, or the number of readers.
  std::atomic<std::uint32_t> state_{0};
};

}  // namespace korvale
