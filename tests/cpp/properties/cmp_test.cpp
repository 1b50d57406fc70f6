#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "properties/cmp.hpp"
#include "properties/opaque.hpp"

namespace korvale {
namespace {

struct ComparePair {
  const char* name;
  Dynamic first;
  Dynamic second;
  bool equal;
};

class CompareValuesTest : public ::testing::TestWithParam<ComparePair> {};

TEST_P(CompareValuesTest, DecidesEqualityInBothOrders) {
  const ComparePair& c = GetParam();
  EXPECT_EQ(compare_values(c.first, c.second), c.equal);
  EXPECT_EQ(compare_values(c.second, c.first), c.equal);
}

Dynamic i(std::int64_t v) {
  return Dynamic::integer(v);
}
Dynamic f(double v) {
  return Dynamic::floating(v);
}
Dynamic b(bool v) {
  return Dynamic::boolean(v);
}
Dynamic s(std::string v) {
  return Dynamic::string(std::move(v));
}
Dynamic l(Dynamic::List items) {
  return Dynamic::list(std::move(items));
}
Dynamic d(std::initializer_list<std::pair<std::string, Dynamic>> entries) {
  Dynamic::Dict dict;
  for (const auto& [key, value] : entries) dict.insert_or_assign(key, value);
  return Dynamic::dict(std::move(dict));
}

const double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Scalars, CompareValuesTest,
    ::testing::Values(ComparePair{"SameInts", i(3), i(3), true},
                      ComparePair{"DifferentInts", i(3), i(4), false},
                      ComparePair{"IntAndFloat", i(3), f(3.0), false},
                      ComparePair{"SameBools", b(true), b(true), true},
                      ComparePair{"DifferentBools", b(true), b(false), false},
                      ComparePair{"BoolAndInt", b(true), i(1), false},
                      ComparePair{"TenthsWithinTolerance", f(0.1 + 0.2), f(0.3), true},
                      ComparePair{"OneAndNextAbove", f(1.0), f(1.0 + 0x1p-52), false},
                      ComparePair{"OneAndNextBelow", f(1.0), f(1.0 - 0x1p-53), true},
                      ComparePair{"TinyAndZero", f(1e-17), f(0.0), true},
                      ComparePair{"ZeroAndNegativeZero", f(0.0), f(-0.0), true},
                      ComparePair{"NaNs", f(std::nan("")), f(std::nan("")), false},
                      ComparePair{"Infinities", f(kInf), f(kInf), false},
                      ComparePair{"LargeIdentical", f(1e300), f(1e300), true},
                      ComparePair{"SameTexts", s("a"), s("a"), true},
                      ComparePair{"CaseDiffers", s("a"), s("A"), false},
                      ComparePair{"PrecomposedAndDecomposed", s("\u00e9"), s("e\u0301"), false},
                      ComparePair{"TextAndInt", s("3"), i(3), false},
                      ComparePair{"Nulls", Dynamic::null(), Dynamic::null(), false},
                      ComparePair{"NullAndFalse", Dynamic::null(), b(false), false}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Containers, CompareValuesTest,
    ::testing::Values(ComparePair{"EmptyLists", l({}), l({}), true},
                      ComparePair{"ListOrderMatters", l({i(1), i(2)}), l({i(2), i(1)}), false},
                      ComparePair{"ListLengthMatters", l({i(1)}), l({i(1), i(2)}), false},
                      ComparePair{"ListOfNulls", l({Dynamic::null()}), l({Dynamic::null()}), false},
                      ComparePair{"EmptyDicts", d({}), d({}), true},
                      ComparePair{"DictSizeMatters", d({{"a", i(1)}}),
                                  d({{"a", i(1)}, {"b", i(2)}}), false},
                      ComparePair{"DictKeysMatter", d({{"a", i(1)}}), d({{"b", i(1)}}), false},
                      ComparePair{"DictValuesMatter", d({{"a", i(1)}}), d({{"a", i(2)}}), false},
                      ComparePair{"NestedSameShape", d({{"a", l({f(1.0), d({{"b", s("x")}})})}}),
                                  d({{"a", l({f(1.0), d({{"b", s("x")}})})}}), true},
                      ComparePair{"NestedFloatTolerance", l({f(0.1 + 0.2)}), l({f(0.3)}), true},
                      ComparePair{"EmptyListAndEmptyDict", l({}), d({}), false}),
    [](const auto& info) { return std::string(info.param.name); });

int object_a = 0;
int object_b = 0;

TEST(CompareOpaqueTest, EqualOnlyForTheSameObject) {
  const Dynamic a = Dynamic::opaque(PyOpaque::adopt(&object_a));
  const Dynamic a_again = Dynamic::opaque(PyOpaque::adopt(&object_a));
  const Dynamic other = Dynamic::opaque(PyOpaque::adopt(&object_b));
  EXPECT_TRUE(compare_values(a, a));
  EXPECT_TRUE(compare_values(a, a_again));
  EXPECT_FALSE(compare_values(a, other));
  EXPECT_FALSE(compare_values(a, i(0)));
  EXPECT_TRUE(compare_values(l({a}), l({a_again})));
}

}  // namespace
}  // namespace korvale
