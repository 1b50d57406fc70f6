#include "memory/chain_release.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "support/on_pool_thread.hpp"

namespace korvale {
namespace {

// Nodes counted as they go. Tests run one at a time, so one counter serves all.
std::atomic<std::size_t> destroyed{0};

// A node with kParts shared parts, released through the scheme.
template <std::size_t kParts>
struct Node {
  using Ptr = std::shared_ptr<const Node>;
  std::array<Ptr, kParts> parts;

  ~Node() {
    destroyed.fetch_add(1, std::memory_order_relaxed);
    std::apply([](auto&... part) { ChainRelease<Ptr>::release(part...); }, parts);
  }
};

using Link = Node<1>;
using Fork = Node<2>;
using Triple = Node<3>;

// Deep enough that one destructor call per level overflows the small stack.
constexpr std::size_t kDepth = 200'000;

Link::Ptr link_chain(std::size_t length) {
  Link::Ptr top;
  for (std::size_t i = 0; i < length; ++i) {
    auto node = std::make_shared<Link>();
    node->parts[0] = std::move(top);
    top = std::move(node);
  }
  return top;
}

// A full binary tree of the given height: every part held by its node alone,
// so the pending list outgrows its inline room.
Fork::Ptr fork_tree(int height) {
  if (height == 0) return nullptr;
  auto node = std::make_shared<Fork>();
  node->parts[0] = fork_tree(height - 1);
  node->parts[1] = fork_tree(height - 1);
  return node;
}

TEST(ChainReleaseTest, LongChainGoesOnASmallStack) {
  destroyed = 0;
  Link::Ptr chain = link_chain(kDepth);
  ASSERT_TRUE(testing::run_with_small_stack([&] { chain.reset(); }));
  EXPECT_EQ(destroyed.load(), kDepth);
}

TEST(ChainReleaseTest, TreeWiderThanTheInlineRoomGoesWhole) {
  destroyed = 0;
  Fork::Ptr tree = fork_tree(16);
  ASSERT_TRUE(testing::run_with_small_stack([&] { tree.reset(); }));
  EXPECT_EQ(destroyed.load(), (std::size_t{1} << 16) - 1);
}

// Each node of the chain also holds two parts shared with the caller: those
// only lose a count, and the chain through the third part still goes
// without recursion.
TEST(ChainReleaseTest, SharedPartsSurviveAndTheRestGoes) {
  const auto left = std::make_shared<Triple>();
  const auto right = std::make_shared<Triple>();
  Triple::Ptr top;
  for (std::size_t i = 0; i < kDepth; ++i) {
    auto node = std::make_shared<Triple>();
    node->parts = {left, std::move(top), right};
    top = std::move(node);
  }
  destroyed = 0;
  ASSERT_TRUE(testing::run_with_small_stack([&] { top.reset(); }));
  EXPECT_EQ(destroyed.load(), kDepth);
  EXPECT_EQ(left.use_count(), 1);
  EXPECT_EQ(right.use_count(), 1);
}

TEST(ChainReleaseTest, AHeldInnerNodeKeepsItsPartOfTheChain) {
  Link::Ptr chain = link_chain(kDepth);
  Link::Ptr middle = chain;
  for (std::size_t i = 0; i < kDepth / 2; ++i) middle = middle->parts[0];
  destroyed = 0;
  ASSERT_TRUE(testing::run_with_small_stack([&] { chain.reset(); }));
  EXPECT_EQ(destroyed.load(), kDepth / 2);
  std::size_t left = 0;
  for (const Link* at = middle.get(); at != nullptr; at = at->parts[0].get()) ++left;
  EXPECT_EQ(left, kDepth / 2);
  ASSERT_TRUE(testing::run_with_small_stack([&] { middle.reset(); }));
  EXPECT_EQ(destroyed.load(), kDepth);
}

// Whoever drops the last handle destroys the chain, whichever thread it is.
TEST(ChainReleaseTest, ThreadsDroppingCopiesDestroyTheChainOnce) {
  constexpr int kThreads = 8;
  destroyed = 0;
  std::vector<Link::Ptr> copies(kThreads, link_chain(kDepth));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back(
        [&copies, t] { ASSERT_TRUE(testing::run_with_small_stack([&] { copies[t].reset(); })); });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(destroyed.load(), kDepth);
}

// A handle held by a thread_local object goes in that object's destructor,
// during thread exit, after the thread has released chains before.
TEST(ChainReleaseTest, ChainHeldUntilThreadExitGoesThen) {
  struct Holder {
    Link::Ptr chain;
  };
  destroyed = 0;
  ASSERT_TRUE(testing::run_with_small_stack([] {
    thread_local Holder holder;
    link_chain(10).reset();
    holder.chain = link_chain(kDepth);
  }));
  EXPECT_EQ(destroyed.load(), kDepth + 10);
}

}  // namespace
}  // namespace korvale
