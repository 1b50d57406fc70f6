// A cache of equal-sized memory blocks for objects that queries make and drop
// by the hundred thousand (the layers of match rows).
//
// Given back to malloc, the blocks of a big result set are merged into free
// space at the top of the heap when the result is dropped, and malloc returns
// that space to the kernel; the next query then faults every page in again,
// which cost more than the matching itself. Blocks freed here stay with the
// process instead, up to kRetainedBytes per block size (64 MiB unless given)
// in the shared list; beyond that they go back to malloc.
//
// Each thread keeps a short list of free blocks of its own. Its surplus moves
// in batches to a list shared under a mutex, from which threads that run dry
// take whole batches: the thread that drops a result only frees, the pool
// threads that match only allocate.
//
// Under AddressSanitizer the cache is bypassed, so that the sanitizer still
// sees every block freed and can report a use after free.
#pragma once

#include <atomic>
#include <cassert>
#include <cstddef>
#include <memory>
#include <new>
#include <vector>

#include <absl/base/thread_annotations.h>

#include "memory/mutex.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define KORVALE_BLOCK_POOL_BYPASS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORVALE_BLOCK_POOL_BYPASS 1
#endif
#endif

namespace korvale {

namespace block_pool_detail {

struct FreeBlock {
  FreeBlock* next;
};

// A list of free blocks.
struct Chain {
  FreeBlock* head = nullptr;
  std::size_t count = 0;

  void push(void* memory) noexcept {
    head = ::new (memory) FreeBlock{head};
    ++count;
  }
  void* pop() noexcept {
    FreeBlock* block = head;
    head = block->next;
    --count;
    return block;
  }
  // The first `n` blocks, taken off this chain (n <= count).
  Chain split(std::size_t n) noexcept {
    assert(n >= 1 && n <= count);
    Chain front{head, n};
    FreeBlock* last = head;
    for (std::size_t i = 1; i < n; ++i) last = last->next;
    head = last->next;
    last->next = nullptr;
    count -= n;
    return front;
  }
  void release() noexcept {
    while (head != nullptr) ::operator delete(pop());
  }
};

}  // namespace block_pool_detail

template <std::size_t kBytes, std::size_t kAlign,
          std::size_t kRetainedBytes = std::size_t{64} << 20>
class BlockPool {
  static_assert(kBytes >= sizeof(block_pool_detail::FreeBlock));
  static_assert(kAlign <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "blocks come from plain operator new");
  using Chain = block_pool_detail::Chain;

 public:
  static constexpr std::size_t kBatchBlocks = 256;
  static constexpr std::size_t kMaxBatches = kRetainedBytes / (kBatchBlocks * kBytes);

  static void* allocate() {
#if defined(KORVALE_BLOCK_POOL_BYPASS)
    return ::operator new(kBytes);
#else
    Local& local = local_;
    if (local.chain.count == 0 && !local.exited) {
      local.chain = shared().take();
      if (local.chain.count != 0) flusher_.arm();
    }
    if (local.chain.count != 0) return local.chain.pop();
    return ::operator new(kBytes);
#endif
  }

  static void deallocate(void* memory) noexcept {
#if defined(KORVALE_BLOCK_POOL_BYPASS)
    ::operator delete(memory);
#else
    Local& local = local_;
    if (local.exited) {
      ::operator delete(memory);
      return;
    }
    local.chain.push(memory);
    if (local.chain.count == 1) {
      flusher_.arm();
    } else if (local.chain.count >= 2 * kBatchBlocks) {
      shared().give(local.chain.split(kBatchBlocks));
    }
#endif
  }

 private:
  class Shared {
   public:
    // A thread that runs dry asks here before every allocation it makes from
    // malloc; while the list is empty, that costs one read of a word that
    // rarely changes, not a turn at the mutex.
    Chain take() {
      if (count_.load(std::memory_order_relaxed) == 0) return {};
      const MutexLock lock(mutex_);
      if (batches_.empty()) return {};
      Chain batch = batches_.back();
      batches_.pop_back();
      count_.store(batches_.size(), std::memory_order_relaxed);
      return batch;
    }
    // Keeps the batch, or frees its blocks when the list is full.
    void give(Chain batch) noexcept {
      {
        const MutexLock lock(mutex_);
        if (batches_.size() < kMaxBatches) {
          batches_.push_back(batch);  // capacity reserved up front: cannot throw
          count_.store(batches_.size(), std::memory_order_relaxed);
          return;
        }
      }
      batch.release();
    }
    Shared() { batches_.reserve(kMaxBatches); }

   private:
    Mutex mutex_;
    std::vector<Chain> batches_ ABSL_GUARDED_BY(mutex_);
    std::atomic<std::size_t> count_{0};  // batches_.size(), readable without the mutex
  };

  // Made once and never destroyed: threads may still free blocks while the
  // process exits, after static objects are gone.
  static Shared& shared() {
    static Shared* const instance = new Shared;
    return *instance;
  }

  // Trivially destructible, so that it stays usable while its thread exits:
  // other thread-local objects may free blocks after the flusher has run.
  struct Local {
    Chain chain;
    bool exited = false;
  };
  // Hands the thread's own list to the shared one when the thread exits.
  struct Flusher {
    bool armed = false;
    // The thread's first use of the flusher registers its destructor.
    void arm() noexcept { armed = true; }
    ~Flusher() {
      Local& local = local_;
      local.exited = true;
      while (local.chain.count > kBatchBlocks) shared().give(local.chain.split(kBatchBlocks));
      if (local.chain.count != 0) shared().give(local.chain.split(local.chain.count));
    }
  };

  static thread_local Local local_;
  static thread_local Flusher flusher_;
};

template <std::size_t kBytes, std::size_t kAlign, std::size_t kRetainedBytes>
thread_local typename BlockPool<kBytes, kAlign, kRetainedBytes>::Local
    BlockPool<kBytes, kAlign, kRetainedBytes>::local_;
template <std::size_t kBytes, std::size_t kAlign, std::size_t kRetainedBytes>
thread_local typename BlockPool<kBytes, kAlign, kRetainedBytes>::Flusher
    BlockPool<kBytes, kAlign, kRetainedBytes>::flusher_;

// An allocator that takes single objects from the BlockPool of their size
// (std::allocate_shared asks for one control block with the object inside).
template <class T>
struct PooledAllocator {
  using value_type = T;

  PooledAllocator() = default;
  template <class U>
  PooledAllocator(const PooledAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n == 1) return static_cast<T*>(BlockPool<sizeof(T), alignof(T)>::allocate());
    return std::allocator<T>().allocate(n);
  }
  void deallocate(T* block, std::size_t n) noexcept {
    if (n == 1) {
      BlockPool<sizeof(T), alignof(T)>::deallocate(block);
    } else {
      std::allocator<T>().deallocate(block, n);
    }
  }

  friend bool operator==(const PooledAllocator&, const PooledAllocator&) noexcept { return true; }
};

}  // namespace korvale
