#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <latch>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "concurrency/parallel.hpp"
#include "errors/report.hpp"
#include "matches/match.hpp"
#include "matches/match_element.hpp"
#include "matches/match_set.hpp"

namespace korvale {
namespace {

// The id handed out first in this process. Taken by a constructor of the
// highest priority a program may use, so it runs before every static
// initializer of this binary and before any test: nothing else can have drawn
// an id by then. The counter is constant-initialised, so it already holds its
// load-time value.
std::uint64_t first_id_in_process = UINT64_MAX;
__attribute__((constructor(101))) void take_first_match_id() {
  first_id_in_process = next_match_id();
}

Uid uid_of(std::uint8_t fill) {
  Uid uid;
  uid.fill(fill);
  return uid;
}

// A Uid carrying a number in its first bytes, to tell rows apart.
Uid uid_of_number(std::uint64_t n) {
  Uid uid{};
  std::memcpy(uid.data(), &n, sizeof n);
  return uid;
}

std::uint64_t number_of(const Uid& uid) {
  std::uint64_t n;
  std::memcpy(&n, uid.data(), sizeof n);
  return n;
}

MatchElement node(std::uint8_t fill) {
  return MatchElement::Node{uid_of(fill)};
}

// Runs fn on a thread whose stack is far smaller than a pool thread's, so that
// any recursion over a long chain of layers would overflow it.
void run_on_small_stack(std::function<void()> fn) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 512 * 1024), 0);
  pthread_t thread;
  auto trampoline = [](void* arg) -> void* {
    (*static_cast<std::function<void()>*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, trampoline, &fn), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

// --- MatchElement ------------------------------------------------------------

const EdgeUid kEdge{uid_of(0x01), uid_of(0x02)};

// One element of each alternative, in declaration order.
const std::vector<MatchElement> kElements = {
    MatchElement::Type{uid_of(0xa1)}, MatchElement::Term{uid_of(0xa2)},
    MatchElement::Node{uid_of(0xa3)}, MatchElement::Edge{kEdge}};
const std::vector<std::string> kKindWords = {"type", "term", "node", "edge"};

TEST(MatchElementTest, EachConstructorHoldsItsAlternative) {
  for (std::size_t i = 0; i < kElements.size(); ++i) {
    EXPECT_EQ(kElements[i].value().index(), i) << kKindWords[i];
  }
}

// The check of kind `asked` on the element of kind `held`, as (Uid-or-pair
// formatted as text, or the rendered report).
std::string check_outcome(const MatchElement& element, std::size_t asked, OptText context) {
  auto render = [](const auto& result) -> std::string {
    if (!result) return format_report(result.error());
    if constexpr (std::is_same_v<std::decay_t<decltype(*result)>, EdgeUid>) {
      return "(" + uid_to_hex(result->start) + ", " + uid_to_hex(result->end) + ")";
    } else {
      return uid_to_hex(*result);
    }
  };
  switch (asked) {
    case 0:
      return render(element.as_type("v", std::move(context)));
    case 1:
      return render(element.as_term("v", std::move(context)));
    case 2:
      return render(element.as_node("v", std::move(context)));
    default:
      return render(element.as_edge("v", std::move(context)));
  }
}

class KindCheckTest : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t, bool>> {
};

TEST_P(KindCheckTest, ReturnsTheIdentifierOrAConflict) {
  const auto [held, asked, with_context] = GetParam();
  const OptText context = with_context ? OptText("ctx") : std::nullopt;
  const std::string outcome = check_outcome(kElements[held], asked, context);
  if (held != asked) {
    EXPECT_EQ(outcome, "Context Conflict: tried to assign variable 'v' currently holding a '" +
                           kKindWords[held] + "' to a '" + kKindWords[asked] + "'" +
                           (with_context ? " (ctx)" : ""));
  } else if (held == 3) {
    EXPECT_EQ(outcome, "(" + uid_to_hex(kEdge.start) + ", " + uid_to_hex(kEdge.end) + ")");
  } else {
    EXPECT_EQ(outcome, uid_to_hex(uid_of(static_cast<std::uint8_t>(0xa1 + held))));
  }
}

INSTANTIATE_TEST_SUITE_P(AllPairs, KindCheckTest,
                         ::testing::Combine(::testing::Range<std::size_t>(0, 4),
                                            ::testing::Range<std::size_t>(0, 4),
                                            ::testing::Bool()));

TEST(MatchElementTest, ConflictCarriesItsFields) {
  const auto result = MatchElement(MatchElement::Type{uid_of(1)}).as_node("x", "where");
  ASSERT_FALSE(result);
  const auto* conflict = std::get_if<kind::ContextConflict>(&result.error().kind());
  ASSERT_NE(conflict, nullptr);
  EXPECT_EQ(conflict->name, "x");
  EXPECT_EQ(conflict->original, "type");
  EXPECT_EQ(conflict->new_, "node");
  EXPECT_EQ(conflict->context, OptText("where"));
  EXPECT_TRUE(result.error().context_lines().empty());
}

// --- Match: one layer and its chain --------------------------------------------

TEST(MatchTest, NewRootIsEmpty) {
  const MatchPtr root = Match::new_();
  EXPECT_EQ(root->size(), 0u);
  EXPECT_FALSE(root->contains_key("x"));
  EXPECT_EQ(root->get("x"), std::nullopt);
  EXPECT_EQ(root->remove("x"), std::nullopt);
}

TEST(MatchTest, InsertBindsInTheLayerAndRefusesASecondBinding) {
  const MatchPtr layer = Match::new_();
  ASSERT_TRUE(layer->insert("x", node(1)));
  EXPECT_TRUE(layer->contains_key("x"));
  EXPECT_EQ(layer->get("x"), node(1));

  const Status again = layer->insert("x", node(2));
  ASSERT_FALSE(again);
  EXPECT_EQ(format_report(again.error()),
            "Variable already exists: 'x' (match insert [src/matches:163])");
  EXPECT_EQ(layer->get("x"), node(1));
  EXPECT_EQ(layer->size(), 1u);
}

TEST(MatchTest, ParentBindingIsSeenAndRefusedByTheChild) {
  const MatchPtr parent = Match::new_();
  ASSERT_TRUE(parent->insert("x", node(1)));
  const MatchPtr child = Match::new_(parent);
  EXPECT_EQ(parent.use_count(), 2) << "the child holds its parent";
  EXPECT_TRUE(child->contains_key("x"));
  EXPECT_EQ(child->get("x"), node(1));

  const Status refused = child->insert("x", node(2));
  ASSERT_FALSE(refused);
  const auto* exists = std::get_if<kind::VariableAlreadyExists>(&refused.error().kind());
  ASSERT_NE(exists, nullptr);
  EXPECT_EQ(exists->name, "x");
  EXPECT_EQ(exists->context, OptText("match insert [src/matches:163]"));
  EXPECT_TRUE(refused.error().context_lines().empty());
  EXPECT_EQ(child->size(), 0u);
  EXPECT_EQ(child->get("x"), node(1));
}

TEST(MatchTest, ChildBindingIsInvisibleToParentAndSiblings) {
  const MatchPtr parent = Match::new_();
  const MatchPtr child = Match::new_(parent);
  const MatchPtr sibling = Match::new_(parent);
  ASSERT_TRUE(child->insert("y", node(1)));
  EXPECT_FALSE(parent->contains_key("y"));
  EXPECT_FALSE(sibling->contains_key("y"));
  EXPECT_EQ(sibling->remove("y"), std::nullopt);
  EXPECT_TRUE(sibling->insert("y", node(2)));
  EXPECT_EQ(child->get("y"), node(1));
  EXPECT_EQ(sibling->get("y"), node(2));
}

TEST(MatchTest, RemoveThroughAChildUnbindsForEveryRowOfTheParent) {
  const MatchPtr parent = Match::new_();
  ASSERT_TRUE(parent->insert("x", node(1)));
  const MatchPtr child = Match::new_(parent);
  const MatchPtr sibling = Match::new_(parent);

  EXPECT_EQ(child->remove("x"), node(1));
  EXPECT_FALSE(sibling->contains_key("x"));
  EXPECT_EQ(sibling->get("x"), std::nullopt);
  EXPECT_EQ(parent->size(), 0u);
  EXPECT_EQ(child->remove("x"), std::nullopt);
  EXPECT_EQ(sibling->remove("x"), std::nullopt);
  // Once removed, the name may be bound again.
  EXPECT_TRUE(sibling->insert("x", node(3)));
}

TEST(MatchTest, LookupPrefersTheRootAndRemovalTheNearestLayer) {
  // Two bindings of one name in a chain arise only when an ancestor is filled
  // after its child: insert checks the chain above, never the layers below.
  const MatchPtr root = Match::new_();
  const MatchPtr middle = Match::new_(root);
  const MatchPtr leaf = Match::new_(middle);
  ASSERT_TRUE(leaf->insert("x", node(3)));
  ASSERT_TRUE(middle->insert("x", node(2)));
  ASSERT_TRUE(root->insert("x", node(1)));

  EXPECT_EQ(leaf->get("x"), node(1));
  EXPECT_EQ(leaf->remove("x"), node(3));
  EXPECT_EQ(leaf->get("x"), node(1));
  EXPECT_EQ(leaf->remove("x"), node(2));
  EXPECT_EQ(leaf->remove("x"), node(1));
  EXPECT_EQ(leaf->remove("x"), std::nullopt);
  EXPECT_FALSE(leaf->contains_key("x"));
}

TEST(MatchTest, NamesCompareByteForByte) {
  const std::vector<std::string> names = {"x",
                                          "X",
                                          "x ",
                                          "",
                                          "\xc3\xa9" /* é, one code point */,
                                          "e\xcc\x81" /* e + combining acute */,
                                          std::string("a\0b", 3),
                                          "a"};
  const MatchPtr layer = Match::new_();
  for (std::size_t i = 0; i < names.size(); ++i) {
    ASSERT_TRUE(layer->insert(names[i], node(static_cast<std::uint8_t>(i)))) << i;
  }
  const MatchPtr child = Match::new_(layer);
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(child->get(names[i]), node(static_cast<std::uint8_t>(i))) << i;
  }
  EXPECT_FALSE(child->contains_key(std::string_view("a\0", 2)));
}

TEST(MatchTest, LayerBeyondItsInlineCapacityKeepsEveryBinding) {
  const MatchPtr layer = Match::new_();
  for (std::uint8_t i = 0; i < 7; ++i) ASSERT_TRUE(layer->insert("v" + std::to_string(i), node(i)));
  EXPECT_EQ(layer->size(), 7u);
  EXPECT_EQ(layer->remove("v0"), node(0));
  EXPECT_EQ(layer->remove("v3"), node(3));
  EXPECT_EQ(layer->size(), 5u);
  for (std::uint8_t i : {1, 2, 4, 5, 6}) EXPECT_EQ(layer->get("v" + std::to_string(i)), node(i));
  EXPECT_FALSE(layer->contains_key("v0"));
  EXPECT_FALSE(layer->contains_key("v3"));
  // A removed name may be bound again in the same layer.
  ASSERT_TRUE(layer->insert("v3", node(30)));
  EXPECT_EQ(layer->get("v3"), node(30));
  EXPECT_EQ(layer->size(), 6u);
  EXPECT_EQ(layer->remove("v3"), node(30));
  EXPECT_EQ(layer->remove("v3"), std::nullopt);
}

TEST(MatchTest, LongChainIsWalkedAndReleasedWithoutRecursion) {
  constexpr int kDepth = 100'000;
  run_on_small_stack([] {
    MatchPtr leaf = Match::new_();
    const std::weak_ptr<Match> root = leaf;
    ASSERT_TRUE(leaf->insert("deep", node(1)));
    MatchPtr middle;
    for (int i = 1; i < kDepth; ++i) {
      leaf = Match::new_(std::move(leaf));
      if (i == kDepth / 2) middle = leaf;
    }
    ASSERT_TRUE(leaf->insert("top", node(2)));
    EXPECT_TRUE(leaf->contains_key("deep"));
    EXPECT_EQ(leaf->get("deep"), node(1));
    EXPECT_EQ(leaf->get("absent"), std::nullopt);
    EXPECT_FALSE(leaf->insert("deep", node(3)));

    // Releasing the leaf frees the upper half; the layer still held keeps its
    // ancestors, bindings included.
    leaf.reset();
    EXPECT_FALSE(root.expired());
    EXPECT_EQ(middle->get("deep"), node(1));
    EXPECT_EQ(middle->remove("deep"), node(1));
    middle.reset();
    EXPECT_TRUE(root.expired());
  });
}

// --- MatchSet and the row counter ------------------------------------------------

TEST(MatchIdTest, FirstIdOfTheProcessIsZero) {
  EXPECT_EQ(first_id_in_process, 0u);
  EXPECT_GT(MATCH_ID_COUNTER.load(), first_id_in_process);
}

TEST(MatchIdTest, EachCallTakesTheNextValue) {
  // Other tests of this binary run one at a time, so nothing else draws ids here.
  const std::uint64_t before = MATCH_ID_COUNTER.load();
  EXPECT_EQ(next_match_id(), before);
  EXPECT_EQ(next_match_id(), before + 1);
  EXPECT_EQ(MATCH_ID_COUNTER.load(), before + 2);
}

TEST(MatchIdTest, ConcurrentCallsHandOutEveryValueOnce) {
  constexpr std::size_t kIds = 50'000;
  const std::uint64_t before = MATCH_ID_COUNTER.load();
  std::vector<std::uint64_t> ids(kIds);
  ASSERT_TRUE(try_par_for(kIds, [&](std::size_t i) -> Status {
    ids[i] = next_match_id();
    return {};
  }));
  std::sort(ids.begin(), ids.end());
  for (std::size_t i = 0; i < kIds; ++i) ASSERT_EQ(ids[i], before + i);
}

TEST(MatchSetTest, DefaultSetHoldsOneEmptyRootRow) {
  const MatchSet first = default_match_set();
  const MatchSet second = default_match_set();
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  const MatchRow& row = first.rows()[0];
  EXPECT_EQ(row.last_uid, Uid{});
  ASSERT_NE(row.match, nullptr);
  EXPECT_EQ(row.match->size(), 0u);
  EXPECT_FALSE(row.match->contains_key("x")) << "nothing bound, in the layer or above";
  EXPECT_GT(second.rows()[0].match_id, row.match_id);
  EXPECT_NE(second.rows()[0].match, row.match);
}

TEST(MatchSetTest, NewSetIsEmpty) {
  const MatchSet set;
  EXPECT_TRUE(set.empty());
  EXPECT_TRUE(set.rows().empty());
  int calls = 0;
  EXPECT_TRUE(set.try_par_for([&](const MatchRow&) -> Status {
    ++calls;
    return {};
  }));
  EXPECT_EQ(calls, 0);
}

TEST(MatchSetTest, CopiesShareTheRowsAndViewsSeeEachRowOnce) {
  MatchSet set;
  MatchSet copy = set;
  const MatchPtr shared = Match::new_();
  for (std::uint64_t n = 0; n < 5; ++n) {
    (n % 2 ? set : copy).insert(MatchRow{next_match_id(), uid_of_number(n), shared});
  }
  EXPECT_EQ(set.size(), 5u);
  EXPECT_EQ(copy.size(), 5u);

  const MatchSet::View view = copy.rows();
  std::multiset<std::uint64_t> by_index;
  for (std::size_t i = 0; i < view.size(); ++i) by_index.insert(number_of(view[i].last_uid));
  std::multiset<std::uint64_t> by_visit;
  std::mutex visited;
  ASSERT_TRUE(set.try_par_for([&](const MatchRow& row) -> Status {
    const std::lock_guard guard(visited);
    by_visit.insert(number_of(row.last_uid));
    EXPECT_EQ(row.match, shared);
    return {};
  }));
  const std::multiset<std::uint64_t> expected = {0, 1, 2, 3, 4};
  EXPECT_EQ(by_index, expected);
  EXPECT_EQ(by_visit, expected);
}

TEST(MatchSetTest, ViewKeepsRowsAliveAfterTheLastHandle) {
  std::optional<MatchSet::View> view;
  std::weak_ptr<Match> layer;
  {
    MatchSet set = default_match_set();
    view = set.rows();
    layer = (*view)[0].match;
  }
  EXPECT_FALSE(layer.expired());
  EXPECT_EQ((*view)[0].last_uid, Uid{});
  view.reset();
  EXPECT_TRUE(layer.expired());
}

// A big set releases its rows on the pool: every row's layer must go, and
// with it every hold on the shared parent.
TEST(MatchSetTest, DroppingABigSetReleasesEveryLayer) {
  const MatchPtr parent = Match::new_();
  std::vector<std::weak_ptr<Match>> layers;
  {
    MatchSet set;
    for (std::uint64_t n = 0; n < 20'000; ++n) {
      MatchPtr layer = Match::new_(parent);
      layers.push_back(layer);
      set.insert(MatchRow{next_match_id(), uid_of_number(n), std::move(layer)});
    }
    EXPECT_EQ(parent.use_count(), 20'001);
  }
  EXPECT_EQ(parent.use_count(), 1);
  EXPECT_EQ(std::count_if(layers.begin(), layers.end(), [](const auto& w) { return !w.expired(); }),
            0);
}

TEST(MatchSetTest, ParallelLoopReturnsAFailureOfARow) {
  MatchSet set;
  for (std::uint64_t n = 0; n < 1000; ++n) {
    set.insert(MatchRow{next_match_id(), uid_of_number(n), Match::new_()});
  }
  const Status status = set.try_par_for([](const MatchRow& row) -> Status {
    if (number_of(row.last_uid) == 617) return fail(kind::VariableNotFound{"v", "row 617"});
    return {};
  });
  ASSERT_FALSE(status);
  EXPECT_EQ(format_report(status.error()), "Variable not found: 'v' (row 617)");
}

// --- Concurrency (run under ThreadSanitizer as well) -------------------------------

TEST(MatchConcurrencyTest, OneWinnerAmongThreadsRemovingASharedBinding) {
  constexpr int kRounds = 100;
  constexpr int kThreads = 8;
  for (int round = 0; round < kRounds; ++round) {
    const MatchPtr shared = Match::new_(Match::new_());
    ASSERT_TRUE(shared->insert("x", node(7)));
    ASSERT_TRUE(shared->insert("keep", node(8)));
    std::atomic<int> winners{0};
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        // Half the threads remove through rows of their own, half read.
        const MatchPtr row = Match::new_(shared);
        start.arrive_and_wait();
        if (t % 2 == 0) {
          const auto removed = row->remove("x");
          if (removed) {
            EXPECT_EQ(*removed, node(7));
            winners.fetch_add(1);
          }
        } else {
          const auto seen = row->get("x");
          if (seen) {
            EXPECT_EQ(*seen, node(7));
          }
          EXPECT_EQ(row->get("keep"), node(8));
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    ASSERT_EQ(winners.load(), 1) << "round " << round;
    EXPECT_FALSE(shared->contains_key("x"));
  }
}

TEST(MatchConcurrencyTest, RowsOfAParallelLoopRemovingOneBindingHaveOneWinner) {
  const MatchPtr shared = Match::new_();
  ASSERT_TRUE(shared->insert("x", node(7)));
  MatchSet rows;
  for (int i = 0; i < 2000; ++i) rows.insert(MatchRow{next_match_id(), Uid{}, Match::new_(shared)});
  std::atomic<int> winners{0};
  ASSERT_TRUE(rows.try_par_for([&](const MatchRow& row) -> Status {
    if (row.match->remove("x")) winners.fetch_add(1);
    return {};
  }));
  EXPECT_EQ(winners.load(), 1);
}

TEST(MatchConcurrencyTest, LookupsThroughSharedAncestorsWhileRowsFillTheirLayers) {
  constexpr std::size_t kRows = 20'000;
  const MatchPtr root = Match::new_();
  ASSERT_TRUE(root->insert("a", node(1)));
  const MatchPtr shared = Match::new_(Match::new_(root));
  ASSERT_TRUE(shared->insert("b", MatchElement::Edge{kEdge}));

  MatchSet out;
  ASSERT_TRUE(try_par_for(kRows, [&](std::size_t i) -> Status {
    const MatchPtr layer = Match::new_(shared);
    KORVALE_CHECK(layer->insert("own", MatchElement::Type{uid_of_number(i)}), "row insert");
    KORVALE_CHECK(layer->insert("own" + std::to_string(i % 3), node(9)), "row insert");
    if (layer->get("a") != node(1) || layer->get("b") != MatchElement(MatchElement::Edge{kEdge}) ||
        !layer->contains_key("own" + std::to_string(i % 3))) {
      return fail(kind::RuntimeError{"lost a binding", std::to_string(i)});
    }
    if (layer->insert("a", node(2))) {
      return fail(kind::RuntimeError{"bound a twice", std::to_string(i)});
    }
    out.insert(MatchRow{next_match_id(), uid_of_number(i), layer});
    return {};
  }));
  ASSERT_EQ(out.size(), kRows);
  // Read every row back in parallel as the next step would.
  ASSERT_TRUE(out.try_par_for([&](const MatchRow& row) -> Status {
    const auto own = row.match->get("own");
    if (!own || own->as_type("own").value() != row.last_uid) {
      return fail(kind::RuntimeError{"row lost its own binding", std::nullopt});
    }
    return {};
  }));
  EXPECT_EQ(shared->size(), 1u);
  EXPECT_EQ(root->size(), 1u);
}

TEST(MatchConcurrencyTest, ReadersOfALayerStaySafeWhileItGrows) {
  // Layers are meant to be filled before they are shared; should one grow
  // while rows read it, readers still find every binding published so far.
  constexpr int kNames = 200;
  const MatchPtr shared = Match::new_();
  std::atomic<int> published{0};
  std::atomic<bool> lost{false};
  std::thread writer([&] {
    for (int i = 0; i < kNames; ++i) {
      ASSERT_TRUE(shared->insert("n" + std::to_string(i), node(static_cast<std::uint8_t>(i))));
      published.store(i + 1, std::memory_order_release);
    }
  });
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      const MatchPtr row = Match::new_(shared);
      while (published.load(std::memory_order_acquire) < kNames) {
        const int known = published.load(std::memory_order_acquire);
        for (int i = 0; i < known; ++i) {
          if (row->get("n" + std::to_string(i)) != node(static_cast<std::uint8_t>(i))) lost = true;
        }
      }
    });
  }
  writer.join();
  for (std::thread& reader : readers) reader.join();
  EXPECT_FALSE(lost.load());
  EXPECT_EQ(shared->size(), static_cast<std::size_t>(kNames));
}

TEST(MatchConcurrencyTest, ParallelInsertionsIntoOneSetLoseNothing) {
  constexpr std::size_t kPoolRows = 100'000;
  constexpr std::size_t kThreadRows = 5'000;
  constexpr int kThreads = 4;
  MatchSet set;
  const MatchPtr layer = Match::new_();
  ASSERT_TRUE(try_par_for(kPoolRows, [&](std::size_t i) -> Status {
    set.insert(MatchRow{next_match_id(), uid_of_number(i), layer});
    return {};
  }));
  // Threads outside the pool insert at the same time as each other.
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t i = 0; i < kThreadRows; ++i) {
        set.insert(
            MatchRow{next_match_id(), uid_of_number(kPoolRows + t * kThreadRows + i), layer});
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  const std::size_t total = kPoolRows + kThreads * kThreadRows;
  ASSERT_EQ(set.size(), total);
  std::vector<std::uint64_t> ids;
  std::vector<bool> seen(total, false);
  const MatchSet::View view = set.rows();
  ASSERT_EQ(view.size(), total);
  for (std::size_t i = 0; i < view.size(); ++i) {
    const MatchRow& row = view[i];
    ids.push_back(row.match_id);
    const std::uint64_t n = number_of(row.last_uid);
    ASSERT_LT(n, total);
    EXPECT_FALSE(seen[n]) << n;
    seen[n] = true;
  }
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());
  EXPECT_EQ(std::count(seen.begin(), seen.end(), true), static_cast<std::ptrdiff_t>(total));

  // A parallel pass visits every row exactly once.
  std::vector<std::atomic<int>> visits(total);
  ASSERT_TRUE(set.try_par_for([&](const MatchRow& row) -> Status {
    visits[number_of(row.last_uid)].fetch_add(1, std::memory_order_relaxed);
    return {};
  }));
  for (std::size_t n = 0; n < total; ++n) ASSERT_EQ(visits[n].load(), 1) << n;
}

}  // namespace
}  // namespace korvale
