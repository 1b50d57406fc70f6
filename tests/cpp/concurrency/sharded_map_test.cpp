#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <latch>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "concurrency/rwlock.hpp"
#include "concurrency/sharded_map.hpp"

namespace korvale {
namespace {

using namespace std::chrono_literals;

constexpr int kThreads = 8;

// Distinct, uniformly spread identifiers, like the digests the store uses.
Uid uid_of(std::uint64_t n) {
  Uid uid{};
  for (std::size_t word = 0; word < 4; ++word) {
    const std::uint64_t bits = sharded_detail::mix(n * 4 + word + 1);
    std::memcpy(uid.data() + 8 * word, &bits, sizeof bits);
  }
  return uid;
}

// Runs body(i) on `threads` threads released together, and joins them.
void run_threads(int threads, const std::function<void(int)>& body) {
  std::latch start(threads);
  std::vector<std::thread> pool;
  for (int i = 0; i < threads; ++i) {
    pool.emplace_back([&, i] {
      start.arrive_and_wait();
      body(i);
    });
  }
  for (auto& thread : pool) thread.join();
}

// Runs body on a thread of its own and reports whether it ended within
// `limit`. A body that deadlocks is left behind, so that the test fails
// instead of hanging; it must share ownership of everything it touches.
// (Polls an atomic flag: std::future waits inside the uninstrumented C++
// library, where ThreadSanitizer cannot see the ordering.)
bool finishes_within(std::chrono::seconds limit, std::function<void()> body) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread([done, body = std::move(body)] {
    body();
    done->store(true, std::memory_order_release);
  }).detach();
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done->load(std::memory_order_acquire)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Long enough for a thread that announced it is about to lock to be blocked.
constexpr auto kSettle = 200ms;

// --- locks --------------------------------------------------------------------

template <class Lock>
class LockTest : public ::testing::Test {};

// One lock of a shard set, as the lock tests use a lock of their own.
class OneShardLock {
 public:
  void lock_shared() noexcept { one_.lock_shared(); }
  void unlock_shared() noexcept { one_.unlock_shared(); }
  void lock() noexcept { one_.lock(); }
  void unlock() noexcept { one_.unlock(); }

 private:
  ShardLocks locks_{20};  // more shards than one slot's cache line counts
  ShardLocks::One one_{locks_, 17};
};

using LockTypes = ::testing::Types<OneShardLock, CompactRwLock>;
TYPED_TEST_SUITE(LockTest, LockTypes);

TYPED_TEST(LockTest, NestedReadIsAdmittedWhileWriterWaits) {
  struct State {
    TypeParam lock;
    std::atomic<bool> writer_started{false};
    std::atomic<bool> writer_in{false};
    std::atomic<bool> writer_in_during_reads{false};
    std::thread writer;
  };
  auto state = std::make_shared<State>();
  const bool finished = finishes_within(20s, [state] {
    state->lock.lock_shared();
    state->writer = std::thread([state] {
      state->writer_started = true;
      std::unique_lock guard(state->lock);
      state->writer_in = true;
    });
    while (!state->writer_started) std::this_thread::yield();
    std::this_thread::sleep_for(kSettle);
    state->lock.lock_shared();  // the nested read: must not wait for the writer
    state->writer_in_during_reads = state->writer_in.load();
    state->lock.unlock_shared();
    state->lock.unlock_shared();
    state->writer.join();
  });
  ASSERT_TRUE(finished) << "a nested read deadlocked behind a waiting writer";
  EXPECT_FALSE(state->writer_in_during_reads);
  EXPECT_TRUE(state->writer_in);
}

TYPED_TEST(LockTest, ReadersShareTheLock) {
  auto lock = std::make_shared<TypeParam>();
  auto both_in = std::make_shared<std::latch>(2);
  const bool finished = finishes_within(20s, [lock, both_in] {
    run_threads(2, [&](int) {
      std::shared_lock guard(*lock);
      both_in->arrive_and_wait();  // each reader waits inside for the other
    });
  });
  EXPECT_TRUE(finished) << "two readers could not hold the lock at once";
}

TYPED_TEST(LockTest, WritersExcludeReadersAndWriters) {
  TypeParam lock;
  long first = 0;
  long second = 0;
  std::atomic<int> torn{0};
  constexpr int kRounds = 3000;
  run_threads(kThreads, [&](int thread) {
    for (int i = 0; i < kRounds; ++i) {
      if ((thread + i) % 2 == 0) {
        std::unique_lock guard(lock);
        ++first;
        ++second;
      } else {
        std::shared_lock guard(lock);
        if (first != second) ++torn;
      }
    }
  });
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(first, kThreads * kRounds / 2);
  EXPECT_EQ(second, first);
}

// More threads than reader slots, so that threads share counters, on two
// shards: each shard's writers exclude its readers and writers, and the other
// shard's traffic does not interfere.
TEST(ShardLocksTest, ThreadsSharingSlotsStillExcludeWritersPerShard) {
  ShardLocks locks(2);
  struct alignas(64) Guarded {
    long first = 0;
    long second = 0;
  };
  Guarded guarded[2];
  std::atomic<int> torn{0};
  std::atomic<long> writes{0};
  constexpr int kManyThreads = 40;
  constexpr int kRounds = 400;
  run_threads(kManyThreads, [&](int thread) {
    for (int i = 0; i < kRounds; ++i) {
      const std::size_t shard = static_cast<std::size_t>((thread + i) % 2);
      ShardLocks::One lock(locks, shard);
      if ((thread * 7 + i) % 3 == 0) {
        std::unique_lock guard(lock);
        ++guarded[shard].first;
        ++guarded[shard].second;
        ++writes;
      } else {
        std::shared_lock guard(lock);
        if (guarded[shard].first != guarded[shard].second) ++torn;
      }
    }
  });
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(guarded[0].first + guarded[1].first, writes.load());
  EXPECT_EQ(guarded[0].second, guarded[0].first);
  EXPECT_EQ(guarded[1].second, guarded[1].first);
}

// --- shard count ----------------------------------------------------------------

struct ShardRule {
  unsigned processors;
  std::size_t shards;
};

class ShardCountTest : public ::testing::TestWithParam<ShardRule> {};

TEST_P(ShardCountTest, NextPowerOfTwoAtOrAboveFourPerProcessor) {
  EXPECT_EQ(shard_count_for(GetParam().processors), GetParam().shards);
}

INSTANTIATE_TEST_SUITE_P(Processors, ShardCountTest,
                         ::testing::Values(ShardRule{0, 4}, ShardRule{1, 4}, ShardRule{2, 8},
                                           ShardRule{3, 16}, ShardRule{4, 16}, ShardRule{5, 32},
                                           ShardRule{8, 32}, ShardRule{12, 64}, ShardRule{16, 64},
                                           ShardRule{17, 128}));

TEST(ShardCount, ContainersFollowTheMachineUnlessGivenACount) {
  const std::size_t expected = shard_count_for(std::thread::hardware_concurrency());
  EXPECT_EQ(default_shard_count(), expected);
  EXPECT_EQ((ShardedMap<Uid, int>().shard_count()), expected);
  EXPECT_EQ(ShardedSet<Uid>().shard_count(), expected);
  EXPECT_EQ((ShardedMap<Uid, int>(5).shard_count()), 8u);
  EXPECT_EQ((ShardedMap<Uid, int>(0).shard_count()), 1u);
  EXPECT_EQ(ShardedSet<Uid>(64).shard_count(), 64u);
}

// --- map operations on one thread -----------------------------------------------

TEST(ShardedMap, InsertReplacesAndEraseReturnsTheOldValue) {
  ShardedMap<Uid, std::string> map;
  const Uid key = uid_of(1);
  EXPECT_EQ(map.insert(key, "one"), std::nullopt);
  EXPECT_EQ(map.insert(key, "two"), "one");
  EXPECT_EQ(map.get(key), "two");
  EXPECT_TRUE(map.contains(key));
  EXPECT_EQ(map.size(), 1u);
  EXPECT_EQ(map.erase(key), "two");
  EXPECT_EQ(map.erase(key), std::nullopt);
  EXPECT_FALSE(map.contains(key));
  EXPECT_EQ(map.get(key), std::nullopt);
  EXPECT_EQ(map.size(), 0u);
}

TEST(ShardedMap, TryInsertMakesTheValueOnlyWhenTheKeyIsAbsent) {
  ShardedMap<Uid, std::string> map;
  int made = 0;
  auto make = [&](std::string text) {
    return [&made, text] {
      ++made;
      return text;
    };
  };
  EXPECT_TRUE(map.try_insert(uid_of(1), make("first")));
  EXPECT_FALSE(map.try_insert(uid_of(1), make("second")));
  EXPECT_EQ(made, 1);
  EXPECT_EQ(map.get(uid_of(1)), "first");
}

TEST(ShardedMap, UpdateAndFindTouchOnlyPresentKeys) {
  ShardedMap<Uid, int> map;
  int calls = 0;
  EXPECT_FALSE(map.update_with(uid_of(1), [&](int&) { ++calls; }));
  EXPECT_FALSE(map.find_with(uid_of(1), [&](const int&) { ++calls; }));
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(map.size(), 0u);  // neither call created an entry
  map.insert(uid_of(1), 41);
  EXPECT_TRUE(map.update_with(uid_of(1), [](int& value) { ++value; }));
  int seen = 0;
  EXPECT_TRUE(map.find_with(uid_of(1), [&](const int& value) { seen = value; }));
  EXPECT_EQ(seen, 42);
}

TEST(ShardedMap, EdgeKeysAreOrderedPairs) {
  ShardedMap<EdgeUid, int> map;
  const Uid a = uid_of(1);
  const Uid b = uid_of(2);
  map.insert(EdgeUid{a, b}, 1);
  map.insert(EdgeUid{b, a}, 2);
  map.insert(EdgeUid{a, a}, 3);
  EXPECT_EQ(map.size(), 3u);
  EXPECT_EQ(map.get(EdgeUid{a, b}), 1);
  EXPECT_EQ(map.get(EdgeUid{b, a}), 2);
  EXPECT_EQ(map.get(EdgeUid{a, a}), 3);
  EXPECT_EQ(map.get(EdgeUid{b, b}), std::nullopt);
}

TEST(ShardedMap, TextKeysUseTheGenericHash) {
  ShardedMap<std::string, int> map;
  map.insert("x", 1);
  map.insert("y", 2);
  map.insert("x", 3);
  EXPECT_EQ(map.size(), 2u);
  EXPECT_EQ(map.get("x"), 3);
  EXPECT_EQ(map.get("y"), 2);
  EXPECT_EQ(map.get("z"), std::nullopt);
}

// Many keys in few shards: the in-shard tables grow and must keep every entry.
TEST(ShardedMap, KeepsManyKeysAndListsEachOnce) {
  ShardedMap<Uid, std::uint64_t> map(4);
  constexpr std::uint64_t kKeys = 20000;
  for (std::uint64_t i = 0; i < kKeys; ++i) map.insert(uid_of(i), i);
  EXPECT_EQ(map.size(), kKeys);
  for (std::uint64_t i = 0; i < kKeys; ++i) ASSERT_EQ(map.get(uid_of(i)), i);
  std::vector<Uid> keys = map.keys();
  std::vector<Uid> expected;
  for (std::uint64_t i = 0; i < kKeys; ++i) expected.push_back(uid_of(i));
  std::sort(keys.begin(), keys.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(keys, expected);
}

// --- map operations from many threads ---------------------------------------------

struct Owned {
  int owner;
  std::string text;  // long enough to live on the heap: a torn value shows
};

Owned owned_by(int owner) {
  return Owned{owner, std::string(300, static_cast<char>('a' + owner))};
}

bool complete(const Owned& value) {
  return value.text == owned_by(value.owner).text;
}

TEST(ShardedMapConcurrency, TryInsertOfOneKeyHasExactlyOneWinner) {
  ShardedMap<Uid, Owned> map;
  constexpr int kKeys = 300;
  std::vector<std::atomic<int>> winners(kKeys);
  std::vector<std::atomic<int>> winner_of(kKeys);
  std::atomic<int> made{0};
  std::atomic<int> incomplete{0};
  run_threads(kThreads, [&](int thread) {
    for (int key = 0; key < kKeys; ++key) {
      const bool won = map.try_insert(uid_of(key), [&] {
        ++made;
        return owned_by(thread);
      });
      if (won) {
        ++winners[key];
        winner_of[key] = thread;
      }
      // Winner or not, the entry is there and complete as soon as the call returns.
      const bool found = map.find_with(uid_of(key), [&](const Owned& value) {
        if (!complete(value)) ++incomplete;
      });
      if (!found) ++incomplete;
    }
  });
  EXPECT_EQ(made, kKeys);
  EXPECT_EQ(incomplete, 0);
  EXPECT_EQ(map.size(), static_cast<std::size_t>(kKeys));
  for (int key = 0; key < kKeys; ++key) {
    ASSERT_EQ(winners[key], 1) << "key " << key;
    std::optional<Owned> stored = map.get(uid_of(key));
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->owner, winner_of[key]);
  }
}

TEST(ShardedMapConcurrency, DifferentKeysFromManyThreadsAreAllKept) {
  ShardedMap<Uid, std::uint64_t> map;
  ShardedSet<Uid> set;
  constexpr std::uint64_t kPerThread = 4000;
  std::atomic<int> refused{0};
  run_threads(kThreads, [&](int thread) {
    for (std::uint64_t i = 0; i < kPerThread; ++i) {
      const std::uint64_t n = thread * kPerThread + i;
      if (map.insert(uid_of(n), n).has_value()) ++refused;
      if (!set.insert(uid_of(n))) ++refused;
    }
  });
  EXPECT_EQ(refused, 0);
  EXPECT_EQ(map.size(), kThreads * kPerThread);
  EXPECT_EQ(set.size(), kThreads * kPerThread);
  for (std::uint64_t n = 0; n < kThreads * kPerThread; ++n) {
    ASSERT_EQ(map.get(uid_of(n)), n);
    ASSERT_TRUE(set.contains(uid_of(n)));
  }
}

TEST(ShardedMapConcurrency, EraseHandsEachValueToExactlyOneThread) {
  ShardedMap<Uid, std::uint64_t> map;
  constexpr std::uint64_t kKeys = 5000;
  for (std::uint64_t i = 0; i < kKeys; ++i) map.insert(uid_of(i), i);
  std::vector<std::atomic<int>> handed(kKeys);
  std::atomic<int> wrong{0};
  run_threads(kThreads, [&](int thread) {
    std::vector<std::uint64_t> order(kKeys);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(thread));
    for (std::uint64_t i : order) {
      if (thread % 4 == 3) {  // a reader among the erasers
        map.find_with(uid_of(i), [&](const std::uint64_t& value) {
          if (value != i) ++wrong;
        });
      } else if (std::optional<std::uint64_t> value = map.erase(uid_of(i))) {
        if (*value != i) ++wrong;
        ++handed[i];
      }
    }
  });
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(map.size(), 0u);
  for (std::uint64_t i = 0; i < kKeys; ++i) ASSERT_EQ(handed[i], 1) << "key " << i;
}

// Updaters, readers and threads that insert and erase keys of their own, all at
// once on one map: no update is lost, no reader sees half an update, and every
// insertion and erasure sees exactly its own entry.
TEST(ShardedMapConcurrency, MixedInsertEraseFindUpdateLoseNothing) {
  struct Pair {
    long first = 0;
    long second = 0;
  };
  ShardedMap<Uid, Pair> map;
  constexpr int kShared = 64;
  constexpr int kRounds = 3000;
  for (int key = 0; key < kShared; ++key) map.insert(uid_of(key), Pair{});
  std::atomic<int> faults{0};
  std::atomic<long> updates{0};
  run_threads(kThreads, [&](int thread) {
    std::mt19937 random(thread);
    for (int round = 0; round < kRounds; ++round) {
      const Uid shared = uid_of(random() % kShared);
      switch (thread % 3) {
        case 0:
          if (!map.update_with(shared, [](Pair& pair) { ++pair.first, ++pair.second; })) ++faults;
          ++updates;
          break;
        case 1:
          if (!map.find_with(shared, [&](const Pair& pair) {
                if (pair.first != pair.second) ++faults;
              })) {
            ++faults;
          }
          break;
        default: {
          const Uid own = uid_of(1000 + thread * kRounds + round);
          if (map.insert(own, Pair{round, round}).has_value()) ++faults;
          std::optional<Pair> back = map.erase(own);
          if (!back || back->first != round) ++faults;
        }
      }
    }
  });
  EXPECT_EQ(faults, 0);
  EXPECT_EQ(map.size(), static_cast<std::size_t>(kShared));
  long total = 0;
  for (int key = 0; key < kShared; ++key) total += map.get(uid_of(key))->first;
  EXPECT_EQ(total, updates);
}

TEST(ShardedMapConcurrency, NestedReadOfTheSameShardWhileWriterWaits) {
  struct State {
    ShardedMap<Uid, int> map;
    std::atomic<bool> writer_started{false};
    std::atomic<bool> writer_done{false};
    std::optional<int> nested;
    bool writer_done_during_read = false;
    std::thread writer;
  };
  auto state = std::make_shared<State>();
  const Uid key = uid_of(7);
  state->map.insert(key, 1);
  const bool finished = finishes_within(20s, [state, key] {
    state->map.find_with(key, [&](const int&) {
      state->writer = std::thread([state, key] {
        state->writer_started = true;
        state->map.insert(key, 2);  // same key, same shard: waits for our read
        state->writer_done = true;
      });
      while (!state->writer_started) std::this_thread::yield();
      std::this_thread::sleep_for(kSettle);
      state->nested = state->map.get(key);
      state->writer_done_during_read = state->writer_done;
    });
    state->writer.join();
  });
  ASSERT_TRUE(finished) << "a nested read deadlocked behind a waiting writer";
  EXPECT_EQ(state->nested, 1);
  EXPECT_FALSE(state->writer_done_during_read);
  EXPECT_EQ(state->map.get(key), 2);
}

// --- parallel scans ---------------------------------------------------------------

TEST(ShardedMapScan, VisitsEveryEntryOnceAndReportsCompletion) {
  ShardedMap<Uid, std::uint64_t> map;
  constexpr std::uint64_t kKeys = 10000;
  for (std::uint64_t i = 0; i < kKeys; ++i) map.insert(uid_of(i), i);
  std::vector<std::atomic<int>> seen(kKeys);
  Result<bool> done =
      map.try_par_scan([&](const Uid& key, const std::uint64_t& value) -> Result<Flow> {
        if (key != uid_of(value)) return fail(kind::NodeNotFound{key, "wrong value"});
        ++seen[value];
        return Flow::Continue;
      });
  ASSERT_TRUE(done.has_value());
  EXPECT_TRUE(*done);
  for (std::uint64_t i = 0; i < kKeys; ++i) ASSERT_EQ(seen[i], 1) << "key " << i;
}

TEST(ShardedMapScan, StableEntriesAreSeenOnceWhileOthersInsert) {
  ShardedMap<Uid, std::uint64_t> map;
  static constexpr std::uint64_t kStable = 4000;
  constexpr std::uint64_t kPerWriter = 4000;
  constexpr int kWriters = 3;
  for (std::uint64_t i = 0; i < kStable; ++i) map.insert(uid_of(i), i);
  std::atomic<bool> writers_done{false};
  std::atomic<int> faults{0};
  std::thread scanner([&] {
    int scans = 0;
    while (!writers_done || scans < 2) {
      ++scans;
      std::vector<std::atomic<int>> seen(kStable);
      std::atomic<std::uint64_t> visited{0};
      Result<bool> done =
          map.try_par_scan([&](const Uid& key, const std::uint64_t& value) -> Result<Flow> {
            ++visited;
            // A nested lookup in the same shard while writers queue on it.
            if (map.get(key) != value) ++faults;
            if (value < kStable) ++seen[value];
            return Flow::Continue;
          });
      if (!done || !*done) ++faults;
      for (auto& count : seen) {
        if (count != 1) ++faults;
      }
      if (visited < kStable || visited > kStable + kWriters * kPerWriter) ++faults;
      Result<std::vector<Uid>> picked = map.try_par_collect(
          [](const Uid& key, const std::uint64_t& value) -> Result<std::optional<Uid>> {
            if (value < kStable) return key;
            return std::nullopt;
          });
      if (!picked || picked->size() != kStable) ++faults;
    }
  });
  run_threads(kWriters, [&](int writer) {
    for (std::uint64_t i = 0; i < kPerWriter; ++i) {
      const std::uint64_t n = kStable + writer * kPerWriter + i;
      map.insert(uid_of(n), n);
    }
  });
  writers_done = true;
  scanner.join();
  EXPECT_EQ(faults, 0);
  EXPECT_EQ(map.size(), kStable + kWriters * kPerWriter);
}

TEST(ShardedMapScan, StopsAtTheFirstError) {
  ShardedMap<Uid, std::uint64_t> map;
  constexpr std::uint64_t kKeys = 20000;
  for (std::uint64_t i = 0; i < kKeys; ++i) map.insert(uid_of(i), i);

  // Every entry fails: each shard stops at its first entry, and no shard that
  // starts after the failure visits anything.
  std::atomic<std::size_t> calls{0};
  Result<bool> all_fail =
      map.try_par_scan([&](const Uid& key, const std::uint64_t&) -> Result<Flow> {
        ++calls;
        return fail(kind::NodeNotFound{key, "scan"});
      });
  ASSERT_FALSE(all_fail.has_value());
  EXPECT_TRUE(std::holds_alternative<kind::NodeNotFound>(all_fail.error().kind()));
  EXPECT_LE(calls, map.shard_count());

  // One entry fails: that report is the one returned.
  const Uid failing = uid_of(kKeys / 2);
  Result<bool> one_fails =
      map.try_par_scan([&](const Uid& key, const std::uint64_t&) -> Result<Flow> {
        if (key == failing) return fail(kind::NodeNotFound{key, "scan"});
        return Flow::Continue;
      });
  ASSERT_FALSE(one_fails.has_value());
  EXPECT_EQ(format_report(one_fails.error()),
            "Node with Uid: '" + uid_to_hex(failing) + "' not found (scan)");

  // The collecting scan passes the failure on instead of a partial vector.
  auto collected = map.try_par_collect(
      [&](const Uid& key, const std::uint64_t& value) -> Result<std::optional<std::uint64_t>> {
        if (key == failing) return fail(kind::NodeNotFound{key, "collect"});
        return value;
      });
  ASSERT_FALSE(collected.has_value());
  EXPECT_EQ(format_report(collected.error()),
            "Node with Uid: '" + uid_to_hex(failing) + "' not found (collect)");
}

TEST(ShardedMapScan, BreakEndsTheScanWithoutError) {
  ShardedMap<Uid, std::uint64_t> map;
  for (std::uint64_t i = 0; i < 5000; ++i) map.insert(uid_of(i), i);
  std::atomic<std::size_t> calls{0};
  Result<bool> done = map.try_par_scan([&](const Uid&, const std::uint64_t&) -> Result<Flow> {
    ++calls;
    return Flow::Break;
  });
  ASSERT_TRUE(done.has_value());
  EXPECT_FALSE(*done);
  EXPECT_LE(calls, map.shard_count());
}

TEST(ShardedSet, ScansAndCollectsItsKeys) {
  ShardedSet<std::uint64_t> set;
  for (std::uint64_t i = 0; i < 3000; ++i) set.insert(i);
  EXPECT_FALSE(set.insert(5));
  EXPECT_TRUE(set.erase(5));
  EXPECT_FALSE(set.erase(5));
  std::atomic<std::uint64_t> sum{0};
  Result<bool> done = set.try_par_scan([&](const std::uint64_t& key) -> Result<Flow> {
    sum += key;
    return Flow::Continue;
  });
  ASSERT_TRUE(done.has_value() && *done);
  EXPECT_EQ(sum, 2999u * 3000u / 2 - 5);
  auto evens =
      set.try_par_collect([](const std::uint64_t& key) -> Result<std::optional<std::uint64_t>> {
        if (key % 2 == 0) return key;
        return std::nullopt;
      });
  ASSERT_TRUE(evens.has_value());
  EXPECT_EQ(evens->size(), 1500u);
  std::vector<std::uint64_t> keys = set.keys();
  EXPECT_EQ(keys.size(), 2999u);
  EXPECT_EQ(std::set<std::uint64_t>(keys.begin(), keys.end()).size(), 2999u);
}

TEST(ShardedSet, OneWinnerPerInsertAndPerErase) {
  ShardedSet<Uid> set;
  constexpr int kKeys = 500;
  std::vector<std::atomic<int>> inserted(kKeys);
  std::vector<std::atomic<int>> erased(kKeys);
  std::latch all_inserted(kThreads);  // no erase may precede a late insert
  run_threads(kThreads, [&](int) {
    for (int key = 0; key < kKeys; ++key) {
      if (set.insert(uid_of(key))) ++inserted[key];
    }
    all_inserted.arrive_and_wait();
    for (int key = 0; key < kKeys; ++key) {
      if (set.erase(uid_of(key))) ++erased[key];
    }
  });
  for (int key = 0; key < kKeys; ++key) {
    ASSERT_EQ(inserted[key], 1) << "key " << key;
    ASSERT_EQ(erased[key], 1) << "key " << key;
  }
  EXPECT_EQ(set.size(), 0u);
}

// --- small single-lock set ------------------------------------------------------

EdgeUid edge_of(std::uint64_t n) {
  return EdgeUid{uid_of(n), uid_of(n + 1)};
}

std::set<EdgeUid> contents(const SmallLockedSet<EdgeUid>& set) {
  std::vector<EdgeUid> keys = set.snapshot();
  std::set<EdgeUid> out(keys.begin(), keys.end());
  EXPECT_EQ(out.size(), keys.size()) << "a key is held twice";
  return out;
}

// Walks the set from empty through its inline, linear and hashed forms and back
// down, checking it against a reference set after every step.
TEST(SmallLockedSet, MatchesAReferenceSetThroughEveryForm) {
  SmallLockedSet<EdgeUid> set;
  std::set<EdgeUid> expected;
  EXPECT_TRUE(set.empty());
  const std::uint64_t kKeys = 4 * SmallLockedSet<EdgeUid>::kLinearLimit;
  for (std::uint64_t i = 0; i < kKeys; ++i) {
    ASSERT_TRUE(set.insert(edge_of(i)));
    ASSERT_FALSE(set.insert(edge_of(i)));
    expected.insert(edge_of(i));
    ASSERT_EQ(contents(set), expected) << "after inserting " << i;
  }
  for (std::uint64_t i = 0; i < kKeys; i += 2) {
    ASSERT_TRUE(set.erase(edge_of(i)));
    ASSERT_FALSE(set.erase(edge_of(i)));
    expected.erase(edge_of(i));
    ASSERT_EQ(contents(set), expected) << "after erasing " << i;
  }
  EXPECT_EQ(set.size(), expected.size());
  EXPECT_TRUE(set.contains(edge_of(1)));
  EXPECT_FALSE(set.contains(edge_of(0)));
  // The pair's order matters.
  EXPECT_FALSE(set.contains(EdgeUid{uid_of(2), uid_of(1)}));
}

TEST(SmallLockedSet, ErasesFromEveryPositionOfTheSmallForm) {
  for (std::uint64_t victim = 0; victim < 3; ++victim) {
    SmallLockedSet<EdgeUid> set;
    for (std::uint64_t i = 0; i < 3; ++i) set.insert(edge_of(i));
    ASSERT_TRUE(set.erase(edge_of(victim)));
    std::set<EdgeUid> expected{edge_of(0), edge_of(1), edge_of(2)};
    expected.erase(edge_of(victim));
    EXPECT_EQ(contents(set), expected) << "erasing " << victim;
  }
}

TEST(SmallLockedSet, ConcurrentWritersKeepExactContents) {
  SmallLockedSet<EdgeUid> set;
  constexpr std::uint64_t kPerThread = 200;
  std::atomic<int> shared_wins{0};
  std::atomic<int> faults{0};
  run_threads(kThreads, [&](int thread) {
    if (set.insert(edge_of(1u << 30))) ++shared_wins;
    for (std::uint64_t i = 0; i < kPerThread; ++i) {
      const EdgeUid own = edge_of(thread * kPerThread + i);
      if (!set.insert(own)) ++faults;
      if (!set.contains(own)) ++faults;
      if (i % 2 == 1 && !set.erase(own)) ++faults;
    }
  });
  EXPECT_EQ(shared_wins, 1);
  EXPECT_EQ(faults, 0);
  std::set<EdgeUid> expected{edge_of(1u << 30)};
  for (std::uint64_t n = 0; n < kThreads * kPerThread; n += 2) expected.insert(edge_of(n));
  EXPECT_EQ(contents(set), expected);
}

// A node's edge sets exist once per node that has edges; keep them small.
TEST(SmallLockedSet, AnEdgeSetStaysWithinABudget) {
  EXPECT_LE(sizeof(SmallLockedSet<EdgeUid>), 96u);
}

}  // namespace
}  // namespace korvale
