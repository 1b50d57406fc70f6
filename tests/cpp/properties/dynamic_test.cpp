#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>

#include "concurrency/parallel.hpp"
#include "properties/dynamic.hpp"
#include "properties/opaque.hpp"

namespace korvale {
namespace {

struct TextCase {
  const char* name;
  Dynamic value;
  std::string text;
};

class DynamicTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(DynamicTextTest, WritesTheTextForm) {
  EXPECT_EQ(GetParam().value.to_string(), GetParam().text);
}

Dynamic f(double value) {
  return Dynamic::floating(value);
}
Dynamic s(std::string text) {
  return Dynamic::string(std::move(text));
}
Dynamic i(std::int64_t value) {
  return Dynamic::integer(value);
}

INSTANTIATE_TEST_SUITE_P(
    Scalars, DynamicTextTest,
    ::testing::Values(
        TextCase{"Null", Dynamic::null(), "()"}, TextCase{"True", Dynamic::boolean(true), "true"},
        TextCase{"False", Dynamic::boolean(false), "false"}, TextCase{"Int", i(42), "42"},
        TextCase{"NegativeInt", i(-7), "-7"}, TextCase{"Zero", i(0), "0"},
        TextCase{"IntMax", i(std::numeric_limits<std::int64_t>::max()), "9223372036854775807"},
        TextCase{"IntMin", i(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Floats, DynamicTextTest,
    ::testing::Values(
        TextCase{"Three", f(3), "3.0"}, TextCase{"Two", f(2.0), "2.0"},
        TextCase{"Tenth", f(0.1), "0.1"}, TextCase{"NegativeOneAndHalf", f(-1.5), "-1.5"},
        TextCase{"Digits", f(123.456), "123.456"}, TextCase{"Million", f(1234567.0), "1234567.0"},
        TextCase{"SumOfTenths", f(0.1 + 0.2), "0.30000000000000004"},
        TextCase{"LowerBoundIsPositional", f(1e-4), "0.0001"},
        TextCase{"JustAboveLowerBound", f(0.00012), "0.00012"},
        TextCase{"JustBelowLowerBound", f(std::nextafter(1e-4, 0.0)), "9.999999999999999e-5"},
        TextCase{"OneE15", f(1e15), "1000000000000000.0"},
        TextCase{"JustBelowUpperBound", f(std::nextafter(1e16, 0.0)), "9999999999999998.0"},
        TextCase{"UpperBoundIsExponential", f(1e16), "1e16"},
        TextCase{"NegativeUpperBound", f(-1e16), "-1e16"},
        TextCase{"ExponentWithFraction", f(2.5e20), "2.5e20"},
        TextCase{"SmallWithFraction", f(1.5e-5), "1.5e-5"}, TextCase{"Small", f(1e-5), "1e-5"},
        TextCase{"Large", f(1e100), "1e100"},
        TextCase{"Max", f(std::numeric_limits<double>::max()), "1.7976931348623157e308"},
        TextCase{"Denormal", f(std::numeric_limits<double>::denorm_min()), "5e-324"},
        TextCase{"PositiveZero", f(0.0), "0.0"}, TextCase{"NegativeZero", f(-0.0), "-0.0"},
        TextCase{"NaN", f(std::nan("")), "NaN"}, TextCase{"NegativeNaN", f(-std::nan("")), "NaN"},
        TextCase{"Infinity", f(std::numeric_limits<double>::infinity()), "inf"},
        TextCase{"NegativeInfinity", f(-std::numeric_limits<double>::infinity()), "-inf"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Strings, DynamicTextTest,
    ::testing::Values(TextCase{"Plain", s("abc"), "\"abc\""}, TextCase{"Empty", s(""), "\"\""},
                      TextCase{"DoubleQuote", s("a\"b"), "\"a\\\"b\""},
                      TextCase{"SingleQuoteUnchanged", s("it's"), "\"it's\""},
                      TextCase{"Backslash", s("a\\b"), "\"a\\\\b\""},
                      TextCase{"Nul", s(std::string("a\0b", 3)), "\"a\\0b\""},
                      TextCase{"TabLineFeedReturn", s("\t\n\r"), "\"\\t\\n\\r\""},
                      TextCase{"OtherControl", s("\x01\x1f\x7f"), "\"\\u{1}\\u{1f}\\u{7f}\""},
                      TextCase{"CombiningAcute", s("e\u0301"), "\"e\\u{301}\""},
                      TextCase{"NoBreakSpace", s("a\u00a0b"), "\"a\\u{a0}b\""},
                      TextCase{"SpaceUnchanged", s("a b"), "\"a b\""},
                      TextCase{"IdeographicSpace", s("\u3000"), "\"\\u{3000}\""},
                      TextCase{"LineSeparator", s("\u2028"), "\"\\u{2028}\""},
                      TextCase{"ZeroWidthJoiner", s("\u200d"), "\"\\u{200d}\""},
                      TextCase{"VariationSelector", s("\u2764\ufe0f"), "\"\u2764\\u{fe0f}\""},
                      TextCase{"PrivateUse", s("\ue000"), "\"\\u{e000}\""},
                      TextCase{"Unassigned", s("\u0378"), "\"\\u{378}\""},
                      TextCase{"PrintableNonAsciiUnchanged", s("\u00e9\u65e5\u672c\U0001F600"),
                               "\"\u00e9\u65e5\u672c\U0001F600\""}),
    [](const auto& info) { return std::string(info.param.name); });

Dynamic::Dict dict_of(std::initializer_list<std::pair<std::string, Dynamic>> entries) {
  Dynamic::Dict dict;
  for (const auto& [key, value] : entries) dict.insert_or_assign(key, value);
  return dict;
}

INSTANTIATE_TEST_SUITE_P(
    Containers, DynamicTextTest,
    ::testing::Values(
        TextCase{"EmptyList", Dynamic::list({}), "[]"},
        TextCase{"NullAndTrue", Dynamic::list({Dynamic::null(), Dynamic::boolean(true)}),
                 "[(), true]"},
        TextCase{"NestedList", Dynamic::list({i(1), Dynamic::list({s("a"), f(2.5)})}),
                 "[1, [\"a\", 2.5]]"},
        TextCase{"EmptyDict", Dynamic::dict({}), "#{}"},
        TextCase{"DictInKeyOrder", Dynamic::dict(dict_of({{"b", i(1)}, {"a", Dynamic::list({})}})),
                 "#{\"a\": [], \"b\": 1}"},
        TextCase{"DictKeysEscaped", Dynamic::dict(dict_of({{"a\"\u0301", i(1)}})),
                 "#{\"a\\\"\\u{301}\": 1}"},
        TextCase{"DictInList", Dynamic::list({Dynamic::dict(dict_of({{"k", Dynamic::null()}}))}),
                 "[#{\"k\": ()}]"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DynamicTest, KindsAndAccessors) {
  EXPECT_EQ(Dynamic().kind(), Dynamic::Kind::Null);
  EXPECT_EQ(i(5).as_int(), 5);
  EXPECT_EQ(s("x").as_string(), "x");
  EXPECT_EQ(Dynamic::list({i(1), i(2)}).as_list().size(), 2u);
  EXPECT_EQ(Dynamic::dict(dict_of({{"k", i(1)}})).as_dict().at("k").as_int(), 1);
}

// --- opaque references -----------------------------------------------------

// Distinct addresses standing in for Python objects; the core only queues them.
int object_a = 0;
int object_b = 0;

class OpaqueTest : public ::testing::Test {
 protected:
  void SetUp() override { take_released_opaques(); }
  void TearDown() override { take_released_opaques(); }
};

TEST_F(OpaqueTest, TextFormIsFixedAndComparisonIsIdentity) {
  const PyOpaque a = PyOpaque::adopt(&object_a);
  const PyOpaque also_a = PyOpaque::adopt(&object_a);
  const PyOpaque b = PyOpaque::adopt(&object_b);
  EXPECT_EQ(Dynamic::opaque(a).to_string(), "korvale::properties::PyOpaque");
  EXPECT_EQ(Dynamic::opaque(a).kind(), Dynamic::Kind::Opaque);
  EXPECT_TRUE(a == also_a);
  EXPECT_FALSE(a == b);
  EXPECT_EQ(Dynamic::opaque(b).as_opaque().object(), &object_b);
}

TEST_F(OpaqueTest, ReferenceIsQueuedOnceWhenTheLastCopyGoes) {
  std::optional<Dynamic> original = Dynamic::opaque(PyOpaque::adopt(&object_a));
  {
    const Dynamic copy = *original;
    const Dynamic in_list = Dynamic::list({copy, copy});
  }
  EXPECT_TRUE(take_released_opaques().empty());
  original.reset();
  EXPECT_EQ(take_released_opaques(), std::vector<void*>{&object_a});
  EXPECT_TRUE(take_released_opaques().empty());
}

TEST_F(OpaqueTest, CopiedAndReleasedOnPoolThreads) {
  std::optional<Dynamic> original =
      Dynamic::list({Dynamic::opaque(PyOpaque::adopt(&object_a)), i(1)});
  std::atomic<int> seen{0};
  ASSERT_TRUE(try_par_for(10000, [&](std::size_t) -> Status {
    const Dynamic copy = *original;
    if (copy.as_list()[0].as_opaque().object() == &object_a) seen.fetch_add(1);
    return {};
  }));
  EXPECT_EQ(seen.load(), 10000);
  EXPECT_TRUE(take_released_opaques().empty());
  // The last copy goes on a pool thread: the reference is queued, not lost.
  std::vector<Dynamic> last;
  last.push_back(std::move(*original));
  original.reset();
  ASSERT_TRUE(try_par_for(3, [&](std::size_t k) -> Status {
    if (k == 2) last.clear();
    return {};
  }));
  EXPECT_EQ(take_released_opaques(), std::vector<void*>{&object_a});
}

}  // namespace
}  // namespace korvale
