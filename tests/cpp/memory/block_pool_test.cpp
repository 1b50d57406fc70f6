// The cache of equal-sized blocks: reuse on one thread, hand-over between
// threads, the limit on what it keeps, and the flush at thread exit.
#include <gtest/gtest.h>

#include <barrier>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <set>
#include <thread>
#include <vector>

#include "memory/block_pool.hpp"
#include "support/allocation_probe.hpp"

namespace korvale {
namespace {

#if defined(KORVALE_BLOCK_POOL_BYPASS)
#define SKIP_WHEN_BYPASSED() GTEST_SKIP() << "the cache is bypassed under AddressSanitizer"
#else
#define SKIP_WHEN_BYPASSED() (void)0
#endif

// Every test uses a pool of its own (a block size no other test uses), so
// that the shared lists start empty and the counts are exact.
template <std::size_t kBytes, std::size_t kRetainedBytes = std::size_t{64} << 20>
using Pool = BlockPool<kBytes, alignof(std::max_align_t), kRetainedBytes>;

template <class P>
std::vector<void*> take(std::size_t n) {
  std::vector<void*> blocks;
  for (std::size_t i = 0; i < n; ++i) blocks.push_back(P::allocate());
  return blocks;
}

template <class P>
void give_back(const std::vector<void*>& blocks) {
  for (void* block : blocks) P::deallocate(block);
}

// Every block that the shared list of P holds, taken out of it: a new thread,
// whose own list is empty, allocates until the pool has no block left for it
// and calls operator new (which the probe counts); that last block, not one
// of the pool's, goes straight back to operator delete.
template <class P>
std::vector<void*> take_shared() {
  std::vector<void*> taken;
  std::thread([&] {
    while (true) {
      void* block = nullptr;
      std::size_t from_heap = 0;
      {
        const testing::AllocationCounter counter;
        block = P::allocate();
        from_heap = counter.count();
      }
      if (from_heap != 0) {
        ::operator delete(block);
        return;
      }
      taken.push_back(block);
    }
  }).join();
  return taken;
}

TEST(BlockPoolTest, AFreedBlockIsTheNextOneHandedOutOnItsThread) {
  SKIP_WHEN_BYPASSED();
  using P = Pool<48>;
  void* first = P::allocate();
  std::memset(first, 0xab, 48);
  P::deallocate(first);
  EXPECT_EQ(P::allocate(), first);
  P::deallocate(first);
}

TEST(BlockPoolTest, BlocksFreedOnOneThreadServeAnother) {
  SKIP_WHEN_BYPASSED();
  using P = Pool<80>;
  constexpr std::size_t kBlocks = 4 * P::kBatchBlocks;
  const std::vector<void*> blocks = take<P>(kBlocks);
  // Freeing on another thread passes whole batches to the shared list; the
  // rest goes there when that thread exits.
  std::thread([&] { give_back<P>(blocks); }).join();

  // A thread that runs dry is served all of them, and then the list is empty.
  const std::vector<void*> again = take_shared<P>();
  EXPECT_EQ(again.size(), kBlocks);
  EXPECT_EQ(std::set<void*>(again.begin(), again.end()),
            std::set<void*>(blocks.begin(), blocks.end()));
  EXPECT_TRUE(take_shared<P>().empty());
  give_back<P>(again);
}

TEST(BlockPoolTest, TheSharedListKeepsNoMoreThanItsLimit) {
  SKIP_WHEN_BYPASSED();
  // Room for two batches in the shared list; the rest goes back to malloc.
  using P = Pool<96, 2 * 256 * 96>;
  ASSERT_EQ(P::kMaxBatches, 2u);
  const std::vector<void*> blocks = take<P>(10 * P::kBatchBlocks);
  std::thread([&] { give_back<P>(blocks); }).join();
  const std::vector<void*> kept = take_shared<P>();
  EXPECT_EQ(kept.size(), 2 * P::kBatchBlocks);
  give_back<P>(kept);
}

// Each thread frees the blocks its neighbour allocated and stamped, so blocks
// keep moving between the threads' lists and the shared one. A block handed
// out twice at once would show as a stamp overwritten by another thread (and
// as a race under ThreadSanitizer).
TEST(BlockPoolTest, ThreadsFreeingEachOthersBlocksNeverShareOne) {
  using P = Pool<64>;
  constexpr int kThreads = 6;
  constexpr int kRounds = 30;
  constexpr std::size_t kPerRound = 700;
  std::vector<std::vector<void*>> handed(kThreads);
  std::vector<int> wrong_stamps(kThreads, 0);
  std::barrier sync(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        handed[t] = take<P>(kPerRound);
        for (void* block : handed[t]) std::memcpy(block, &t, sizeof t);
        sync.arrive_and_wait();
        const int neighbour = (t + 1) % kThreads;
        for (void* block : handed[neighbour]) {
          int stamp = -1;
          std::memcpy(&stamp, block, sizeof stamp);
          if (stamp != neighbour) ++wrong_stamps[t];
        }
        give_back<P>(handed[neighbour]);
        sync.arrive_and_wait();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(wrong_stamps[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace korvale
