// Reader-writer locks that admit readers while a writer waits. They meet
// SharedLockable, so std::shared_lock and std::unique_lock hold them.
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
//
// Both are capabilities for clang's -Wthread-safety (scripts/thread-safety-check).
// Hold them through ReadLock/WriteLock or ShardReadLock/ShardWriteLock below:
// std::shared_lock and std::unique_lock carry no annotations, so through them
// the analysis sees no hold. It then checks that guarded data is touched only
// under its lock and that every lock taken is let go. The nesting rules stay
// the callers' own: the analysis follows no hold into a callback, where a
// nested read or a write under a read meets the lock again, and that readers
// pass a waiting writer is a matter of run time.
//
// A plain exclusive mutex with its holder, Mutex and MutexLock, comes from
// memory/mutex.hpp, included here so that the layers above take every lock of
// theirs from this header.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include <absl/base/thread_annotations.h>

#include "memory/mutex.hpp"

namespace korvale {

// The reader-writer locks of the shards of one table. A reader writes only a
// counter of its own thread's slot: readers on different cores never write
// the same cache line, so point lookups from all cores scale. (With one lock
// word per shard, every read lock and unlock moved that word's line between
// cores; eight threads looking keys up did little more than one.) A writer
// announces itself on its shard and goes ahead once every slot's counter for
// that shard reads zero; otherwise it withdraws, so that a reader nesting a
// second read of the shard is never held back, and tries again.
//
// For the analysis the whole set is one capability: the shard is an index
// chosen at run time, which annotations cannot name. It checks that a
// shard's data is touched with a lock of the set held, not that it is that
// shard's lock.
class ABSL_LOCKABLE ShardLocks {
 public:
  explicit ShardLocks(std::size_t shards);
  ShardLocks(const ShardLocks&) = delete;
  ShardLocks& operator=(const ShardLocks&) = delete;

  void lock_shared(std::size_t shard) noexcept ABSL_SHARED_LOCK_FUNCTION();
  void unlock_shared(std::size_t shard) noexcept ABSL_UNLOCK_FUNCTION();
  void lock(std::size_t shard) noexcept ABSL_EXCLUSIVE_LOCK_FUNCTION();
  void unlock(std::size_t shard) noexcept ABSL_UNLOCK_FUNCTION();

  // One lock of the set, for std::shared_lock and std::unique_lock; taking it
  // takes the set's capability.
  class One {
   public:
    One(ShardLocks& locks, std::size_t shard) noexcept : locks_(locks), shard_(shard) {}
    void lock_shared() noexcept ABSL_SHARED_LOCK_FUNCTION(locks_) { locks_.lock_shared(shard_); }
    void unlock_shared() noexcept ABSL_UNLOCK_FUNCTION(locks_) { locks_.unlock_shared(shard_); }
    void lock() noexcept ABSL_EXCLUSIVE_LOCK_FUNCTION(locks_) { locks_.lock(shard_); }
    void unlock() noexcept ABSL_UNLOCK_FUNCTION(locks_) { locks_.unlock(shard_); }

   private:
    ShardLocks& locks_;
    std::size_t shard_;
  };

 private:
  // Threads share a slot only when there are more of them than slots; the
  // counter then counts both, which costs speed, not correctness.
  static constexpr std::size_t kSlots = 16;

  struct alignas(64) Writer {
    std::atomic<std::uint32_t> active{0};  // 1 while a writer holds or claims the shard
    std::mutex mutex;                      // one writer per shard at a time
  };

  // A slot's counters for consecutive shards, one cache line of them.
  struct alignas(64) Counters {
    static constexpr std::size_t kPerLine = 64 / sizeof(std::atomic<std::uint32_t>);
    std::atomic<std::uint32_t> of[kPerLine]{};
  };

  std::atomic<std::uint32_t>& counter(std::size_t slot, std::size_t shard) noexcept {
    return readers_[slot * lines_per_slot_ + shard / Counters::kPerLine]
        .of[shard % Counters::kPerLine];
  }
  bool no_readers(std::size_t shard) noexcept;

  std::size_t lines_per_slot_;
  std::unique_ptr<Writer[]> writers_;
  std::unique_ptr<Counters[]> readers_;
};

// A reader-preferring lock in one 32-bit word, for data that exists a million
// times over (per-node edge sets, property maps). Waiters sleep on the word
// (futex through std::atomic::wait) rather than spin.
class ABSL_LOCKABLE CompactRwLock {
 public:
  CompactRwLock() noexcept = default;
  CompactRwLock(const CompactRwLock&) = delete;
  CompactRwLock& operator=(const CompactRwLock&) = delete;

  void lock_shared() noexcept ABSL_SHARED_LOCK_FUNCTION();
  void unlock_shared() noexcept ABSL_UNLOCK_FUNCTION();
  void lock() noexcept ABSL_EXCLUSIVE_LOCK_FUNCTION();
  void unlock() noexcept ABSL_UNLOCK_FUNCTION();

 private:
  static constexpr std::uint32_t kWriter = 1u << 31;
  static constexpr std::uint32_t kWaiters = 1u << 30;
  static constexpr std::uint32_t kReaders = kWaiters - 1;

  void wait_while(std::uint32_t& seen) noexcept;

  std::atomic<std::uint32_t> state_{0};
};

static_assert(sizeof(CompactRwLock) == 4);

// Holders the analysis follows: the lock held for the holder's whole scope,
// as by a std::shared_lock or std::unique_lock that is never unlocked early
// or moved, with the annotations that those lack. Lock is any capability with
// lock_shared()/unlock_shared() (ReadLock) or lock()/unlock() (WriteLock).
template <class Lock>
class ABSL_SCOPED_LOCKABLE ReadLock {
 public:
  explicit ReadLock(Lock& lock) ABSL_SHARED_LOCK_FUNCTION(lock) : lock_(lock) {
    lock_.lock_shared();
  }
  ~ReadLock() ABSL_UNLOCK_FUNCTION() { lock_.unlock_shared(); }
  ReadLock(const ReadLock&) = delete;
  ReadLock& operator=(const ReadLock&) = delete;

 private:
  Lock& lock_;
};

template <class Lock>
class ABSL_SCOPED_LOCKABLE WriteLock {
 public:
  explicit WriteLock(Lock& lock) ABSL_EXCLUSIVE_LOCK_FUNCTION(lock) : lock_(lock) { lock_.lock(); }
  ~WriteLock() ABSL_UNLOCK_FUNCTION() { lock_.unlock(); }
  WriteLock(const WriteLock&) = delete;
  WriteLock& operator=(const WriteLock&) = delete;

 private:
  Lock& lock_;
};

// The same for one shard of a ShardLocks; the analysis sees the set held.
class ABSL_SCOPED_LOCKABLE ShardReadLock {
 public:
  ShardReadLock(ShardLocks& locks, std::size_t shard) noexcept ABSL_SHARED_LOCK_FUNCTION(locks)
      : locks_(locks), shard_(shard) {
    locks_.lock_shared(shard_);
  }
  ~ShardReadLock() ABSL_UNLOCK_FUNCTION() { locks_.unlock_shared(shard_); }
  ShardReadLock(const ShardReadLock&) = delete;
  ShardReadLock& operator=(const ShardReadLock&) = delete;

 private:
  ShardLocks& locks_;
  std::size_t shard_;
};

class ABSL_SCOPED_LOCKABLE ShardWriteLock {
 public:
  ShardWriteLock(ShardLocks& locks, std::size_t shard) noexcept ABSL_EXCLUSIVE_LOCK_FUNCTION(locks)
      : locks_(locks), shard_(shard) {
    locks_.lock(shard_);
  }
  ~ShardWriteLock() ABSL_UNLOCK_FUNCTION() { locks_.unlock(shard_); }
  ShardWriteLock(const ShardWriteLock&) = delete;
  ShardWriteLock& operator=(const ShardWriteLock&) = delete;

 private:
  ShardLocks& locks_;
  std::size_t shard_;
};

}  // namespace korvale
