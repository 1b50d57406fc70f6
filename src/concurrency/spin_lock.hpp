// A one-byte exclusive lock for data that is held for a handful of
// instructions (a match layer's few bindings, a match set's row buffer).
// Meets Lockable, so std::lock_guard and std::unique_lock work with it.
#pragma once

#include <atomic>
#include <thread>

namespace korvale {

class SpinLock {
 public:
  SpinLock() = default;
  SpinLock(const SpinLock&) = delete;
  SpinLock& operator=(const SpinLock&) = delete;

  void lock() noexcept {
    while (locked_.exchange(true, std::memory_order_acquire)) {
      // Wait on a plain load so that waiters do not keep stealing the cache
      // line from the holder; give the core away when the wait is long (the
      // holder may have been preempted).
      for (int spins = 0; locked_.load(std::memory_order_relaxed); ++spins) {
        if (spins >= kSpinsBeforeYield) std::this_thread::yield();
      }
    }
  }

  bool try_lock() noexcept {
    return !locked_.load(std::memory_order_relaxed) &&
           !locked_.exchange(true, std::memory_order_acquire);
  }

  void unlock() noexcept { locked_.store(false, std::memory_order_release); }

 private:
  static constexpr int kSpinsBeforeYield = 64;
  std::atomic<bool> locked_{false};
};

}  // namespace korvale
