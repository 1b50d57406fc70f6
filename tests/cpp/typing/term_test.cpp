#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/on_pool_thread.hpp"
#include "support/type_builders.hpp"
#include "typing/term.hpp"

namespace korvale {
namespace {

using testing::app;
using testing::arrow;
using testing::basic;
using testing::var;

// --- BasicTerm::new_ ------------------------------------------------------------

struct RefusedName {
  std::string name;
  std::string report;
};

class RefusedBasicTermTest : public ::testing::TestWithParam<RefusedName> {};

TEST_P(RefusedBasicTermTest, ReportsTheNameRuleWithItsLine) {
  auto term = BasicTerm::new_(GetParam().name, var("A"));
  ASSERT_FALSE(term.has_value());
  EXPECT_EQ(format_report(term.error()), GetParam().report);
}

INSTANTIATE_TEST_SUITE_P(
    Names, RefusedBasicTermTest,
    ::testing::Values(
        RefusedName{"None",
                    "Invalid Identifier 'None': 'None' is a reserved name\n \u2192 basic term - "
                    "new [src/typing/term:64]"},
        RefusedName{"",
                    "Invalid Identifier '': Name must be between 1 and 255 characters\n "
                    "\u2192 basic term - new [src/typing/term:64]"},
        RefusedName{"a b",
                    "Invalid Identifier 'a b': Name cannot contain whitespace\n \u2192 "
                    "basic term - new [src/typing/term:64]"}));

TEST(BasicTermTest, KeepsNameAndTypeHandle) {
  const TypePtr a = var("A");
  auto term = BasicTerm::new_("x", a);
  ASSERT_TRUE(term.has_value());
  EXPECT_EQ(term->name(), "x");
  EXPECT_EQ(term->type(), a);
  EXPECT_EQ(Term::basic(*term)->type(), a);
}

// --- application ----------------------------------------------------------------

TEST(ApplicationTest, ResultTypeIsTheFunctionsCodomainHandle) {
  const TypePtr a = var("A"), b = var("B");
  const TypePtr f_type = arrow(a, b);
  const TermPtr f = basic("f", f_type);
  const TermPtr x = basic("x", var("A"));  // an equal type, not the same handle
  auto fx = Term::apply(f, x);
  ASSERT_TRUE(fx.has_value()) << format_report(fx.error());
  ASSERT_NE((*fx)->as_application(), nullptr);
  EXPECT_EQ((*fx)->type(), f_type->as_arrow()->codomain);
  EXPECT_EQ((*fx)->as_application()->function(), f);  // shared, not copied
  EXPECT_EQ((*fx)->as_application()->argument(), x);
}

struct Mismatch {
  TypePtr function_type;
  TypePtr argument_type;
  std::string message;
};

class ApplicationMismatchTest : public ::testing::TestWithParam<Mismatch> {};

TEST_P(ApplicationMismatchTest, NewReportsWithoutLinesApplyAddsItsLine) {
  const TermPtr f = basic("f", GetParam().function_type);
  const TermPtr x = basic("x", GetParam().argument_type);
  auto application = Application::new_(f, x);
  ASSERT_FALSE(application.has_value());
  EXPECT_EQ(format_report(application.error()), GetParam().message);
  auto applied = Term::apply(f, x);
  ASSERT_FALSE(applied.has_value());
  EXPECT_EQ(format_report(applied.error()),
            GetParam().message + "\n \u2192 term - apply [src/typing/term:42]");
}

INSTANTIATE_TEST_SUITE_P(
    Types, ApplicationMismatchTest,
    ::testing::Values(
        Mismatch{var("A"), var("A"),
                 "Type Mismatch: expected Application Type, got Variable Type (application "
                 "creation)"},
        Mismatch{arrow(arrow(var("A"), var("B")), var("C")), var("A"),
                 "Type Mismatch: expected (A -> B), got A (application creation)"},
        Mismatch{arrow(var("A"), var("B")), arrow(var("A"), var("B")),
                 "Type Mismatch: expected A, got (A -> B) (application creation)"}));

TEST(ApplicationTest, ChecksNoNames) {
  // Application::new_ only checks types; the name rule ran when the parts were made.
  const TermPtr f = basic("f", arrow(var("A"), arrow(var("A"), var("B"))));
  const TermPtr x = basic("x", var("A"));
  const TermPtr fx = app(f, x);
  const TermPtr fxx = app(fx, x);
  EXPECT_EQ(fxx->type()->to_string(), "B");
}

// --- equality -------------------------------------------------------------------

TEST(TermEqualityTest, ComparesNamesTypesAndParts) {
  const TermPtr f1 = basic("f", arrow(var("A"), var("B")));
  const TermPtr f2 = basic("f", arrow(var("A"), var("B")));
  const TermPtr g = basic("g", arrow(var("A"), var("B")));
  const TermPtr x1 = basic("x", var("A"));
  const TermPtr x2 = basic("x", var("A"));
  const TermPtr y = basic("y", var("A"));
  struct Case {
    TermPtr a, b;
    bool equal;
  };
  const Case cases[] = {
      {x1, x1, true},
      {x1, x2, true},
      {x1, y, false},
      {basic("f", var("A")), basic("f", var("B")), false},
      {app(f1, x1), app(f2, x2), true},
      {app(f1, x1), app(g, x1), false},
      {app(f1, x1), app(f1, y), false},
      {app(f1, x1), basic("x", var("B")), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(*c.a == *c.b, c.equal)
        << c.a->type()->to_string() << " / " << c.b->type()->to_string();
    EXPECT_EQ(*c.b == *c.a, c.equal);
  }
}

// --- deep terms -----------------------------------------------------------------

constexpr std::size_t kDeep = 100000;

// f (f (... (f x))): deep along the arguments.
TermPtr argument_chain(std::size_t depth, const std::string& innermost = "x") {
  const TermPtr f = basic("f", arrow(var("A"), var("A")));
  TermPtr t = basic(innermost, var("A"));
  for (std::size_t i = 0; i < depth; ++i) t = *Term::apply(f, t);
  return t;
}

// ((g x) x) ... x with g of type A -> (A -> ... -> A): deep along the functions
// and through g's type.
TermPtr function_chain(std::size_t depth, const std::string& argument = "x") {
  TypePtr type = var("A");
  for (std::size_t i = 0; i < depth; ++i) type = arrow(var("A"), type);
  TermPtr t = basic("g", type);
  const TermPtr x = basic(argument, var("A"));
  for (std::size_t i = 0; i < depth; ++i) t = *Term::apply(t, x);
  return t;
}

void exercise_deep_terms() {
  for (auto* chain : {&argument_chain, &function_chain}) {
    TermPtr a = chain(kDeep, "x");
    TermPtr b = chain(kDeep, "x");  // equal, no part shared with `a`
    TermPtr c = chain(kDeep, "z");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->type()->to_string(), "A");
    EXPECT_TRUE(*a == *b);
    EXPECT_FALSE(*a == *c);
    a.reset();
    b.reset();
    c.reset();
  }
}

KORVALE_TEST_ON_EVERY_THREAD(DeepTermOnThreadTest, BuildCompareAndRelease, exercise_deep_terms);

// Plain threads: the pool's own work stealing is invisible to ThreadSanitizer
// (the library is not instrumented) and would drown real reports.
TEST(DeepTermTest, ManyThreadsShareCompareAndReleaseOneTerm) {
  TermPtr shared = argument_chain(kDeep);
  const TermPtr reference = argument_chain(kDeep);
  std::atomic<int> equal{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    TermPtr mine = shared;  // copies share; counts are atomic
    threads.emplace_back([&equal, &reference, mine = std::move(mine)]() mutable {
      if (*mine == *reference) ++equal;
      mine.reset();  // whichever thread drops the last handle takes the chain apart
    });
  }
  shared.reset();
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(equal.load(), 8);
}

}  // namespace
}  // namespace korvale
