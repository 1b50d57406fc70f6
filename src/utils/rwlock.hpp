// Reader-writer locks that admit readers while a writer waits, and RAII guards
// over them.
//
// Rebuilding, printing and matching keep an entry read-locked while they read
// the entries it names, which may lie under the same lock. With a lock that
// holds new readers back once a writer queues (as std::shared_mutex may), such
// a nested read deadlocks against the waiting writer. Both locks here let a
// reader in whenever no writer holds the lock; the price is that a steady
// stream of readers can keep a writer waiting.
//
// Rule for callers: never take a write lock while holding a read lock on the
// same lock; neither lock is recursive for writers.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

namespace korvale {

// A pthread reader-writer lock initialised to prefer readers. Used where a lock
// guards much data (a shard of a table), so its 56 bytes do not matter.
class RwLock {
 public:
  RwLock() noexcept;
  ~RwLock();
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  void lock_shared() noexcept;
  void unlock_shared() noexcept;
  void lock() noexcept;
  void unlock() noexcept;

 private:
  pthread_rwlock_t lock_;
};

// A reader-preferring lock in one 32-bit word, for data that exists a million
// times over (per-node edge sets, property maps). Waiters sleep on the word
// (futex through std::atomic::wait) rather than spin.
class CompactRwLock {
 public:
  CompactRwLock() noexcept = default;
  CompactRwLock(const CompactRwLock&) = delete;
  CompactRwLock& operator=(const CompactRwLock&) = delete;

  void lock_shared() noexcept;
  // One attempt: takes a read lock unless a writer holds the lock.
  bool try_lock_shared() noexcept;
  void unlock_shared() noexcept;
  void lock() noexcept;
  void unlock() noexcept;

 private:
  static constexpr std::uint32_t kWriter = 1u << 31;
  static constexpr std::uint32_t kWaiters = 1u << 30;
  static constexpr std::uint32_t kReaders = kWaiters - 1;

  void wait_while(std::uint32_t& seen) noexcept;

  std::atomic<std::uint32_t> state_{0};
};

static_assert(sizeof(CompactRwLock) == 4);

// Holds a read lock for its scope.
template <class Lock>
class [[nodiscard]] ReadGuard {
 public:
  explicit ReadGuard(Lock& lock) noexcept : lock_(lock) { lock_.lock_shared(); }
  ~ReadGuard() { lock_.unlock_shared(); }
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;

 private:
  Lock& lock_;
};

// Holds the write lock for its scope.
template <class Lock>
class [[nodiscard]] WriteGuard {
 public:
  explicit WriteGuard(Lock& lock) noexcept : lock_(lock) { lock_.lock(); }
  ~WriteGuard() { lock_.unlock(); }
  WriteGuard(const WriteGuard&) = delete;
  WriteGuard& operator=(const WriteGuard&) = delete;

 private:
  Lock& lock_;
};

}  // namespace korvale
