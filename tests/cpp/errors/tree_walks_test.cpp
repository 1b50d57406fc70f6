// The two walks of trees: post_order (the order of its visits, values known
// without the parts, walks without values and their nodes of one part,
// failures) and in_order (text around and between the parts of every node,
// failures with a line from every open level), both at depths beyond any
// thread's stack and at a cost that does not grow per node.
#include "base/tree_walks.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "support/allocation_probe.hpp"
#include "support/on_pool_thread.hpp"
#include "support/report_lines.hpp"

namespace korvale {
namespace {

// A small binary tree by position: a leaf has no parts, a node of one part
// no second.
struct Tree {
  struct Node {
    std::string name;
    int first = -1;
    int second = -1;
  };
  std::vector<Node> nodes;
  bool is_leaf(int at) const { return nodes[at].first < 0; }
};

// ((a b) c) with the root at 0.
Tree small_tree() {
  return Tree{{{"root", 1, 4}, {"ab", 2, 3}, {"a"}, {"b"}, {"c"}}};
}

Report refused(const std::string& what) {
  return Report(kind::RuntimeError{what, "tree walk test"})
      .attach("first line")
      .attach("second line");
}

// --- post_order ----------------------------------------------------------------

using TextStep = PostOrderStep<int, std::string>;

// A leaf's value is its name; any other node is made from its parts.
void enter_plainly(const Tree& tree, int at, TextStep& step) {
  if (tree.is_leaf(at)) {
    step.value(tree.nodes[at].name);
  } else {
    step.parts(tree.nodes[at].first, tree.nodes[at].second);
  }
}

TEST(PostOrderTest, CombinesEachNodeAfterItsFirstThenItsSecondPart) {
  const Tree tree = small_tree();
  std::vector<std::string> events;
  const std::string text = post_order<std::string>(
      0,
      [&](int at, TextStep& step) {
        events.push_back("enter " + tree.nodes[at].name);
        enter_plainly(tree, at, step);
      },
      [&](int at, std::string first, std::string second) {
        events.push_back("combine " + tree.nodes[at].name);
        return "(" + first + " " + second + ")";
      });
  EXPECT_EQ(text, "((a b) c)");
  EXPECT_EQ(events, (std::vector<std::string>{"enter root", "enter ab", "enter a", "enter b",
                                              "combine ab", "enter c", "combine root"}));
}

TEST(PostOrderTest, AValueKnownAtEntryKeepsTheWalkOutOfTheParts) {
  const Tree tree = small_tree();
  std::vector<std::string> entered;
  const std::string text = post_order<std::string>(
      0,
      [&](int at, TextStep& step) {
        entered.push_back(tree.nodes[at].name);
        if (tree.nodes[at].name == "ab") {
          step.value("known");
        } else if (tree.is_leaf(at)) {
          step.value(tree.nodes[at].name);
        } else {
          step.parts(tree.nodes[at].first, tree.nodes[at].second);
        }
      },
      [](int, std::string first, std::string second) { return first + "+" + second; });
  EXPECT_EQ(text, "known+c");
  EXPECT_EQ(entered, (std::vector<std::string>{"root", "ab", "c"}));
}

TEST(PostOrderTest, ARootKnownAtEntryIsTheResult) {
  int combined = 0;
  const int value = post_order<int>(
      7, [](int at, PostOrderStep<int, int>& step) { step.value(at * 2); },
      [&](int, int first, int) {
        ++combined;
        return first;
      });
  EXPECT_EQ(value, 14);
  EXPECT_EQ(combined, 0);
}

TEST(PostOrderTest, WithoutValuesOnlyNodesSplitAtEntryAreCombined) {
  const Tree tree = small_tree();
  std::vector<std::string> events;
  post_order<void>(
      0,
      [&](int at, PostOrderStep<int, void>& step) {
        events.push_back("enter " + tree.nodes[at].name);
        // "ab" counts as done already: neither it nor its parts need work.
        if (!tree.is_leaf(at) && tree.nodes[at].name != "ab") {
          step.parts(tree.nodes[at].first, tree.nodes[at].second);
        }
      },
      [&](int at) { events.push_back("combine " + tree.nodes[at].name); });
  EXPECT_EQ(events,
            (std::vector<std::string>{"enter root", "enter ab", "enter c", "combine root"}));
}

TEST(PostOrderTest, ANodeOfOnePartIsCombinedAfterIt) {
  // 0 holds 1 alone; 1 splits into the leaves 2 and 3.
  const Tree tree{{{"one", 1, -1}, {"two", 2, 3}, {"a"}, {"b"}}};
  std::vector<std::string> events;
  post_order<void>(
      0,
      [&](int at, PostOrderStep<int, void>& step) {
        events.push_back("enter " + tree.nodes[at].name);
        if (tree.is_leaf(at)) return;
        if (tree.nodes[at].second < 0) {
          step.part(tree.nodes[at].first);
        } else {
          step.parts(tree.nodes[at].first, tree.nodes[at].second);
        }
      },
      [&](int at) { events.push_back("combine " + tree.nodes[at].name); });
  EXPECT_EQ(events, (std::vector<std::string>{"enter one", "enter two", "enter a", "enter b",
                                              "combine two", "combine one"}));
}

TEST(PostOrderTest, CombineSeesWhatEnterNotedInTheNode) {
  struct Noted {
    int at;
    std::string note;
  };
  const Tree tree = small_tree();
  const std::string text = post_order<std::string>(
      Noted{0, ""},
      [&](Noted& node, PostOrderStep<Noted, std::string>& step) {
        const Tree::Node& here = tree.nodes[node.at];
        if (tree.is_leaf(node.at)) {
          step.value(here.name);
          return;
        }
        node.note = here.name;
        step.parts(Noted{here.first, ""}, Noted{here.second, ""});
      },
      [](const Noted& node, std::string first, std::string second) {
        return node.note + "[" + first + "," + second + "]";
      });
  EXPECT_EQ(text, "root[ab[a,b],c]");
}

// post_order: failures

TEST(PostOrderTest, TheFirstFailingEntryEndsTheWalkWithItsReportUnchanged) {
  const Tree tree = small_tree();
  std::vector<std::string> events;
  const Result<std::string> text = post_order<std::string>(
      0,
      [&](int at, TextStep& step) -> Status {
        events.push_back("enter " + tree.nodes[at].name);
        if (tree.nodes[at].name == "b") return fail(refused("no b"));
        enter_plainly(tree, at, step);
        return {};
      },
      [&](int at, std::string first, std::string second) -> Result<std::string> {
        events.push_back("combine " + tree.nodes[at].name);
        return first + second;
      });
  EXPECT_EQ(testing::rendered(text), format_report(refused("no b")));
  EXPECT_EQ(events, (std::vector<std::string>{"enter root", "enter ab", "enter a", "enter b"}));
}

TEST(PostOrderTest, AFailingCombineEndsTheWalkWithItsReportUnchanged) {
  const Tree tree = small_tree();
  std::vector<std::string> events;
  const Result<std::string> text = post_order<std::string>(
      0,
      [&](int at, TextStep& step) -> Status {
        events.push_back("enter " + tree.nodes[at].name);
        enter_plainly(tree, at, step);
        return {};
      },
      [&](int at, std::string, std::string) -> Result<std::string> {
        events.push_back("combine " + tree.nodes[at].name);
        return fail(refused("no " + tree.nodes[at].name));
      });
  EXPECT_EQ(testing::rendered(text), format_report(refused("no ab")));
  EXPECT_EQ(events, (std::vector<std::string>{"enter root", "enter ab", "enter a", "enter b",
                                              "combine ab"}));
}

TEST(PostOrderTest, AFallibleWalkWithoutValuesReportsSuccessOrItsFailure) {
  const Tree tree = small_tree();
  for (const std::string failing : {"", "c", "root"}) {
    std::vector<std::string> combined;
    const Status walked = post_order<void>(
        0,
        [&](int at, PostOrderStep<int, void>& step) -> Status {
          if (!tree.is_leaf(at)) step.parts(tree.nodes[at].first, tree.nodes[at].second);
          if (tree.nodes[at].name == failing) return fail(refused("entered " + failing));
          return {};
        },
        [&](int at) -> Status {
          combined.push_back(tree.nodes[at].name);
          return {};
        });
    if (failing.empty()) {
      EXPECT_TRUE(walked.has_value()) << testing::rendered(walked);
      EXPECT_EQ(combined, (std::vector<std::string>{"ab", "root"}));
    } else {
      EXPECT_EQ(testing::rendered(walked), format_report(refused("entered " + failing)));
      EXPECT_EQ(combined,
                failing == "c" ? std::vector<std::string>{"ab"} : std::vector<std::string>{});
    }
  }
}

// --- in_order ------------------------------------------------------------------

using Pair = Parenthesised<int>;

TEST(InOrderTest, WritesEachInnerNodeAroundAndBetweenItsParts) {
  const Tree tree = small_tree();
  std::string out;
  std::vector<std::string> entered;
  in_order<Pair>(
      0,
      [&](int at) -> std::optional<Pair> {
        entered.push_back(tree.nodes[at].name);
        if (!tree.is_leaf(at)) return Pair(tree.nodes[at].first, tree.nodes[at].second);
        out += tree.nodes[at].name;
        return std::nullopt;
      },
      [&](Pair& pair) { return pair.next(out, " "); });
  EXPECT_EQ(out, "((a b) c)");
  EXPECT_EQ(entered, (std::vector<std::string>{"root", "ab", "a", "b", "c"}));
}

TEST(InOrderTest, ANoteMayGiveAnyNumberOfParts) {
  // [a, [b], []]: lists, their items written with commas between them.
  struct Value {
    std::string leaf;  // empty for a list
    std::vector<int> items = {};
  };
  const std::vector<Value> values{{"", {1, 2, 4}}, {"a"}, {"", {3}}, {"b"}, {""}};
  struct Items {
    int at;
    std::size_t next;
  };
  std::string out;
  in_order<Items>(
      0,
      [&](int at) -> std::optional<Items> {
        if (values[at].leaf.empty()) {
          out += '[';
          return Items{at, 0};
        }
        out += values[at].leaf;
        return std::nullopt;
      },
      [&](Items& list) -> std::optional<int> {
        const std::vector<int>& items = values[list.at].items;
        if (list.next == items.size()) {
          out += ']';
          return std::nullopt;
        }
        if (list.next > 0) out += ", ";
        return items[list.next++];
      });
  EXPECT_EQ(out, "[a, [b], []]");
}

TEST(InOrderTest, ALeafRootIsWrittenWithoutAskingForParts) {
  std::string out;
  int asked = 0;
  in_order<Pair>(
      7,
      [&](int at) -> std::optional<Pair> {
        out += std::to_string(at);
        return std::nullopt;
      },
      [&](Pair& pair) {
        ++asked;
        return pair.next(out, " ");
      });
  EXPECT_EQ(out, "7");
  EXPECT_EQ(asked, 0);
}

// in_order: failures

// The walk over small_tree() whose entry of `failing` fails; every open level
// adds a line naming its own node and the part the failure was in.
Status walk_failing_at(const std::string& failing, std::vector<std::string>& entered) {
  const Tree tree = small_tree();
  struct Level {
    int at;
    Pair parts;
  };
  std::string out;
  return in_order<Level>(
      0,
      [&](int at) -> Result<std::optional<Level>> {
        entered.push_back(tree.nodes[at].name);
        if (tree.nodes[at].name == failing) return fail(refused("no " + failing));
        if (tree.is_leaf(at)) return std::nullopt;
        return Level{at, Pair(tree.nodes[at].first, tree.nodes[at].second)};
      },
      [&](Level& level) { return level.parts.next(out, " "); },
      [&](const Level& level, Report& failure) {
        failure.attach(tree.nodes[level.at].name + (level.parts.in_first() ? " first" : " second"));
      });
}

TEST(InOrderTest, TheFirstFailingEntryEndsTheWalkWithALinePerOpenLevelInnermostFirst) {
  std::vector<std::string> entered;
  const Status walked = walk_failing_at("b", entered);
  EXPECT_EQ(testing::rendered(walked),
            format_report(refused("no b").attach("ab second").attach("root first")));
  EXPECT_EQ(entered, (std::vector<std::string>{"root", "ab", "a", "b"}));
}

TEST(InOrderTest, AFailingRootIsReturnedAsItIs) {
  std::vector<std::string> entered;
  const Status walked = walk_failing_at("root", entered);
  EXPECT_EQ(testing::rendered(walked), format_report(refused("no root")));
  EXPECT_EQ(entered, (std::vector<std::string>{"root"}));
}

TEST(InOrderTest, AWalkThatMeetsNoFailureSucceeds) {
  std::vector<std::string> entered;
  const Status walked = walk_failing_at("", entered);
  EXPECT_TRUE(walked.has_value()) << testing::rendered(walked);
  EXPECT_EQ(entered, (std::vector<std::string>{"root", "ab", "a", "b", "c"}));
}

// --- depth and cost -----------------------------------------------------------------

constexpr std::size_t kDeep = 100'000;

// A chain kDeep levels deep, nested on the first or the second side; each
// level has a leaf as its other part.
struct Level {
  std::size_t depth;  // 0 for a leaf
};

Level inner(Level level) {
  return Level{level.depth - 1};
}

// The leaves of the chain, as post_order's value.
std::size_t post_order_leaves(bool nested_first) {
  return post_order<std::size_t>(
      Level{kDeep},
      [&](Level level, PostOrderStep<Level, std::size_t>& step) {
        if (level.depth == 0) {
          step.value(1);
        } else if (nested_first) {
          step.parts(inner(level), Level{0});
        } else {
          step.parts(Level{0}, inner(level));
        }
      },
      [](Level, std::size_t first, std::size_t second) { return first + second; });
}

// The leaves of the chain, counted as in_order enters them; its text is not
// kept, only the walk is measured.
std::size_t in_order_leaves(bool nested_first) {
  std::size_t leaves = 0;
  std::string none;
  in_order<Parenthesised<Level>>(
      Level{kDeep},
      [&](Level level) -> std::optional<Parenthesised<Level>> {
        if (level.depth == 0) {
          ++leaves;
          return std::nullopt;
        }
        return nested_first ? Parenthesised(inner(level), Level{0})
                            : Parenthesised(Level{0}, inner(level));
      },
      [&](Parenthesised<Level>& level) {
        none.clear();
        return level.next(none, "");
      });
  return leaves;
}

// The nodes of one part in a chain of them, as post_order combines them.
std::size_t one_part_nodes(bool) {
  std::size_t combined = 0;
  post_order<void>(
      Level{kDeep},
      [](Level level, PostOrderStep<Level, void>& step) {
        if (level.depth > 0) step.part(inner(level));
      },
      [&](Level) { ++combined; });
  return combined;
}

struct ChainWalk {
  const char* name;
  std::size_t (*walk)(bool nested_first);  // what it counts on the way
  bool nested_first;
  std::size_t count;
};

class ChainWalkTest : public ::testing::TestWithParam<ChainWalk> {};

TEST_P(ChainWalkTest, WalksChainsDeeperThanASmallStackHolds) {
  std::size_t count = 0;
  ASSERT_TRUE(
      testing::run_with_small_stack([&] { count = GetParam().walk(GetParam().nested_first); }));
  EXPECT_EQ(count, GetParam().count);
}

TEST_P(ChainWalkTest, AllocatesPerWalkNotPerNode) {
  testing::AllocationCounter counter;
  const std::size_t count = GetParam().walk(GetParam().nested_first);
  const std::size_t allocations = counter.count();
  EXPECT_EQ(count, GetParam().count);
  // The walks' vectors double as they grow: some forty allocations in all.
  EXPECT_LT(allocations, 100u);
}

INSTANTIATE_TEST_SUITE_P(
    Walks, ChainWalkTest,
    ::testing::Values(ChainWalk{"PostOrderNestedFirst", post_order_leaves, true, kDeep + 1},
                      ChainWalk{"PostOrderNestedSecond", post_order_leaves, false, kDeep + 1},
                      ChainWalk{"PostOrderOfOnePart", one_part_nodes, true, kDeep},
                      ChainWalk{"InOrderNestedFirst", in_order_leaves, true, kDeep + 1},
                      ChainWalk{"InOrderNestedSecond", in_order_leaves, false, kDeep + 1}),
    [](const ::testing::TestParamInfo<ChainWalk>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvale
