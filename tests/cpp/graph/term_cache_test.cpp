// Rebuilt terms are shared while their stored parts stand: these tests show
// that a rebuild after any part changed gives the term stored now, never the
// one shared before.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "graph/graph.hpp"
#include "support/graph_helpers.hpp"
#include "support/report_lines.hpp"
#include "support/store_fixtures.hpp"

namespace korvale {
namespace {

using testing::app;
using testing::arrow;
using testing::basic;
using testing::rendered;
using testing::same_term;
using testing::stored_term;
using testing::uid_of;
using testing::var;

// The store's text form of a term, "(function argument)" for applications.
std::string text_of(const Term& term) {
  if (const BasicTerm* basic = term.as_basic()) return basic->name();
  const Application* application = term.as_application();
  return "(" + text_of(*application->function()) + " " + text_of(*application->argument()) + ")";
}

// x : A, f : A -> B, g : B -> C, and the stored term (g (f x)) of type C.
struct Nest {
  TypePtr a = var("A");
  TypePtr b = var("B");
  TypePtr c = var("C");
  TermPtr x = basic("x", a);
  TermPtr f = basic("f", arrow(a, b));
  TermPtr g = basic("g", arrow(b, c));
  TermPtr top = app(g, app(f, x));
};

struct Replacement {
  std::string name;
  std::function<TermPtr(const Nest&)> replacement;  // stored after the first rebuild
  std::function<TermPtr(const Nest&)> expected;     // the term of C then
};

class RebuiltTermTest : public ::testing::TestWithParam<Replacement> {};

TEST_P(RebuiltTermTest, ShowsThePartsStoredNow) {
  Nest n;
  Graph graph;
  testing::store(graph, *n.top);
  // Rebuilt twice, so the second one is served from what the first one kept.
  ASSERT_TRUE(same_term(stored_term(graph, *n.c), n.top));
  ASSERT_TRUE(same_term(stored_term(graph, *n.c), n.top));
  testing::store(graph, *GetParam().replacement(n));
  const TermPtr expected = GetParam().expected(n);
  EXPECT_TRUE(same_term(stored_term(graph, *n.c), expected));
  // The text, which reads the table directly, agrees with the rebuilt term.
  Result<std::string> text = graph.term_to_string(uid_of(*n.c));
  EXPECT_EQ(text ? *text : rendered(text), text_of(*expected));
}

INSTANTIATE_TEST_SUITE_P(
    Parts, RebuiltTermTest,
    ::testing::Values(
        Replacement{"innermost_argument", [](const Nest& n) { return basic("y", n.a); },
                    [](const Nest& n) { return app(n.g, app(n.f, basic("y", n.a))); }},
        Replacement{"inner_function", [](const Nest& n) { return basic("h", arrow(n.a, n.b)); },
                    [](const Nest& n) { return app(n.g, app(basic("h", arrow(n.a, n.b)), n.x)); }},
        Replacement{"middle_term", [](const Nest& n) { return basic("z", n.b); },
                    [](const Nest& n) { return app(n.g, basic("z", n.b)); }},
        Replacement{"top_term", [](const Nest& n) { return basic("w", n.c); },
                    [](const Nest& n) { return basic("w", n.c); }},
        Replacement{"unrelated_type", [](const Nest&) { return basic("d", var("D")); },
                    [](const Nest& n) { return n.top; }}),
    [](const auto& info) { return info.param.name; });

TEST(RebuiltTerm, StoringASharedTermAgainAfterAPartChangedStoresAllOfIt) {
  Nest n;
  Graph graph;
  testing::store(graph, *n.top);
  const TermPtr shared = stored_term(graph, *n.c);
  testing::store(graph, *basic("y", n.a));
  testing::store(graph, *shared);
  EXPECT_TRUE(same_term(stored_term(graph, *n.a), n.x));
  EXPECT_TRUE(same_term(stored_term(graph, *n.c), n.top));
}

TEST(RebuiltTerm, AFailedRebuildIsNotKeptAndAFixedPartHeals) {
  Nest n;
  Graph graph;
  testing::store(graph, *app(n.f, n.x));
  graph.term_index.erase(uid_of(*n.a));
  const std::string missing = rendered(graph.term_from_uid(uid_of(*n.b)));
  EXPECT_EQ(missing, "Term with Uid: '" + uid_to_hex(uid_of(*n.a)) + "' not found (term from uid)");
  EXPECT_EQ(rendered(graph.term_from_uid(uid_of(*n.b))), missing);
  testing::store(graph, *basic("y", n.a));
  EXPECT_TRUE(same_term(stored_term(graph, *n.b), app(n.f, basic("y", n.a))));
}

// Writers replace the argument's term while readers rebuild the application:
// every rebuild is f applied to one of the written arguments, and once all
// are done the application shows the argument stored last.
TEST(RebuiltTerm, RebuildsRacingWithWritesEndOnTheLastWrite) {
  Nest n;
  Graph graph;
  testing::store(graph, *app(n.f, n.x));
  constexpr int kThreads = 8;
  constexpr int kRounds = 200;
  std::atomic<int> wrong{0};
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int r = 0; r < kRounds; ++r) {
        if (t % 2 == 0) {
          testing::store(graph, *basic("x" + std::to_string(t) + "_" + std::to_string(r), n.a));
          continue;
        }
        Result<TermPtr> rebuilt = graph.term_from_uid(uid_of(*n.b));
        const Application* application = rebuilt ? (*rebuilt)->as_application() : nullptr;
        if (application == nullptr || !(*application->function() == *n.f)) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_TRUE(same_term(stored_term(graph, *n.b), app(n.f, stored_term(graph, *n.a))));
}

}  // namespace
}  // namespace korvale
