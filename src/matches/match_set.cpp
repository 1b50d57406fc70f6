#include "matches/match_set.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include <oneapi/tbb/info.h>
#include <oneapi/tbb/spin_mutex.h>
#include <oneapi/tbb/task_arena.h>

namespace korvale {

constinit std::atomic<std::uint64_t> MATCH_ID_COUNTER{0};

std::uint64_t next_match_id() {
  return MATCH_ID_COUNTER.fetch_add(1, std::memory_order_seq_cst);
}

namespace {

// Rows are appended to the buffer of the inserting thread's slot, so that
// threads of one parallel loop do not contend. Padding keeps the buffers'
// locks on separate cache lines.
//
// A buffer is a list of chunks. The first grows as a vector does; beyond
// kChunkRows rows, new chunks of that size follow, instead of one array that
// doubles. Chunks stay below malloc's mmap threshold, so a big set reuses
// heap memory from earlier queries: a doubling array past the threshold is
// mapped fresh, page by page, by every query and unmapped again.
constexpr std::size_t kChunkRows = 1024;

// From this many rows on, a set being dropped releases its rows on the pool.
constexpr std::size_t kParallelReleaseRows = 4 * kChunkRows;

struct alignas(64) Shard {
  tbb::spin_mutex lock;
  std::vector<std::vector<MatchRow>> chunks;
  std::size_t count = 0;

  void push(MatchRow row) {
    if (chunks.empty() || chunks.back().size() == kChunkRows) {
      chunks.emplace_back();
      if (chunks.size() > 1) chunks.back().reserve(kChunkRows);
    }
    chunks.back().push_back(std::move(row));
    ++count;
  }
};

// As many buffers as the pool has threads, so pool threads never share one.
std::size_t shard_count() {
  static const std::size_t count =
      std::bit_ceil(static_cast<std::size_t>(std::max(1, tbb::info::default_concurrency())));
  return count;
}

// The slot of the calling thread: its index in the pool's arena, or for a
// thread outside the pool a number of its own.
std::size_t thread_slot() {
  const int index = tbb::this_task_arena::current_thread_index();
  if (index >= 0) return static_cast<std::size_t>(index);
  static std::atomic<std::size_t> next_outside_slot{0};
  thread_local const std::size_t outside_slot =
      next_outside_slot.fetch_add(1, std::memory_order_relaxed);
  return outside_slot;
}

}  // namespace

struct MatchSet::Storage {
  // The buffers are aligned by hand inside a plain allocation: an aligned new
  // goes through memalign, whose split chunks glibc's heap reuses badly; with
  // a few sets per query, a long run of small queries left a hole per call.
  Storage()
      : mask(shard_count() - 1),
        block(std::make_unique<std::byte[]>(shard_count() * sizeof(Shard) + alignof(Shard) - 1)) {
    void* start = block.get();
    std::size_t space = shard_count() * sizeof(Shard) + alignof(Shard) - 1;
    start = std::align(alignof(Shard), shard_count() * sizeof(Shard), start, space);
    shards = static_cast<Shard*>(start);
    std::uninitialized_default_construct_n(shards, shard_count());
  }
  ~Storage() {
    release_rows_in_parallel();
    std::destroy_n(shards, mask + 1);
  }
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;

  std::size_t mask;
  std::unique_ptr<std::byte[]> block;
  Shard* shards = nullptr;

 private:
  // Dropping a row releases its layer, and often the whole chain that only
  // it held. The layers of a big set were made by the pool's threads: one
  // thread releasing them all would fetch every layer from other cores'
  // caches in turn, which took about as long as making them.
  // Should the loop fail to start (memory for its tasks ran out), the rows
  // it has not released are released by this thread afterwards, as for a
  // small set.
  void release_rows_in_parallel() noexcept {
    std::size_t rows = 0;
    for (std::size_t i = 0; i <= mask; ++i) rows += shards[i].count;
    if (rows < kParallelReleaseRows) return;
    try {
      std::vector<std::vector<MatchRow>*> chunks;
      for (std::size_t i = 0; i <= mask; ++i) {
        for (std::vector<MatchRow>& chunk : shards[i].chunks) chunks.push_back(&chunk);
      }
      // Every row must go, also when the call is being interrupted.
      const InterruptionScope uninterruptible(nullptr);
      (void)korvale::try_par_for(chunks.size(), [&](std::size_t i) -> Status {
        std::vector<MatchRow>().swap(*chunks[i]);
        return {};
      });
    } catch (...) {
    }
  }
};

const MatchRow& MatchSet::View::operator[](std::size_t index) const {
  assert(index < size());
  const auto part = std::upper_bound(ends_.begin(), ends_.end(), index) - ends_.begin();
  const std::size_t first = part == 0 ? 0 : ends_[part - 1];
  return parts_[part].rows[index - first];
}

MatchSet::MatchSet() : storage_(std::make_shared<Storage>()) {}

void MatchSet::insert(MatchRow row) {
  Shard& shard = storage_->shards[thread_slot() & storage_->mask];
  std::lock_guard guard(shard.lock);
  shard.push(std::move(row));
}

std::size_t MatchSet::size() const {
  std::size_t total = 0;
  for (std::size_t i = 0; i <= storage_->mask; ++i) {
    Shard& shard = storage_->shards[i];
    std::lock_guard guard(shard.lock);
    total += shard.count;
  }
  return total;
}

MatchSet::View MatchSet::rows() const {
  View view;
  view.keep_alive_ = storage_;
  std::size_t total = 0;
  for (std::size_t i = 0; i <= storage_->mask; ++i) {
    Shard& shard = storage_->shards[i];
    // The lock orders this view after the insertions it sees.
    std::lock_guard guard(shard.lock);
    for (const std::vector<MatchRow>& chunk : shard.chunks) {
      if (chunk.empty()) continue;
      view.parts_.push_back(View::Part{chunk.data(), chunk.size()});
      total += chunk.size();
      view.ends_.push_back(total);
    }
  }
  return view;
}

MatchSet default_match_set() {
  MatchSet set;
  set.insert(MatchRow{next_match_id(), Uid{}, Match::new_()});
  return set;
}

}  // namespace korvale
