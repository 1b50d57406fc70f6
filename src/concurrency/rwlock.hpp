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
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace korvale {

// The reader-writer locks of the shards of one table. A reader writes only a
// counter of its own thread's slot: readers on different cores never write
// the same cache line, so point lookups from all cores scale. (With one lock
// word per shard, every read lock and unlock moved that word's line between
// cores; eight threads looking keys up did little more than one.) A writer
// announces itself on its shard and goes ahead once every slot's counter for
// that shard reads zero; otherwise it withdraws, so that a reader nesting a
// second read of the shard is never held back, and tries again.
class ShardLocks {
 public:
  explicit ShardLocks(std::size_t shards);
  ShardLocks(const ShardLocks&) = delete;
  ShardLocks& operator=(const ShardLocks&) = delete;

  void lock_shared(std::size_t shard) noexcept;
  void unlock_shared(std::size_t shard) noexcept;
  void lock(std::size_t shard) noexcept;
  void unlock(std::size_t shard) noexcept;

  // One lock of the set, for std::shared_lock and std::unique_lock.
  class One {
   public:
    One(ShardLocks& locks, std::size_t shard) noexcept : locks_(locks), shard_(shard) {}
    void lock_shared() noexcept { locks_.lock_shared(shard_); }
    void unlock_shared() noexcept { locks_.unlock_shared(shard_); }
    void lock() noexcept { locks_.lock(shard_); }
    void unlock() noexcept { locks_.unlock(shard_); }

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
class CompactRwLock {
 public:
  CompactRwLock() noexcept = default;
  CompactRwLock(const CompactRwLock&) = delete;
  CompactRwLock& operator=(const CompactRwLock&) = delete;

  void lock_shared() noexcept;
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

}  // namespace korvale
