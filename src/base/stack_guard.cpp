#include "base/stack_guard.hpp"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace korvale::stack_guard_detail {
namespace {

// The kernel keeps this much unmapped above the mapping below a growing stack
// (its stack_guard_gap, 256 pages by default); the stack cannot grow into it.
constexpr std::uintptr_t kGrowthGap = 256 * 4096;

// Whether glibc's figure for the main thread's stack is its growth limit
// (the rlimit) or was cut short at the mapping below it; only in the second
// case does the bottom reach into the kernel's gap.
bool reaches_neighbour(std::size_t size) {
  rlimit limit{};
  if (getrlimit(RLIMIT_STACK, &limit) != 0) return true;
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return limit.rlim_cur == RLIM_INFINITY || size + page < limit.rlim_cur;
}

std::uintptr_t read_bounds() noexcept {
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 1;
  void* address = nullptr;
  std::size_t size = 0;
  const bool read = pthread_attr_getstack(&attributes, &address, &size) == 0;
  pthread_attr_destroy(&attributes);
  if (!read || address == nullptr) return 1;
  auto low = reinterpret_cast<std::uintptr_t>(address);
  // The main thread's stack is mapped on demand, up to the rlimit; glibc
  // reports that extent (reading /proc/self/maps), so the bound holds before
  // the pages exist.
  if (gettid() == getpid() && size > 2 * kGrowthGap && reaches_neighbour(size)) low += kGrowthGap;
  return low;
}

}  // namespace

std::uintptr_t read_low_bound() noexcept {
  low_bound = read_bounds();
  return low_bound;
}

}  // namespace korvale::stack_guard_detail
