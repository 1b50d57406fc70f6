#include "concurrency/rwlock.hpp"

#include <cassert>
#include <chrono>
#include <thread>

namespace korvale {

namespace {

// The slot of the calling thread, handed out in turn to threads as they
// first lock a shard.
std::size_t reader_slot(std::size_t slots) noexcept {
  static std::atomic<std::size_t> next{0};
  thread_local const std::size_t slot = next.fetch_add(1, std::memory_order_relaxed);
  return slot % slots;
}

// Spins briefly, then yields, then sleeps: a writer waits for readers that
// may hold their locks through a whole scan.
void back_off(unsigned& round) noexcept {
  if (round < 64) {
    ++round;
  } else if (round < 128) {
    ++round;
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
}

}  // namespace

ShardLocks::ShardLocks(std::size_t shards)
    : lines_per_slot_((shards + Counters::kPerLine - 1) / Counters::kPerLine),
      writers_(std::make_unique<Writer[]>(shards)),
      readers_(std::make_unique<Counters[]>(kSlots * lines_per_slot_)) {}

// Reader and writer each write their own flag, then read the other's (all
// sequentially consistent): at least one of them sees the other, so a reader
// and a writer are never both in.
void ShardLocks::lock_shared(std::size_t shard) noexcept {
  std::atomic<std::uint32_t>& mine = counter(reader_slot(kSlots), shard);
  std::atomic<std::uint32_t>& active = writers_[shard].active;
  for (;;) {
    mine.fetch_add(1, std::memory_order_seq_cst);
    if (active.load(std::memory_order_seq_cst) == 0) return;
    mine.fetch_sub(1, std::memory_order_seq_cst);
    active.wait(1, std::memory_order_acquire);
  }
}

void ShardLocks::unlock_shared(std::size_t shard) noexcept {
  [[maybe_unused]] const std::uint32_t before =
      counter(reader_slot(kSlots), shard).fetch_sub(1, std::memory_order_release);
  assert(before != 0);  // this thread's slot holds a read lock of the shard
}

bool ShardLocks::no_readers(std::size_t shard) noexcept {
  for (std::size_t slot = 0; slot < kSlots; ++slot) {
    if (counter(slot, shard).load(std::memory_order_seq_cst) != 0) return false;
  }
  return true;
}

void ShardLocks::lock(std::size_t shard) noexcept {
  Writer& writer = writers_[shard];
  writer.mutex.lock();
  for (unsigned round = 0;;) {
    writer.active.store(1, std::memory_order_seq_cst);
    if (no_readers(shard)) return;
    // Withdraw: a reader of this shard may want to read it once more before
    // it lets go.
    writer.active.store(0, std::memory_order_seq_cst);
    writer.active.notify_all();
    do {
      back_off(round);
    } while (!no_readers(shard));
  }
}

void ShardLocks::unlock(std::size_t shard) noexcept {
  Writer& writer = writers_[shard];
  writer.active.store(0, std::memory_order_release);
  writer.active.notify_all();
  writer.mutex.unlock();
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

void CompactRwLock::unlock_shared() noexcept {
  const std::uint32_t before = state_.fetch_sub(1, std::memory_order_release);
  assert((before & kReaders) != 0 && (before & kWriter) == 0);  // a read lock is held
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
  assert((before & kWriter) != 0);  // the write lock is held
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
