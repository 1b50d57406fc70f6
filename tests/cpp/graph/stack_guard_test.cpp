// Recursive walks on threads with small stacks: deep input ends in a
// StackExhausted report naming what was nested, never in a crash, and the
// walks that need no report (text form, comparison, release of values) do not
// recurse at all.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "base/stack_guard.hpp"
#include "graph/graph.hpp"
#include "patterns/path.hpp"
#include "patterns/property_block.hpp"
#include "properties/cmp.hpp"
#include "support/graph_helpers.hpp"
#include "support/on_pool_thread.hpp"
#include "support/report_lines.hpp"

namespace korvale {
namespace {

using testing::repeat;

// Sanitizer frames are many times larger, and so is the margin there.
#ifdef KORVALE_STACK_SANITIZED
constexpr std::size_t kScale = 4;
#else
constexpr std::size_t kScale = 1;
#endif
constexpr std::size_t kStackSizes[] = {64 * 1024 * kScale, 128 * 1024 * kScale};

// Deep enough to run out of the room left below, shallow enough for every
// depth limit, so only the stack can stop a walk.
constexpr std::size_t kDeep = 200;
constexpr std::size_t kShallow = 3;

// The low end of the calling thread's stack, read apart from the guard.
std::uintptr_t stack_low_end() {
  pthread_attr_t attributes;
  void* address = nullptr;
  std::size_t size = 0;
  EXPECT_EQ(pthread_getattr_np(pthread_self(), &attributes), 0);
  EXPECT_EQ(pthread_attr_getstack(&attributes, &address, &size), 0);
  pthread_attr_destroy(&attributes);
  return reinterpret_cast<std::uintptr_t>(address);
}

[[gnu::noinline]] void call(const std::function<void()>& job) {
  job();
}

// Runs `job` with about `left` bytes of stack below it: the frames of the
// test runner and of the thread's start differ between builds, and a walk
// must meet a known amount of room to stop at a known place.
[[gnu::noinline]] void with_stack_left(std::size_t left, const std::function<void()>& job) {
  const auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  const std::uintptr_t room = frame - stack_low_end();
  ASSERT_GT(room, left + 4096) << "the thread's stack is too small for the test";
  volatile char* below = static_cast<char*>(__builtin_alloca(room - left));
  below[0] = 0;
  call(job);
}

// The room every walk meets: a few levels beyond the margin.
constexpr std::size_t kRoomLeft = 2 * kStackMargin;

template <class T>
Status status_of(Result<T> result) {
  if (result) return {};
  return fail(std::move(result.error()));
}

// Makes, on the calling thread, a walk over input `depth` levels deep.
using Walk = std::function<Status()>;
using WalkMaker = std::function<Walk(std::size_t depth)>;

struct DeepCase {
  const char* name;
  WalkMaker make;
  std::string message;
  std::string outermost_lines;  // the report's lines that follow its message
};

void PrintTo(const DeepCase& c, std::ostream* out) {
  *out << c.name;
}

std::string arrows(std::size_t depth) {
  return repeat("A -> ", depth) + "A";
}
std::string nested_list(std::size_t depth) {
  return repeat("[", depth) + "1" + repeat("]", depth);
}

Walk parse_type_schema(std::string text) {
  return [text] { return status_of(TypeSchema::new_(text)); };
}

// A store holding one arrow type `depth` arrows deep (with a term of it) and
// compiled patterns as deep; the walks match and convert them.
struct DeepStore {
  explicit DeepStore(std::size_t depth)
      : graph(std::make_shared<Graph>()),
        type_schema(*TypeSchema::new_(arrows(depth))),
        term_schema(*TermSchema::new_("p" + repeat(" q", depth))) {
    term_uid = testing::store(*graph, *testing::function_chain(depth).term);
    type_uid = graph->insert_type(**graph->type_schema_to_type(type_schema, nullptr));
  }
  std::shared_ptr<Graph> graph;
  TypeSchema type_schema;
  TermSchema term_schema;
  Uid term_uid{};  // (((f a1) a2) ... an), stored under its type
  Uid type_uid{};
};

const DeepCase kDeepCases[] = {
    {"TypeSchemaArrows", [](std::size_t d) { return parse_type_schema(arrows(d)); },
     "Type schema nested too deeply for the thread's stack",
     testing::line("type schema - new [src/patterns/type_schema:38]") +
         testing::line("type schema - parse pattern [src/patterns/type_schema:48]")},
    {"TypeSchemaGroups",
     [](std::size_t d) { return parse_type_schema(repeat("(", d) + "A" + repeat(")", d)); },
     "Type schema nested too deeply for the thread's stack",
     testing::line("type schema - new [src/patterns/type_schema:38]") +
         testing::line("type schema - parse pattern [src/patterns/type_schema:48]")},
    {"TypeSchemaCaptures",
     [](std::size_t d) { return parse_type_schema(repeat("(x: ", d) + "A" + repeat(")", d)); },
     "Type schema nested too deeply for the thread's stack",
     testing::line("type schema - new [src/patterns/type_schema:38]") +
         testing::line("type schema - parse pattern [src/patterns/type_schema:48]")},
    {"PropertyList",
     [](std::size_t d) -> Walk {
       return [text = "{v: " + nested_list(d) + "}"] { return status_of(parse_properties(text)); };
     },
     "Property value nested too deeply for the thread's stack",
     testing::line("parse properties [src/patterns/parsing:295]") +
         testing::line("parse list value [src/patterns/parsing:443]")},
    {"PropertyDict",
     [](std::size_t d) -> Walk {
       return [text = "{v: " + repeat("{k: ", d) + "1" + repeat("}", d) + "}"] {
         return status_of(parse_properties(text));
       };
     },
     "Property value nested too deeply for the thread's stack",
     testing::line("parse properties [src/patterns/parsing:295]") +
         testing::line("parse dict value [src/patterns/parsing:524]")},
    {"PathPatternTypeSchema",
     [](std::size_t d) -> Walk {
       return [text = "(x:" + arrows(d) + ")"] { return status_of(PathPattern::new_(text)); };
     },
     "Type schema nested too deeply for the thread's stack",
     testing::line("path pattern - new [src/patterns/path:50]") +
         testing::line("path pattern - parse [src/patterns/path:79]") +
         testing::line("parse node pattern [src/patterns/parsing:767]") +
         testing::line("type schema - new [src/patterns/type_schema:38]") +
         testing::line("type schema - parse pattern [src/patterns/type_schema:48]")},
    {"TypeMatching",
     [](std::size_t d) -> Walk {
       auto store = std::make_shared<DeepStore>(d);
       return [store] {
         return status_of(store->graph->check_type_matches(
             store->type_uid, *store->type_schema.compiled, Match::new_()));
       };
     },
     "Type schema nested too deeply for the thread's stack",
     testing::line("graph - check type matches [src/graph/matches/type_schema:94]")},
    {"TermMatching",
     [](std::size_t d) -> Walk {
       auto store = std::make_shared<DeepStore>(d);
       return [store] {
         return status_of(store->graph->check_term_matches(
             store->term_uid, *store->term_schema.compiled, Match::new_()));
       };
     },
     "Term schema nested too deeply for the thread's stack",
     testing::line("graph - match term pattern [src/graph/matches/term_schema:88]")},
    {"SchemaToType",
     [](std::size_t d) -> Walk {
       auto store = std::make_shared<DeepStore>(d);
       return [store] {
         return status_of(store->graph->type_schema_to_type(store->type_schema, nullptr));
       };
     },
     "Type schema nested too deeply for the thread's stack",
     testing::line("graph - type schema to type [src/graph/base:389]") +
         testing::line("graph - pattern to type recursive [src/graph/base:409]")},
    {"SchemaToTerm",
     [](std::size_t d) -> Walk {
       auto store = std::make_shared<DeepStore>(d);
       return [store] {
         return status_of(store->graph->term_schema_to_term(store->term_schema, nullptr));
       };
     },
     "Term schema nested too deeply for the thread's stack",
     testing::line("graph - term schema to term [src/graph/base:511]") +
         testing::line("graph - pattern to term recursive [src/graph/base:528]")},
};

// ThreadSanitizer runs a thread on other stack bounds than pthread_getattr_np
// reports (asked for 256 KiB, the thread has some 128 KiB below its first
// frame and is told 900 KiB), so no known room can be left for a walk there.
class DeepWalkTest : public ::testing::TestWithParam<std::tuple<DeepCase, std::size_t>> {
 protected:
  void SetUp() override {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer misreports thread stack bounds";
#endif
  }
};

TEST_P(DeepWalkTest, RunsOutOfStackWithAReport) {
  const auto& [c, stack_bytes] = GetParam();
  const Walk deep = c.make(kDeep);
  Status status;
  ASSERT_TRUE(testing::run_with_small_stack(
      [&] { with_stack_left(kRoomLeft, [&] { status = deep(); }); }, stack_bytes));
  ASSERT_FALSE(status.has_value()) << "the walk did not run out of stack";
  const KorvaleError& error = status.error().kind();
  ASSERT_TRUE(std::holds_alternative<kind::StackExhausted>(error)) << format_report(status.error());
  EXPECT_EQ(exception_class(error), ExceptionClass::RecursionError);
  EXPECT_EQ(error_message(error), c.message);
  const std::string rendered = format_report(status.error());
  EXPECT_TRUE(rendered.starts_with(c.message + c.outermost_lines)) << rendered.substr(0, 400);
}

// The same room holds a few levels: the guard stops deep walks only. (A
// schema's term converts over no bindings, so it ends at its first name.)
TEST_P(DeepWalkTest, ShallowInputFitsInTheSameRoom) {
  const auto& [c, stack_bytes] = GetParam();
  const Walk shallow = c.make(kShallow);
  Status status;
  ASSERT_TRUE(testing::run_with_small_stack(
      [&] { with_stack_left(kRoomLeft, [&] { status = shallow(); }); }, stack_bytes));
  if (std::string(c.name) == "SchemaToTerm") {
    EXPECT_EQ(testing::rendered(status).substr(0, 31), "Variable not found: 'p' (patter");
  } else {
    EXPECT_TRUE(status.has_value()) << format_report(status.error());
  }
}

INSTANTIATE_TEST_SUITE_P(Walks, DeepWalkTest,
                         ::testing::Combine(::testing::ValuesIn(kDeepCases),
                                            ::testing::ValuesIn(kStackSizes)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  std::to_string(std::get<1>(info.param) / 1024) + "KiB";
                         });

// On a default stack the depth limits stop deep input first, with their own
// reports, as before.
TEST(DefaultStackTest, DepthLimitsStillComeFirst) {
  const std::string schema = testing::rendered(TypeSchema::new_(arrows(kMaxSchemaDepth + 10)));
  EXPECT_TRUE(schema.starts_with(
      "Schema Validation Failed for 'A': Pattern nested too deeply (more than 256 levels)\n"))
      << schema.substr(0, 200);
  const std::string value =
      testing::rendered(parse_property_value(nested_list(kMaxValueDepth + 10)));
  EXPECT_TRUE(value.starts_with("Invalid Pattern; '" + nested_list(10) +
                                "': Property value is nested too deeply (more than 256 levels)\n"))
      << value.substr(0, 200);
}

// Values are as deep as kMaxValueDepth allows; their text form, comparison
// and release need no stack per level, so they cannot fail for want of it.
Dynamic deep_value(std::size_t depth, std::int64_t leaf) {
  Dynamic value = Dynamic::integer(leaf);
  for (std::size_t i = 0; i < depth; ++i) {
    if (i % 2 == 0) {
      value = Dynamic::list({Dynamic::boolean(true), std::move(value)});
    } else {
      Dynamic::Dict entries;
      entries.emplace("k", std::move(value));
      value = Dynamic::dict(std::move(entries));
    }
  }
  return value;
}

std::string deep_text(std::size_t depth, std::int64_t leaf) {
  std::string text = std::to_string(leaf);
  for (std::size_t i = 0; i < depth; ++i) {
    text = i % 2 == 0 ? "[true, " + text + "]" : "#{\"k\": " + text + "}";
  }
  return text;
}

TEST(DeepValueTest, TextComparisonAndReleaseNeedNoStackPerLevel) {
  Dynamic first = deep_value(kMaxValueDepth, 1);
  Dynamic same = deep_value(kMaxValueDepth, 1);
  Dynamic other = deep_value(kMaxValueDepth, 2);
  const std::string expected = deep_text(kMaxValueDepth, 1);
  std::string text;
  bool equal = false;
  bool unequal = true;
  ASSERT_TRUE(testing::run_with_small_stack(
      [&] {
        // Less room than one level per nesting of any recursion would need.
        with_stack_left(kStackMargin, [&] {
          text = first.to_string();
          equal = compare_values(first, same);
          unequal = compare_values(first, other);
          first = Dynamic();
          same = Dynamic();
          other = Dynamic();
        });
      },
      kStackSizes[0]));
  EXPECT_EQ(text, expected);
  EXPECT_TRUE(equal);
  EXPECT_FALSE(unequal);
}

TEST(StackGuardTest, PassesWithRoomAndFailsWithinTheMargin) {
  EXPECT_TRUE(stack_has_room());  // the main thread
  bool roomy = false;
  bool cramped = true;
  ASSERT_TRUE(testing::run_with_small_stack(
      [&] {
        roomy = stack_has_room();
        with_stack_left(kStackMargin / 2, [&] { cramped = stack_has_room(); });
      },
      kStackSizes[0]));
  EXPECT_TRUE(roomy);
  EXPECT_FALSE(cramped);
}

TEST(StackGuardTest, WorksOnPoolThreads) {
  KORVALE_SKIP_POOL_UNDER_TSAN();
  bool roomy = false;
  bool cramped = true;
  EXPECT_TRUE(testing::run_on_pool_thread([&] {
    roomy = stack_has_room();
    with_stack_left(kStackMargin / 2, [&] { cramped = stack_has_room(); });
  }));
  EXPECT_TRUE(roomy);
  EXPECT_FALSE(cramped);
}

}  // namespace
}  // namespace korvale
