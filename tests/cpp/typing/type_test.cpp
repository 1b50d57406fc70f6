#include <gtest/gtest.h>

#include <string>

#include "support/on_pool_thread.hpp"
#include "support/type_builders.hpp"
#include "typing/type.hpp"

namespace korvale {
namespace {

using testing::arrow;
using testing::var;

// --- Variable::new_ -------------------------------------------------------------

struct RefusedName {
  std::string name;
  std::string report;
};

class RefusedVariableTest : public ::testing::TestWithParam<RefusedName> {};

TEST_P(RefusedVariableTest, ReportsTheNameRuleWithItsLine) {
  auto variable = Variable::new_(GetParam().name);
  ASSERT_FALSE(variable.has_value());
  EXPECT_EQ(format_report(variable.error()), GetParam().report);
}

INSTANTIATE_TEST_SUITE_P(
    Names, RefusedVariableTest,
    ::testing::Values(
        RefusedName{"None",
                    "Invalid Identifier 'None': 'None' is a reserved name\n \u2192 variable - new "
                    "[src/typing/types:48]"},
        RefusedName{"",
                    "Invalid Identifier '': Name must be between 1 and 255 characters\n "
                    "\u2192 variable - new [src/typing/types:48]"},
        RefusedName{"a b",
                    "Invalid Identifier 'a b': Name cannot contain whitespace\n \u2192 "
                    "variable - new [src/typing/types:48]"}));

TEST(VariableTest, KeepsTheName) {
  auto variable = Variable::new_("\xc3\x84pfel");
  ASSERT_TRUE(variable.has_value());
  EXPECT_EQ(variable->name(), "\xc3\x84pfel");
}

// --- text form ----------------------------------------------------------------

struct TextForm {
  TypePtr type;
  std::string text;
};

class TypeTextTest : public ::testing::TestWithParam<TextForm> {};

TEST_P(TypeTextTest, ParenthesisesEveryArrow) {
  EXPECT_EQ(GetParam().type->to_string(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Types, TypeTextTest,
    ::testing::Values(TextForm{var("A"), "A"}, TextForm{arrow(var("A"), var("B")), "(A -> B)"},
                      TextForm{arrow(var("A"), arrow(var("B"), var("C"))), "(A -> (B -> C))"},
                      TextForm{arrow(arrow(var("A"), var("B")), var("C")), "((A -> B) -> C)"},
                      TextForm{arrow(arrow(var("A"), var("B")), arrow(var("C"), var("D"))),
                               "((A -> B) -> (C -> D))"}));

// --- equality -------------------------------------------------------------------

struct Comparison {
  TypePtr a;
  TypePtr b;
  bool equal;
};

class TypeEqualityTest : public ::testing::TestWithParam<Comparison> {};

TEST_P(TypeEqualityTest, ComparesStructure) {
  EXPECT_EQ(*GetParam().a == *GetParam().b, GetParam().equal);
  EXPECT_EQ(*GetParam().b == *GetParam().a, GetParam().equal);
}

const TypePtr kShared = arrow(var("A"), var("B"));

INSTANTIATE_TEST_SUITE_P(
    Types, TypeEqualityTest,
    ::testing::Values(
        Comparison{var("A"), var("A"), true}, Comparison{var("A"), var("B"), false},
        // Byte for byte: no case folding, no Unicode normalisation.
        Comparison{var("a"), var("A"), false},
        // Precomposed and decomposed Hangul syllable ga: equal after normalisation only.
        Comparison{var("\xea\xb0\x80"), var("\xe1\x84\x80\xe1\x85\xa1"), false},
        Comparison{var("A"), arrow(var("A"), var("A")), false},
        Comparison{arrow(var("A"), var("B")), arrow(var("A"), var("B")), true},
        Comparison{arrow(var("A"), var("B")), arrow(var("A"), var("C")), false},
        Comparison{arrow(var("A"), var("B")), arrow(var("C"), var("B")), false},
        Comparison{arrow(var("A"), var("B")), arrow(var("B"), var("A")), false},
        Comparison{arrow(arrow(var("A"), var("B")), var("C")),
                   arrow(var("A"), arrow(var("B"), var("C"))), false},
        Comparison{arrow(kShared, kShared), arrow(kShared, arrow(var("A"), var("B"))), true},
        Comparison{kShared, kShared, true}));

TEST(TypeTest, ArrowSharesItsParts) {
  const TypePtr a = var("A");
  const TypePtr t = arrow(a, a);
  EXPECT_EQ(t->as_arrow()->domain, a);
  EXPECT_EQ(t->as_arrow()->codomain, a);
  EXPECT_EQ(a.use_count(), 3);
}

// --- deep types -----------------------------------------------------------------

// Arrows nested `depth` deep, to the right ("A -> (A -> ...)") or to the left.
TypePtr deep_type(std::size_t depth, bool right, const std::string& last = "A") {
  TypePtr t = var(last);
  const TypePtr a = var("A");
  for (std::size_t i = 0; i < depth; ++i) t = right ? arrow(a, t) : arrow(t, a);
  return t;
}

constexpr std::size_t kDeep = 100000;

std::string expected_text(std::size_t depth, bool right) {
  std::string text;
  if (right) {
    for (std::size_t i = 0; i < depth; ++i) text += "(A -> ";
    return text + "A" + std::string(depth, ')');
  }
  text = std::string(depth, '(') + "A";
  for (std::size_t i = 0; i < depth; ++i) text += " -> A)";
  return text;
}

// Compares long texts without printing 100,000 parentheses on failure.
::testing::AssertionResult same_text(const std::string& got, const std::string& expected) {
  if (got == expected) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < got.size() && at < expected.size() && got[at] == expected[at]) ++at;
  return ::testing::AssertionFailure()
         << "texts of " << got.size() << " and " << expected.size() << " bytes differ at byte "
         << at << ": got \"" << got.substr(at, 40) << "\", expected \"" << expected.substr(at, 40)
         << "\"";
}

void exercise_deep_types() {
  for (const bool right : {true, false}) {
    TypePtr a = deep_type(kDeep, right);
    TypePtr b = deep_type(kDeep, right);  // equal, but no part shared with `a`
    TypePtr c = deep_type(kDeep, right, "B");
    EXPECT_TRUE(*a == *b);
    EXPECT_FALSE(*a == *c);
    EXPECT_TRUE(same_text(a->to_string(), expected_text(kDeep, right)));
    // Releasing the last handles takes the chains apart.
    a.reset();
    b.reset();
    c.reset();
  }
}

KORVALE_TEST_ON_EVERY_THREAD(DeepTypeOnThreadTest, CompareWriteAndRelease, exercise_deep_types);

TEST(DeepTypeTest, ReleasingAnInnerPartOfAReleasedChainLeavesTheRestIntact) {
  TypePtr outer = deep_type(kDeep, true);
  TypePtr middle = outer;
  for (std::size_t i = 0; i < kDeep / 2; ++i) middle = middle->as_arrow()->codomain;
  outer.reset();  // the outer half goes; the inner half is still held
  EXPECT_TRUE(same_text(middle->to_string(), expected_text(kDeep / 2, true)));
  EXPECT_TRUE(*middle == *deep_type(kDeep / 2, true));
}

}  // namespace
}  // namespace korvale
