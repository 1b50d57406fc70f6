// An allocator for the store's big hash tables: blocks of kPageBlockBytes or
// more come straight from the kernel (mmap) and go back to it when freed;
// smaller ones come from operator new as usual.
//
// A table that grows by doubling frees its old array each time. Given to
// malloc, those arrays stay behind as holes in the heap once its mmap
// threshold has risen past them (glibc raises it after the first large
// free), so a process that built a big store held about twice the memory its
// tables use. Mapped arrays leave nothing behind.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <memory>
#include <new>

namespace korvale {

inline constexpr std::size_t kPageBlockBytes = std::size_t{128} << 10;
inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

template <class T>
struct PageAllocator {
  using value_type = T;

  PageAllocator() = default;
  template <class U>
  PageAllocator(const PageAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > std::size_t(-1) / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kPageBlockBytes) return std::allocator<T>().allocate(n);
    static_assert(alignof(T) <= 4096, "pages are the strongest alignment mmap gives");
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    // A scan walks the whole array: on 4 KiB pages it misses the TLB every few
    // dozen entries, and the hardware prefetcher stops at each page boundary.
    // Only a hint: without transparent huge pages nothing changes.
    if (bytes >= kHugePageBytes) (void)madvise(block, bytes, MADV_HUGEPAGE);
    return static_cast<T*>(block);
  }

  void deallocate(T* block, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kPageBlockBytes) {
      std::allocator<T>().deallocate(block, n);
    } else {
      munmap(block, bytes);
    }
  }

  friend bool operator==(const PageAllocator&, const PageAllocator&) noexcept { return true; }
};

}  // namespace korvale
