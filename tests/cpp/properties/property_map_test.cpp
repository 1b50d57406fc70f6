#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>

#include "properties/cmp.hpp"
#include "properties/property_map.hpp"
#include "support/allocation_probe.hpp"
#include "support/map_sharing.hpp"

namespace korvale {
namespace {

Dynamic i(std::int64_t v) {
  return Dynamic::integer(v);
}

std::vector<std::string> keys_of(const PropertyMap::Snapshot& snapshot) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : snapshot) keys.push_back(key);
  return keys;
}

TEST(PropertyMapTest, EmptyMap) {
  const PropertyMap map = PropertyMap::empty();
  EXPECT_EQ(map.to_string().value(), "{}");
  EXPECT_TRUE(map.iter().value().empty());
  EXPECT_FALSE(map.get("a").value().has_value());
  bool called = false;
  EXPECT_TRUE(map.try_par_compare([&](const std::string&, const Dynamic&) -> Result<bool> {
                   called = true;
                   return false;
                 })
                  .value());
  EXPECT_FALSE(called);
  EXPECT_FALSE(testing::share_map(PropertyMap(), map));
}

TEST(PropertyMapTest, KeysInByteOrder) {
  const PropertyMap map;
  for (const char* key : {"b", "B", "a", "aa", "\u00e9", "z", ""})
    ASSERT_TRUE(map.insert(key, i(1)));
  EXPECT_EQ(keys_of(map.iter().value()),
            (std::vector<std::string>{"", "B", "a", "aa", "b", "z", "\u00e9"}));
  EXPECT_EQ(map.to_string().value(), "{: 1, B: 1, a: 1, aa: 1, b: 1, z: 1, \u00e9: 1}");
}

TEST(PropertyMapTest, InsertReplacesExistingKeyInPlace) {
  const PropertyMap map;
  ASSERT_TRUE(map.insert("a", i(1)));
  ASSERT_TRUE(map.insert("b", i(2)));
  ASSERT_TRUE(map.insert("a", Dynamic::string("x")));
  EXPECT_EQ(map.to_string().value(), "{a: \"x\", b: 2}");
  EXPECT_EQ(map.get("a").value()->as_string(), "x");
}

TEST(PropertyMapTest, TextFormQuotesOnlyNestedKeys) {
  Dynamic::Dict inner;
  inner.insert_or_assign("b", i(1));
  const PropertyMap map;
  ASSERT_TRUE(map.insert("a", Dynamic::dict(inner)));
  EXPECT_EQ(map.to_string().value(), "{a: #{\"b\": 1}}");

  Dynamic::Dict meta;
  meta.insert_or_assign("k", Dynamic::floating(2.5));
  Dynamic::Dict entries;
  entries.insert_or_assign("name", Dynamic::string("Bob"));
  entries.insert_or_assign("age", i(3));
  entries.insert_or_assign("tags", Dynamic::list({Dynamic::string("a"), Dynamic::string("b")}));
  entries.insert_or_assign("meta", Dynamic::dict(meta));
  EXPECT_EQ(PropertyMap::from_dict(entries).to_string().value(),
            "{age: 3, meta: #{\"k\": 2.5}, name: \"Bob\", tags: [\"a\", \"b\"]}");
}

TEST(PropertyMapTest, CopiesShareOneMap) {
  const PropertyMap first;
  const PropertyMap second = first;
  EXPECT_TRUE(testing::share_map(second, first));
  ASSERT_TRUE(first.insert("k", i(7)));
  EXPECT_EQ(second.get("k").value()->as_int(), 7);
  ASSERT_TRUE(second.insert("k", i(8)));
  EXPECT_EQ(first.get("k").value()->as_int(), 8);
}

TEST(PropertyMapTest, SnapshotIsIndependentOfLaterInsertions) {
  const PropertyMap map;
  ASSERT_TRUE(map.insert("a", i(1)));
  const PropertyMap::Snapshot snapshot = map.iter().value();
  ASSERT_TRUE(map.insert("b", i(2)));
  ASSERT_TRUE(map.insert("a", i(9)));
  ASSERT_EQ(snapshot.size(), 1u);
  EXPECT_EQ(snapshot[0].first, "a");
  EXPECT_EQ(snapshot[0].second.as_int(), 1);
}

TEST(PropertyMapTest, MergeKeepsTargetKeysAndTakesSourceValues) {
  const PropertyMap target;
  ASSERT_TRUE(target.insert("keep", i(1)));
  ASSERT_TRUE(target.insert("both", i(2)));
  const PropertyMap source;
  ASSERT_TRUE(source.insert("both", i(20)));
  ASSERT_TRUE(source.insert("new", i(30)));
  ASSERT_TRUE(target.merge_from(source.iter().value()));
  EXPECT_EQ(target.to_string().value(), "{both: 20, keep: 1, new: 30}");
  EXPECT_EQ(source.to_string().value(), "{both: 20, new: 30}");
  ASSERT_TRUE(target.merge_from(target.iter().value()));  // a map merged into itself is unchanged
  EXPECT_EQ(target.to_string().value(), "{both: 20, keep: 1, new: 30}");
  // Source keys before, between, on and after the target's, in one merge.
  const PropertyMap interleaved = PropertyMap::from_dict(
      {{"a", i(5)}, {"both", i(6)}, {"c", i(7)}, {"new", i(8)}, {"z", i(9)}});
  ASSERT_TRUE(target.merge_from(interleaved.iter().value()));
  EXPECT_EQ(target.to_string().value(), "{a: 5, both: 6, c: 7, keep: 1, new: 8, z: 9}");
  ASSERT_TRUE(target.merge_from(PropertyMap().iter().value()));
  EXPECT_EQ(target.to_string().value(), "{a: 5, both: 6, c: 7, keep: 1, new: 8, z: 9}");
}

PropertyMap numbered_map(int entries) {
  const PropertyMap map;
  for (int k = 0; k < entries; ++k) EXPECT_TRUE(map.insert("k" + std::to_string(k), i(k)));
  return map;
}

TEST(PropertyMapTest, TryParCompareAgreesWhenEveryEntryPasses) {
  for (int entries : {1, 2, 3, 1000}) {
    const PropertyMap map = numbered_map(entries);
    std::atomic<int> calls{0};
    const Result<bool> result =
        map.try_par_compare([&](const std::string& key, const Dynamic& value) -> Result<bool> {
          calls.fetch_add(1);
          return key == "k" + std::to_string(value.as_int());
        });
    EXPECT_TRUE(result.value()) << entries;
    EXPECT_EQ(calls.load(), entries);
  }
}

TEST(PropertyMapTest, TryParCompareMismatchForOneEntryOfMany) {
  for (int entries : {2, 3, 1000}) {
    const PropertyMap map = numbered_map(entries);
    const Result<bool> result = map.try_par_compare(
        [&](const std::string& key, const Dynamic&) -> Result<bool> { return key != "k1"; });
    ASSERT_TRUE(result.has_value()) << entries;
    EXPECT_FALSE(*result) << entries;
  }
}

TEST(PropertyMapTest, TryParCompareReportOfOneEntryOfMany) {
  for (int entries : {1, 3, 1000}) {
    const PropertyMap map = numbered_map(entries);
    const Result<bool> result =
        map.try_par_compare([&](const std::string& key, const Dynamic&) -> Result<bool> {
          if (key == "k0") return fail(Report(kind::InvalidType{"bad"}).attach("inner [x:1]"));
          return true;
        });
    ASSERT_FALSE(result.has_value()) << entries;
    EXPECT_EQ(format_report(result.error()),
              "Invalid Type: 'bad'\n"
              " \u2192 property map - try par compare - closure [src/properties:158]\n"
              " \u2192 inner [x:1]");
  }
}

TEST(PropertyMapTest, TryParCompareWithMismatchAndReportReturnsOneOfThem) {
  const PropertyMap map = numbered_map(1000);
  const Result<bool> result =
      map.try_par_compare([&](const std::string& key, const Dynamic&) -> Result<bool> {
        if (key == "k10") return false;
        if (key == "k900") return fail(kind::InvalidType{"bad"});
        return true;
      });
  if (result.has_value()) {
    EXPECT_FALSE(*result);
  } else {
    EXPECT_TRUE(std::holds_alternative<kind::InvalidType>(result.error().kind()));
  }
}

TEST(PropertyMapTest, FilterAgainstAStoredMapLikeMatching) {
  const PropertyMap stored;
  ASSERT_TRUE(stored.insert("age", i(3)));
  ASSERT_TRUE(stored.insert("name", Dynamic::string("Bob")));
  ASSERT_TRUE(stored.insert("x", Dynamic::floating(0.3)));
  const auto filter_holds = [&](const PropertyMap& pattern) {
    return pattern
        .try_par_compare([&](const std::string& key, const Dynamic& value) -> Result<bool> {
          std::optional<Dynamic> found = KORVALE_PASS(stored.get(key));
          return found && compare_values(value, *found);
        })
        .value();
  };
  PropertyMap pattern;
  ASSERT_TRUE(pattern.insert("age", i(3)));
  ASSERT_TRUE(pattern.insert("x", Dynamic::floating(0.1 + 0.2)));
  ASSERT_TRUE(pattern.insert("name", Dynamic::string("Bob")));
  EXPECT_TRUE(filter_holds(pattern));
  ASSERT_TRUE(pattern.insert("missing", i(1)));
  EXPECT_FALSE(filter_holds(pattern));
  EXPECT_TRUE(filter_holds(stored));  // a map compared with itself
}

// A compare over a map whose predicate reads the same map again, while a writer
// waits for that map: the nested read must be admitted.
TEST(PropertyMapTest, NestedReadOfTheSameMapWhileAWriterWaits) {
  const PropertyMap map = numbered_map(8);
  std::atomic<bool> writer_started{false};
  std::atomic<bool> writer_done{false};
  std::thread writer;
  const Result<bool> result =
      map.try_par_compare([&](const std::string& key, const Dynamic& value) -> Result<bool> {
        if (!writer_started.exchange(true)) {
          writer = std::thread([&] {
            EXPECT_TRUE(map.insert("late", i(0)));
            writer_done = true;
          });
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::optional<Dynamic> again = KORVALE_PASS(map.get(key));
        return again && compare_values(value, *again);
      });
  EXPECT_TRUE(result.value());
  writer.join();
  EXPECT_TRUE(writer_done.load());
  EXPECT_EQ(map.get("late").value()->as_int(), 0);
}

TEST(PropertyMapTest, ConcurrentInsertsAndReadsLoseNothing) {
  const PropertyMap map;
  constexpr int kWriters = 4;
  constexpr int kPerWriter = 500;
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int k = 0; k < kPerWriter; ++k) {
        EXPECT_TRUE(map.insert(std::to_string(w) + "-" + std::to_string(k), i(k)));
      }
    });
  }
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&] {
      for (int k = 0; k < 200; ++k) {
        const PropertyMap::Snapshot snapshot = map.iter().value();
        const Result<std::optional<Dynamic>> value = map.get("0-0");
        ASSERT_TRUE(value.has_value());
        if (*value) {
          EXPECT_EQ((*value)->as_int(), 0);
        }
        EXPECT_TRUE(map.to_string().has_value());
        (void)snapshot;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(map.iter().value().size(), static_cast<std::size_t>(kWriters * kPerWriter));
}

// --- a poisoned map ----------------------------------------------------------

PropertyMap poisoned_map() {
  const PropertyMap map;
  // The one abnormal end an insertion can have: an allocation that throws,
  // as it would when memory runs out.
  testing::fail_next_allocation();
  EXPECT_THROW((void)map.insert("k", i(1)), std::bad_alloc);
  testing::fail_next_allocation(false);
  return map;
}

const std::string kPoisonedRead =
    "Failed to acquire read lock: 'poisoned lock: another task failed inside' (";

TEST(PoisonedPropertyMapTest, EveryOperationFailsWithItsLockError) {
  const PropertyMap map = poisoned_map();
  EXPECT_EQ(format_report(map.get("k").error()),
            kPoisonedRead + "property map - get [src/properties:131])");
  EXPECT_EQ(format_report(map.iter().error()),
            kPoisonedRead + "property map - iter [src/properties:173])");
  EXPECT_EQ(format_report(map.insert("k", i(2)).error()),
            "Failed to acquire write lock: 'poisoned lock: another task failed inside' "
            "(property map - insert [src/properties:120])");
  bool called = false;
  const Result<bool> compared =
      map.try_par_compare([&](const std::string&, const Dynamic&) -> Result<bool> {
        called = true;
        return true;
      });
  EXPECT_EQ(format_report(compared.error()),
            kPoisonedRead + "property map - try par compare [src/properties:144])");
  EXPECT_FALSE(called);
  EXPECT_FALSE(map.to_string().has_value());
  const Status visited = map.visit_locked(
      [&](const PropertyMap::Snapshot&) -> Status {
        called = true;
        return {};
      },
      "ctx [x:1]");
  EXPECT_EQ(format_report(visited.error()), kPoisonedRead + "ctx [x:1])");
  EXPECT_FALSE(called);
  // A merge writes as insert does; an empty source writes nothing.
  EXPECT_EQ(
      format_report(map.merge_from(PropertyMap::from_dict({{"k", i(3)}}).iter().value()).error()),
      "Failed to acquire write lock: 'poisoned lock: another task failed inside' "
      "(property map - insert [src/properties:120])");
  EXPECT_TRUE(map.merge_from(PropertyMap().iter().value()).has_value());
}

TEST(PoisonedPropertyMapTest, StaysPoisonedAndSpoilsNoOtherMap) {
  const PropertyMap map = poisoned_map();
  const PropertyMap copy = map;
  EXPECT_FALSE(copy.get("k").has_value());
  const PropertyMap target;
  EXPECT_FALSE(map.iter().has_value());  // nothing can be taken from it to merge
  EXPECT_TRUE(target.insert("a", i(1)));
  EXPECT_EQ(target.to_string().value(), "{a: 1}");
}

}  // namespace
}  // namespace korvale
