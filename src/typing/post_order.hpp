// Children-first walks of binary trees (types, terms and their stored forms)
// with an explicit stack instead of recursion: the trees may be nested deeper
// than any thread's stack holds, and pool threads have small ones.
//
//   post_order<Value>(root, enter, combine)
//
// `Node` is a cheap handle the walk copies (a pointer, a Uid, ...). Each node
// is entered once, when the walk reaches it:
//   enter(Node& node, PostOrderStep<Node, Value>& step)
// decides what the node needs, by calling on `step`
//   - value(v): the node's value is known without its parts (a leaf, or a
//     value found in a cache); not in walks without values;
//   - parts(first, second): walk `first`, then `second`; after both,
//     combine(node, first's value, second's value) gives the node's value
//     (in walks without values: combine(node));
//   - nothing, in walks without values: the node needs no more work.
// A walk with values calls exactly one of the two. `enter` may note in `node`
// what `combine` will need: combine sees the node as enter left it.
//
// Value = void makes a walk without values, which returns nothing. A walk may
// fail: when `enter` returns a Status and `combine` a Result<Value> (a Status
// without values), the first failure ends the walk and is returned as it is;
// otherwise post_order returns the root's Value.
//
// Cost: two vectors per walk (frames and values, one only without values),
// grown as the walk deepens and reused for all its nodes; nothing per node.
#pragma once

#include <cassert>
#include <cstddef>
#include <type_traits>
#include <utility>
#include <vector>

#include "errors/report.hpp"

namespace korvale {

template <class Node, class Value>
class PostOrderStep;

template <class Value, class Node, class Enter, class Combine>
auto post_order(Node root, Enter&& enter, Combine&& combine);

namespace post_order_detail {

template <class Node>
struct Frame {
  Node node;
  bool parts_done;  // entered already: both parts have left their values
};

// What value() takes; a placeholder where there are no values.
struct NoValue {};
template <class Value>
using Known = std::conditional_t<std::is_void_v<Value>, NoValue, Value>;

// The values of the nodes done whose parent is not, in walk order; nothing
// without values.
template <class Value>
struct Values {
  std::vector<Value> stack;
};
template <>
struct Values<void> {};

template <class Value>
std::size_t count(const Values<Value>& values) {
  if constexpr (std::is_void_v<Value>) {
    return 0;
  } else {
    return values.stack.size();
  }
}

}  // namespace post_order_detail

template <class Node, class Value>
class PostOrderStep {
 public:
  void value(post_order_detail::Known<Value> v) requires(!std::is_void_v<Value>) {
    values_.stack.push_back(std::move(v));
  }

  void parts(Node first, Node second) {
    frames_.push_back({*node_, true});
    frames_.push_back({std::move(second), false});
    frames_.push_back({std::move(first), false});
  }

 private:
  template <class V, class N, class Enter, class Combine>
  friend auto post_order(N root, Enter&& enter, Combine&& combine);

  PostOrderStep(std::vector<post_order_detail::Frame<Node>>& frames,
                post_order_detail::Values<Value>& values)
      : frames_(frames), values_(values) {}

  std::vector<post_order_detail::Frame<Node>>& frames_;
  post_order_detail::Values<Value>& values_;
  const Node* node_ = nullptr;  // the node being entered
};

namespace post_order_detail {

// Whether the walk's visits return a Status, failing it on the first report.
template <class Node, class Value, class Enter>
inline constexpr bool kFallible =
    std::is_same_v<std::invoke_result_t<Enter&, Node&, PostOrderStep<Node, Value>&>, Status>;

// Enters the node; returns what enter returns (a Status or nothing).
template <class Node, class Value, class Enter>
auto enter_node(Node& node, PostOrderStep<Node, Value>& step,
                const std::vector<Frame<Node>>& frames, const Values<Value>& values, Enter& enter) {
  [[maybe_unused]] const std::size_t frames_before = frames.size();
  [[maybe_unused]] const std::size_t values_before = count(values);
  // One outcome per node; a walk with values has no third one, since combine
  // counts on a value from each part.
  [[maybe_unused]] const auto one_outcome = [&] {
    return (frames.size() == frames_before + 3 && count(values) == values_before) ||
           (frames.size() == frames_before &&
            count(values) == values_before + (std::is_void_v<Value> ? 0 : 1));
  };
  if constexpr (kFallible<Node, Value, Enter>) {
    Status entered = enter(node, step);
    assert(!entered || one_outcome());
    return entered;
  } else {
    enter(node, step);
    assert(one_outcome());
  }
}

// Gives the node whose parts are done its value from theirs, which it
// replaces on `values`; returns a Status in fallible walks.
template <bool kCanFail, class Node, class Value, class Combine>
auto combine_parts(Node& node, Values<Value>& values, Combine& combine) {
  if constexpr (std::is_void_v<Value>) {
    return combine(node);
  } else {
    assert(values.stack.size() >= 2);
    Value second = std::move(values.stack.back());
    values.stack.pop_back();
    Value& first = values.stack.back();
    if constexpr (kCanFail) {
      Result<Value> combined = combine(node, std::move(first), std::move(second));
      if (!combined) return Status(fail(std::move(combined.error())));
      first = std::move(*combined);
      return Status();
    } else {
      first = combine(node, std::move(first), std::move(second));
    }
  }
}

}  // namespace post_order_detail

template <class Value, class Node, class Enter, class Combine>
auto post_order(Node root, Enter&& enter, Combine&& combine) {
  constexpr bool kCanFail = post_order_detail::kFallible<Node, Value, Enter>;
  using Returned = std::conditional_t<kCanFail, Result<Value>, Value>;
  std::vector<post_order_detail::Frame<Node>> frames{{std::move(root), false}};
  post_order_detail::Values<Value> values;
  PostOrderStep<Node, Value> step(frames, values);
  while (!frames.empty()) {
    post_order_detail::Frame<Node> frame = std::move(frames.back());
    frames.pop_back();
    step.node_ = &frame.node;
    if constexpr (kCanFail) {
      Status done = frame.parts_done
                        ? post_order_detail::combine_parts<true>(frame.node, values, combine)
                        : post_order_detail::enter_node(frame.node, step, frames, values, enter);
      if (!done) return Returned(fail(std::move(done.error())));
    } else if (frame.parts_done) {
      post_order_detail::combine_parts<false>(frame.node, values, combine);
    } else {
      post_order_detail::enter_node(frame.node, step, frames, values, enter);
    }
  }
  if constexpr (!std::is_void_v<Value>) {
    return Returned(std::move(values.stack.back()));
  } else if constexpr (kCanFail) {
    return Returned();
  }
}

}  // namespace korvale
