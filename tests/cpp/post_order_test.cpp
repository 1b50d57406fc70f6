// The children-first walk: the order of its visits, values known without the
// parts, walks without values, failures, and depth beyond any thread's stack
// at a cost that does not grow per node.
#include "typing/post_order.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "allocation_probe.hpp"
#include "on_pool_thread.hpp"
#include "report_lines.hpp"

namespace korvale {
namespace {

// A small binary tree by position: a leaf has no parts.
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

// --- failures -----------------------------------------------------------------

Report refused(const std::string& what) {
  return Report(kind::RuntimeError{what, "post order test"})
      .attach("first line")
      .attach("second line");
}

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

// --- depth and cost -----------------------------------------------------------------

constexpr std::size_t kDeep = 100'000;

// A chain kDeep levels deep, nested on the first or the second side; each
// level has a leaf as its other part. The value counts the leaves.
struct Level {
  std::size_t depth;  // 0 for a leaf
};

std::size_t count_chain_leaves(bool nested_first) {
  return post_order<std::size_t>(
      Level{kDeep},
      [&](Level level, PostOrderStep<Level, std::size_t>& step) {
        if (level.depth == 0) {
          step.value(1);
        } else if (nested_first) {
          step.parts(Level{level.depth - 1}, Level{0});
        } else {
          step.parts(Level{0}, Level{level.depth - 1});
        }
      },
      [](Level, std::size_t first, std::size_t second) { return first + second; });
}

TEST(PostOrderTest, WalksChainsDeeperThanASmallStackHolds) {
  for (const bool nested_first : {true, false}) {
    std::size_t leaves = 0;
    ASSERT_TRUE(testing::run_with_small_stack([&] { leaves = count_chain_leaves(nested_first); }));
    EXPECT_EQ(leaves, kDeep + 1);
  }
}

TEST(PostOrderTest, AllocatesPerWalkNotPerNode) {
  for (const bool nested_first : {true, false}) {
    testing::AllocationCounter counter;
    const std::size_t leaves = count_chain_leaves(nested_first);
    const std::size_t allocations = counter.count();
    EXPECT_EQ(leaves, kDeep + 1);
    // The two vectors double as they grow: some forty allocations in all.
    EXPECT_LT(allocations, 100u);
  }
}

}  // namespace
}  // namespace korvale
