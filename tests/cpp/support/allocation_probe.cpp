#include "support/allocation_probe.hpp"

#include <cstdlib>
#include <new>

namespace {

// Constant-initialised thread-locals: usable from operator new at any time.
thread_local bool counting = false;
thread_local std::size_t counted = 0;
thread_local bool fail_next = false;

}  // namespace

namespace korvale::testing {

AllocationCounter::AllocationCounter() {
  counted = 0;
  counting = true;
}

AllocationCounter::~AllocationCounter() {
  counting = false;
}

std::size_t AllocationCounter::count() const {
  return counted;
}

void fail_next_allocation(bool fail) {
  fail_next = fail;
}

}  // namespace korvale::testing

// g++ sees malloc inside the replaced new and free inside the replaced delete
// and takes the pair for a mismatch.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  if (fail_next) {
    fail_next = false;
    throw std::bad_alloc();
  }
  if (counting) ++counted;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

void operator delete(void* memory) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}
#pragma GCC diagnostic pop
