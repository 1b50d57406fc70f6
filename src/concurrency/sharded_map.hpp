// Sharded concurrent hash maps and sets for the store's tables, and a small
// single-lock set for the per-node edge sets.
//
// A sharded container splits its keys over a power-of-two number of shards,
// each an absl flat hash table (entries inline, no per-entry allocation) behind
// its own reader-writer lock, so threads touching different shards never
// contend. Every operation locks exactly one shard, for that one operation;
// callbacks run while the shard is locked. Reads nest: a callback running under
// a read lock may read the same container again, even the same shard, while a
// writer waits (see rwlock.hpp). A callback must never write to the container
// whose lock it runs under: that deadlocks.
//
// Every container draws its own random seed, mixed into both the shard choice
// and the in-shard hash, so no two containers share a collision pattern.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <absl/base/thread_annotations.h>
#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>
#include <absl/container/inlined_vector.h>
#include <absl/hash/hash.h>

#include "base/uid.hpp"
#include "concurrency/parallel.hpp"
#include "concurrency/rwlock.hpp"
#include "errors/report.hpp"
#include "memory/counted_ptr.hpp"
#include "memory/page_allocator.hpp"

namespace korvale {

// The shard count for a machine with `processors` hardware threads: the next
// power of two at or above four times that number; 4 when it is unknown (0).
std::size_t shard_count_for(unsigned processors);

// shard_count_for(std::thread::hardware_concurrency()), computed once.
std::size_t default_shard_count();

// The unseeded 64-bit hash of a key; the containers mix in their seed. Keys
// without a specialisation use absl::Hash.
template <class K>
struct ShardHash {
  std::uint64_t operator()(const K& key) const { return absl::Hash<K>{}(key); }
};

// A Uid is a SHA-256 digest, already uniform: eight of its bytes are enough.
template <>
struct ShardHash<Uid> {
  std::uint64_t operator()(const Uid& uid) const noexcept {
    std::uint64_t word;
    std::memcpy(&word, uid.data(), sizeof word);
    return word;
  }
};

// Asymmetric in its two halves, so (a, b) and (b, a) hash apart.
template <>
struct ShardHash<EdgeUid> {
  std::uint64_t operator()(const EdgeUid& edge) const noexcept {
    const ShardHash<Uid> part;
    return part(edge.start) ^ std::rotl(part(edge.end) * 0x9e3779b97f4a7c15ULL, 31);
  }
};

namespace sharded_detail {

// A full-avalanche 64-bit finaliser (the splitmix64 one).
inline std::uint64_t mix(std::uint64_t x) noexcept {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

// A seed distinct for every call in the process, from a random base drawn once.
std::uint64_t new_seed() noexcept;

template <class K, class Hash>
struct SeededHash {
  std::uint64_t seed = 0;
  std::size_t operator()(const K& key) const { return mix(Hash{}(key) ^ seed); }
};

// Maps Result<std::optional<R>> to R for the collecting scans.
template <class T>
struct Collected;
template <class R>
struct Collected<Result<std::optional<R>>> {
  using type = R;
};

// The shard array shared by ShardedMap and ShardedSet: shard choice, locking
// and the parallel scans. `Table` is an absl flat hash map or set.
template <class Table>
class Shards {
 public:
  using Key = typename Table::key_type;
  using Hasher = typename Table::hasher;

  Shards(std::size_t count, std::uint64_t seed)
      : mask_(count - 1), hasher_{seed}, shards_(std::make_unique<Shard[]>(count)), locks_(count) {
    assert(std::has_single_bit(count));  // shard choice masks the hash
    for (std::size_t i = 0; i < count; ++i) shards_[i].table = Table(0, hasher_);
  }

  std::size_t count() const { return mask_ + 1; }

  // f(const Table&) under the key's shard read lock.
  template <class F>
  decltype(auto) read(const Key& key, F&& f) const {
    const std::size_t i = index_for(key);
    const ShardReadLock guard(locks_, i);
    return f(table(i));
  }

  // f(Table&) under the key's shard write lock.
  template <class F>
  decltype(auto) write(const Key& key, F&& f) {
    const std::size_t i = index_for(key);
    const ShardWriteLock guard(locks_, i);
    return f(table(i));
  }

  std::size_t size() const {
    std::size_t total = 0;
    for (std::size_t i = 0; i < count(); ++i) {
      const ShardReadLock guard(locks_, i);
      total += table(i).size();
    }
    return total;
  }

  // visit(shard index, entry) -> Result<Flow> for every entry, the shards in
  // parallel on the pool, each under its read lock. Once one entry breaks or
  // fails, the other shards stop at their next entry.
  //
  // A visit may start a nested parallel loop while it holds the shard lock;
  // try_par_until isolates its waits, so this thread then runs only items of
  // that loop, never an unrelated task that wants this shard's write lock.
  template <class Visit>
  Result<bool> scan(Visit&& visit) const {
    return scan_where([](const auto&) { return true; }, visit);
  }

  // As scan, visiting only the entries for which keep(entry) holds. keep is
  // called for every entry and should be a cheap test of the entry itself:
  // it runs before anything else per entry, so that a scan passing over most
  // entries costs little more than reading them.
  template <class Keep, class Visit>
  Result<bool> scan_where(const Keep& keep, Visit&& visit) const {
    std::atomic<bool> stop{false};
    return try_par_until(count(), [&](std::size_t i) -> Result<Flow> {
      const ShardReadLock guard(locks_, i);
      const Keep keep_here = keep;  // a local copy the loop can keep in registers
      for (const auto& entry : table(i)) {
        if (!keep_here(entry)) continue;
        if (stop.load(std::memory_order_relaxed)) break;
        Result<Flow> flow = visit(i, entry);
        if (!flow || *flow == Flow::Break) {
          stop.store(true, std::memory_order_relaxed);
          return flow;
        }
      }
      return Flow::Continue;
    });
  }

  // pick(entry) -> Result<std::optional<R>> for every entry, in parallel;
  // returns the picked values (in no defined order) or the first failure.
  template <class Pick>
  auto collect(Pick&& pick) const {
    using Picked = std::invoke_result_t<Pick&, const typename Table::value_type&>;
    using R = typename Collected<Picked>::type;
    std::vector<std::vector<R>> parts(count());
    Result<bool> done = scan([&](std::size_t i, const auto& entry) -> Result<Flow> {
      Picked picked = pick(entry);
      if (!picked) return fail(std::move(picked.error()));
      if (*picked) parts[i].push_back(std::move(**picked));
      return Flow::Continue;
    });
    return concatenate(std::move(done), parts);
  }

 private:
  struct alignas(64) Shard {
    Table table;
  };

  // Shard i's table, for code that holds a lock of the set: through these the
  // analysis checks that one is held (pt_guarded_by does not apply to a
  // std::unique_ptr of an array). Which shard's lock it is, it cannot tell.
  const Table& table(std::size_t i) const ABSL_SHARED_LOCKS_REQUIRED(locks_) {
    return shards_[i].table;
  }
  Table& table(std::size_t i) ABSL_EXCLUSIVE_LOCKS_REQUIRED(locks_) { return shards_[i].table; }

  // Shard bits come from the top of the seeded hash; absl positions entries by
  // the low bits, so the two choices stay independent.
  std::size_t index_for(const Key& key) const { return (hasher_(key) >> 40) & mask_; }

  template <class R>
  static Result<std::vector<R>> concatenate(Result<bool> done, std::vector<std::vector<R>>& parts) {
    if (!done) return fail(std::move(done.error()));
    std::size_t total = 0;
    for (const auto& part : parts) total += part.size();
    std::vector<R> out;
    out.reserve(total);
    for (auto& part : parts) std::move(part.begin(), part.end(), std::back_inserter(out));
    return out;
  }

  std::size_t mask_;
  Hasher hasher_;
  std::unique_ptr<Shard[]> shards_;
  mutable ShardLocks locks_;
};

// Largest explicit shard count accepted; the shard choice uses 24 hash bits.
inline constexpr std::size_t kMaxShards = std::size_t{1} << 24;

inline std::size_t round_shard_count(std::size_t requested) {
  return std::bit_ceil(std::clamp<std::size_t>(requested, 1, kMaxShards));
}

}  // namespace sharded_detail

// A concurrent map from K to V. Values live inline in the shard tables; a
// large or shared value belongs behind a handle (std::shared_ptr), since
// readers copy values out (`get`) or read them under the shard lock.
template <class K, class V, class Hash = ShardHash<K>, class Eq = std::equal_to<K>>
class ShardedMap {
  using Table = absl::flat_hash_map<K, V, sharded_detail::SeededHash<K, Hash>, Eq,
                                    PageAllocator<std::pair<const K, V>>>;

 public:
  // default_shard_count() shards.
  ShardedMap() : ShardedMap(default_shard_count()) {}
  // `shard_count` rounded up to a power of two (1 to 2^24).
  explicit ShardedMap(std::size_t shard_count)
      : shards_(sharded_detail::round_shard_count(shard_count), sharded_detail::new_seed()) {}

  // Calls f(const V&) under the shard's read lock if the key is present;
  // returns whether it was.
  template <class F>
  bool find_with(const K& key, F&& f) const {
    return shards_.read(key, [&](const Table& table) {
      auto it = table.find(key);
      if (it == table.end()) return false;
      f(it->second);
      return true;
    });
  }

  bool contains(const K& key) const {
    return shards_.read(key, [&](const Table& table) { return table.contains(key); });
  }

  // A copy of the value, taken under the read lock.
  std::optional<V> get(const K& key) const {
    std::optional<V> out;
    find_with(key, [&](const V& value) { out.emplace(value); });
    return out;
  }

  // Inserts or replaces; returns the value replaced, if any (destroyed by the
  // caller, outside the lock).
  std::optional<V> insert(K key, V value) {
    return shards_.write(key, [&](Table& table) -> std::optional<V> {
      auto [it, inserted] = table.try_emplace(std::move(key), std::move(value));
      if (inserted) return std::nullopt;
      return std::exchange(it->second, std::move(value));
    });
  }

  // Removes the key; returns its value if it was present. When threads erase
  // one key at once, exactly one of them gets the value.
  std::optional<V> erase(const K& key) {
    return shards_.write(key, [&](Table& table) -> std::optional<V> {
      auto it = table.find(key);
      if (it == table.end()) return std::nullopt;
      std::optional<V> old(std::move(it->second));
      table.erase(it);
      return old;
    });
  }

  // Calls f(V&) under the shard's write lock if the key is present; returns
  // whether it was. f must not touch this map.
  template <class F>
  bool update_with(const K& key, F&& f) {
    return shards_.write(key, [&](Table& table) {
      auto it = table.find(key);
      if (it == table.end()) return false;
      f(it->second);
      return true;
    });
  }

  // Inserts make_value() under the key if the key is absent, as one step under
  // the shard's write lock; make_value runs only then, and must not touch
  // this map. Returns whether this call inserted.
  template <class Make>
  bool try_insert(const K& key, Make&& make_value) {
    return shards_.write(key, [&](Table& table) {
      bool inserted = false;
      table.lazy_emplace(key, [&](const auto& construct) {
        construct(key, make_value());
        inserted = true;
      });
      return inserted;
    });
  }

  // The number of entries: exact when no writer runs meanwhile.
  std::size_t size() const { return shards_.size(); }
  std::size_t shard_count() const { return shards_.count(); }

  // Runs f(const K&, const V&) -> Result<Flow> for every entry, shards in
  // parallel on the pool, each shard under its read lock. Returns true when
  // every call continued, false when one broke, or the report of a failing
  // call; after a break or failure the other shards stop at their next entry.
  // Entries inserted or erased meanwhile may or may not be visited.
  template <class F>
  Result<bool> try_par_scan(F&& f) const {
    return shards_.scan(
        [&](std::size_t, const auto& entry) { return f(entry.first, entry.second); });
  }

  // As try_par_scan, calling f(shard, const K&, const V&) only for the
  // entries whose value passes keep(const V&), a cheap test that runs for
  // every entry first. `shard` is below shard_count(); one task visits a
  // shard's entries in turn, so f may keep state per shard without a lock.
  template <class Keep, class F>
  Result<bool> try_par_scan_where(const Keep& keep, F&& f) const {
    return shards_.scan_where(
        [keep](const auto& entry) { return keep(entry.second); },
        [&](std::size_t shard, const auto& entry) { return f(shard, entry.first, entry.second); });
  }

  // Runs f(const K&, const V&) -> Result<std::optional<R>> for every entry in
  // parallel as try_par_scan does; returns the values picked (in no defined
  // order) or the report of a failing call.
  template <class F>
  auto try_par_collect(F&& f) const {
    return shards_.collect([&](const auto& entry) { return f(entry.first, entry.second); });
  }

  // Every key, gathered in parallel, in no defined order. Runs whole even
  // while the current call is being interrupted: it cannot fail.
  std::vector<K> keys() const {
    const InterruptionScope uninterruptible(nullptr);
    return *shards_.collect(
        [](const auto& entry) -> Result<std::optional<K>> { return entry.first; });
  }

 private:
  sharded_detail::Shards<Table> shards_;
};

// A concurrent set of K; the operations of ShardedMap that make sense for keys.
template <class K, class Hash = ShardHash<K>, class Eq = std::equal_to<K>>
class ShardedSet {
  using Table = absl::flat_hash_set<K, sharded_detail::SeededHash<K, Hash>, Eq, PageAllocator<K>>;

 public:
  ShardedSet() : ShardedSet(default_shard_count()) {}
  explicit ShardedSet(std::size_t shard_count)
      : shards_(sharded_detail::round_shard_count(shard_count), sharded_detail::new_seed()) {}

  bool contains(const K& key) const {
    return shards_.read(key, [&](const Table& table) { return table.contains(key); });
  }

  // Returns whether the key was absent; of threads inserting one key at once,
  // exactly one gets true.
  bool insert(K key) {
    return shards_.write(key, [&](Table& table) { return table.insert(std::move(key)).second; });
  }

  // Returns whether the key was present; of threads erasing one key at once,
  // exactly one gets true.
  bool erase(const K& key) {
    return shards_.write(key, [&](Table& table) { return table.erase(key) == 1; });
  }

  std::size_t size() const { return shards_.size(); }
  std::size_t shard_count() const { return shards_.count(); }

  // As ShardedMap::try_par_scan, with f(const K&) -> Result<Flow>.
  template <class F>
  Result<bool> try_par_scan(F&& f) const {
    return shards_.scan([&](std::size_t, const K& key) { return f(key); });
  }

  // As ShardedMap::try_par_collect, with f(const K&) -> Result<std::optional<R>>.
  template <class F>
  auto try_par_collect(F&& f) const {
    return shards_.collect(f);
  }

  std::vector<K> keys() const {
    const InterruptionScope uninterruptible(nullptr);
    return *shards_.collect([](const K& key) -> Result<std::optional<K>> { return key; });
  }

 private:
  sharded_detail::Shards<Table> shards_;
};

// A set under one compact lock, for the many sets that hold a handful of keys
// (a node's edges: usually 0 to 3). Up to kInline keys live inside the object;
// up to kLinearLimit keys are kept in a small vector searched linearly; beyond
// that the set moves to a seeded flat hash set, so a node with thousands of
// edges stays fast. Every operation takes the lock once; reads nest as
// rwlock.hpp describes. Shared through CountedPtr: its count fills the word
// beside the lock.
template <class K, class Hash = ShardHash<K>, class Eq = std::equal_to<K>,
          std::size_t kInline = (sizeof(K) >= 64 ? 1 : 64 / sizeof(K))>
class SmallLockedSet : public RefCounted {
 public:
  static constexpr std::size_t kLinearLimit = 8;

  // Returns whether the key was absent.
  bool insert(const K& key);
  // Returns whether the key was present.
  bool erase(const K& key);
  bool contains(const K& key) const;
  std::size_t size() const;
  bool empty() const { return size() == 0; }

  // A copy of the keys, in no defined order.
  std::vector<K> snapshot() const;

 private:
  using Small = absl::InlinedVector<K, kInline>;
  using Large = absl::flat_hash_set<K, sharded_detail::SeededHash<K, Hash>, Eq>;

  typename Small::const_iterator find_small(const Small& small, const K& key) const {
    return std::find_if(small.begin(), small.end(), [&](const K& k) { return Eq{}(k, key); });
  }

  mutable CompactRwLock lock_;
  std::variant<Small, Large> keys_ ABSL_GUARDED_BY(lock_);
};

template <class K, class Hash, class Eq, std::size_t kInline>
bool SmallLockedSet<K, Hash, Eq, kInline>::insert(const K& key) {
  const WriteLock guard(lock_);
  if (Small* small = std::get_if<Small>(&keys_)) {
    if (find_small(*small, key) != small->end()) return false;
    if (small->size() < kLinearLimit) {
      small->push_back(key);
      return true;
    }
    Large large(2 * kLinearLimit, typename Large::hasher{sharded_detail::new_seed()});
    large.insert(small->begin(), small->end());
    large.insert(key);
    keys_ = std::move(large);
    return true;
  }
  return std::get<Large>(keys_).insert(key).second;
}

template <class K, class Hash, class Eq, std::size_t kInline>
bool SmallLockedSet<K, Hash, Eq, kInline>::erase(const K& key) {
  const WriteLock guard(lock_);
  if (Small* small = std::get_if<Small>(&keys_)) {
    auto it = find_small(*small, key);
    if (it == small->end()) return false;
    // Order is not kept: the last key fills the hole.
    auto hole = small->begin() + (it - small->cbegin());
    if (hole != small->end() - 1) *hole = std::move(small->back());
    small->pop_back();
    return true;
  }
  return std::get<Large>(keys_).erase(key) == 1;
}

template <class K, class Hash, class Eq, std::size_t kInline>
bool SmallLockedSet<K, Hash, Eq, kInline>::contains(const K& key) const {
  const ReadLock guard(lock_);
  if (const Small* small = std::get_if<Small>(&keys_)) {
    return find_small(*small, key) != small->end();
  }
  return std::get<Large>(keys_).contains(key);
}

template <class K, class Hash, class Eq, std::size_t kInline>
std::size_t SmallLockedSet<K, Hash, Eq, kInline>::size() const {
  const ReadLock guard(lock_);
  return std::visit([](const auto& keys) { return keys.size(); }, keys_);
}

template <class K, class Hash, class Eq, std::size_t kInline>
std::vector<K> SmallLockedSet<K, Hash, Eq, kInline>::snapshot() const {
  const ReadLock guard(lock_);
  return std::visit([](const auto& keys) { return std::vector<K>(keys.begin(), keys.end()); },
                    keys_);
}

}  // namespace korvale
