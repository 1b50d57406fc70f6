// The walks of trees that the whole core shares (types, terms and their stored
// forms, type patterns, property values), each with an explicit stack instead
// of recursion: the trees may be nested deeper than any thread's stack holds,
// and pool threads have small ones. Two shapes:
//   - post_order: children first, a node's value made from its parts' values
//     (identifiers, rebuilt trees, parts stored before the whole);
//   - in_order: the printers' walk, which writes a node's text around and
//     between its parts ("(A -> B)", "[1, 2]") into one output as it goes.
//
// -- post_order<Value>(root, enter, combine) --------------------------------
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
//   - part(only), in walks without values: walk `only`, then combine(node);
//   - nothing, in walks without values: the node needs no more work.
// A walk with values calls exactly one of the two. `enter` may note in `node`
// what `combine` will need: combine sees the node as enter left it.
//
// Value = void makes a walk without values, which returns nothing. A walk may
// fail: when `enter` returns a std::expected<void, E> (a Status) and `combine`
// a std::expected<Value, E> or a plain Value (a Status without values), the
// first failure ends the walk and is returned as it is; otherwise post_order
// returns the root's Value.
//
// Cost: two vectors per walk (frames and values, one only without values),
// grown as the walk deepens and reused for all its nodes; nothing per node.
//
// -- in_order<Open>(root, enter, next[, unwind]) -----------------------------
//
// `Node` is again a cheap handle; `Open` is the walk's note of a node whose
// parts are being written, saying which part comes next. Each node is entered
// once:
//   enter(const Node& node) -> std::optional<Open>
// writes a leaf whole and gives nullopt, or gives the note of an inner node
// (having written nothing, or its beginning). Then, for that note, until it
// gives nullopt:
//   next(Open& open) -> std::optional<Node>
// writes what stands before the node's next part and gives that part, which
// is walked whole before `next` is asked again; or writes the node's end and
// gives nullopt, and the node is done.
//
// A walk may fail: when `enter` returns std::expected<std::optional<Open>, E>,
// the first failure ends the walk and in_order returns it as a
// std::expected<void, E>; before that, unwind(const Open& open, E& failure)
// sees it once for every node still open, innermost first (to tell, say, in
// which part of each level it happened). Otherwise in_order returns nothing.
//
// Cost: one vector of notes per walk, as deep as the deepest open node; none
// until a first node opens.
#pragma once

#include <cassert>
#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace korvale {

namespace tree_walk_detail {

// The failure of an outcome std::expected<T, E>: E; void for any other type,
// which cannot fail.
template <class Outcome>
struct FailureOf {
  using type = void;
};
template <class T, class E>
struct FailureOf<std::expected<T, E>> {
  using type = E;
};
template <class Outcome>
using Failure = typename FailureOf<Outcome>::type;

}  // namespace tree_walk_detail

// ---------------------------------------------------------------------------
// post_order

template <class Node, class Value>
class PostOrderStep;

template <class Value, class Node, class Enter, class Combine>
auto post_order(Node root, Enter&& enter, Combine&& combine);

namespace post_order_detail {

template <class Node>
struct Frame {
  Node node;
  bool parts_done;  // entered already: its parts have left their values
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

  // A node of one part (a capture around its pattern); combine(node) has no
  // value to take from it, so only walks without values have it.
  void part(Node only) requires(std::is_void_v<Value>) {
    frames_.push_back({*node_, true});
    frames_.push_back({std::move(only), false});
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

// What the walk's visits fail with, or void when they cannot fail.
template <class Node, class Value, class Enter>
using EnterFailure =
    tree_walk_detail::Failure<std::invoke_result_t<Enter&, Node&, PostOrderStep<Node, Value>&>>;

// Enters the node; returns what enter returns (a std::expected or nothing).
template <class Node, class Value, class Enter>
auto enter_node(Node& node, PostOrderStep<Node, Value>& step,
                const std::vector<Frame<Node>>& frames, const Values<Value>& values, Enter& enter) {
  [[maybe_unused]] const std::size_t frames_before = frames.size();
  [[maybe_unused]] const std::size_t values_before = count(values);
  // One outcome per node; a walk with values has no third one, since combine
  // counts on a value from each part.
  [[maybe_unused]] const auto one_outcome = [&] {
    if (count(values) != values_before) {
      return frames.size() == frames_before &&
             count(values) == values_before + (std::is_void_v<Value> ? 0 : 1);
    }
    // parts(); in walks without values also part() or nothing.
    return frames.size() == frames_before + 3 ||
           (std::is_void_v<Value> &&
            (frames.size() == frames_before + 2 || frames.size() == frames_before));
  };
  if constexpr (!std::is_void_v<EnterFailure<Node, Value, Enter>>) {
    auto entered = enter(node, step);
    assert(!entered || one_outcome());
    return entered;
  } else {
    enter(node, step);
    assert(one_outcome());
  }
}

// Gives the node whose parts are done its value from theirs, which it
// replaces on `values`; returns a std::expected<void, E> in walks that fail
// with E.
template <class E, class Node, class Value, class Combine>
auto combine_parts(Node& node, Values<Value>& values, Combine& combine) {
  if constexpr (std::is_void_v<Value>) {
    return combine(node);
  } else {
    assert(values.stack.size() >= 2);
    Value second = std::move(values.stack.back());
    values.stack.pop_back();
    Value& first = values.stack.back();
    if constexpr (!std::is_void_v<E>) {
      std::expected<Value, E> combined = combine(node, std::move(first), std::move(second));
      if (!combined) return std::expected<void, E>(std::unexpect, std::move(combined.error()));
      first = std::move(*combined);
      return std::expected<void, E>();
    } else {
      first = combine(node, std::move(first), std::move(second));
    }
  }
}

}  // namespace post_order_detail

template <class Value, class Node, class Enter, class Combine>
auto post_order(Node root, Enter&& enter, Combine&& combine) {
  using E = post_order_detail::EnterFailure<Node, Value, Enter>;
  constexpr bool kCanFail = !std::is_void_v<E>;
  using Returned = std::conditional_t<kCanFail, std::expected<Value, E>, Value>;
  std::vector<post_order_detail::Frame<Node>> frames{{std::move(root), false}};
  post_order_detail::Values<Value> values;
  PostOrderStep<Node, Value> step(frames, values);
  while (!frames.empty()) {
    post_order_detail::Frame<Node> frame = std::move(frames.back());
    frames.pop_back();
    step.node_ = &frame.node;
    if constexpr (kCanFail) {
      std::expected<void, E> done =
          frame.parts_done ? post_order_detail::combine_parts<E>(frame.node, values, combine)
                           : post_order_detail::enter_node(frame.node, step, frames, values, enter);
      if (!done) return Returned(std::unexpect, std::move(done.error()));
    } else if (frame.parts_done) {
      post_order_detail::combine_parts<void>(frame.node, values, combine);
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

// ---------------------------------------------------------------------------
// in_order

namespace in_order_detail {

// The unwind of walks that cannot fail, or that need nothing said per level.
struct NoUnwind {
  template <class Open, class E>
  void operator()(const Open&, E&) const {}
};

}  // namespace in_order_detail

template <class Open, class Node, class Enter, class Next, class Unwind = in_order_detail::NoUnwind>
auto in_order(Node root, Enter&& enter, Next&& next, [[maybe_unused]] Unwind&& unwind = {}) {
  using Entered = std::invoke_result_t<Enter&, const Node&>;
  using E = tree_walk_detail::Failure<Entered>;
  static_assert(std::is_void_v<E> ? std::is_same_v<Entered, std::optional<Open>>
                                  : std::is_same_v<Entered, std::expected<std::optional<Open>, E>>,
                "enter gives the note of an inner node, or nullopt");
  std::vector<Open> open;
  std::optional<Node> node(std::move(root));
  while (true) {
    if (node) {
      if constexpr (std::is_void_v<E>) {
        if (std::optional<Open> opened = enter(std::as_const(*node))) {
          open.push_back(std::move(*opened));
        }
      } else {
        Entered entered = enter(std::as_const(*node));
        if (!entered) {
          E failure = std::move(entered.error());
          for (auto level = open.rbegin(); level != open.rend(); ++level) {
            unwind(std::as_const(*level), failure);
          }
          return std::expected<void, E>(std::unexpect, std::move(failure));
        }
        if (*entered) open.push_back(std::move(**entered));
      }
    }
    if (open.empty()) break;
    node = next(open.back());
    if (!node) open.pop_back();
  }
  if constexpr (!std::is_void_v<E>) return std::expected<void, E>();
}

// The note of a node written "(" first middle second ")" (an arrow, an
// application), for in_order: next(out, middle) writes the "(" and gives the
// first part, writes `middle` and gives the second, then writes the ")".
template <class Node>
class Parenthesised {
 public:
  Parenthesised(Node first, Node second) : first_(std::move(first)), second_(std::move(second)) {}

  std::optional<Node> next(std::string& out, std::string_view middle) {
    switch (given_++) {
      case 0:
        out += '(';
        return first_;
      case 1:
        out += middle;
        return second_;
      default:
        out += ')';
        return std::nullopt;
    }
  }

  // Whether the walk is inside the first part, rather than the second.
  bool in_first() const { return given_ == 1; }

 private:
  Node first_;
  Node second_;
  int given_ = 0;  // how many parts next() has given
};

}  // namespace korvale
