#include "concurrency/sharded_map.hpp"

#include <sys/random.h>

#include <chrono>
#include <thread>

namespace korvale {

std::size_t shard_count_for(unsigned processors) {
  if (processors == 0) return 4;
  return std::bit_ceil(std::size_t{4} * processors);
}

std::size_t default_shard_count() {
  static const std::size_t count = shard_count_for(std::thread::hardware_concurrency());
  return count;
}

namespace sharded_detail {

// The kernel's random source; should it be unavailable, a clock reading and an
// address still give a base that differs between runs.
static std::uint64_t random_base() noexcept {
  std::uint64_t base = 0;
  if (getrandom(&base, sizeof base, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof base)) {
    return base;
  }
  const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
  return mix(static_cast<std::uint64_t>(ticks) ^ reinterpret_cast<std::uintptr_t>(&base));
}

// One random draw per process; each container then takes the next step of a
// Weyl sequence through the finaliser, which is cheap and never repeats.
std::uint64_t new_seed() noexcept {
  static const std::uint64_t base = random_base();
  static std::atomic<std::uint64_t> counter{0};
  return mix(base + counter.fetch_add(0x9e3779b97f4a7c15ULL, std::memory_order_relaxed));
}

}  // namespace sharded_detail
}  // namespace korvale
