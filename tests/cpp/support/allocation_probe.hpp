// Watches the heap allocations of the calling thread: counts them, or makes
// the next one fail. The test binary replaces the global operator new for
// this (allocation_probe.cpp); threads that do not ask are unaffected.
#pragma once

#include <cstddef>

namespace korvale::testing {

// Counts the calling thread's allocations while it lives. Not nestable.
class AllocationCounter {
 public:
  AllocationCounter();
  ~AllocationCounter();
  AllocationCounter(const AllocationCounter&) = delete;
  AllocationCounter& operator=(const AllocationCounter&) = delete;

  std::size_t count() const;
};

// The calling thread's next allocation throws std::bad_alloc (or, given
// false, no longer does).
void fail_next_allocation(bool fail = true);

}  // namespace korvale::testing
