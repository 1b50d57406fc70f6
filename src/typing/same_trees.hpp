// Structural equality of two types or two terms, with an explicit stack of the
// pairs of parts still to compare instead of recursion: either tree may be
// nested deeper than the thread's stack holds.
//
//   same_trees(a, b, parts, same_leaves)
//
// parts(const Tree&) gives an inner node's two parts (first, second) as
// pointers, or nullopt for a leaf; same_leaves(const Tree&, const Tree&) tells
// whether two leaves are equal. Two inner nodes are equal when their first
// parts and their second parts are; two handles to the same object are equal
// without looking inside. The first difference ends the walk.
#pragma once

#include <optional>
#include <utility>
#include <vector>

namespace korvale {

template <class Tree, class Parts, class SameLeaves>
bool same_trees(const Tree& a, const Tree& b, Parts&& parts, SameLeaves&& same_leaves) {
  std::vector<std::pair<const Tree*, const Tree*>> pending{{&a, &b}};
  while (!pending.empty()) {
    const auto [x, y] = pending.back();
    pending.pop_back();
    if (x == y) continue;  // shared parts are equal without looking inside
    const std::optional<std::pair<const Tree*, const Tree*>> x_parts = parts(*x);
    const std::optional<std::pair<const Tree*, const Tree*>> y_parts = parts(*y);
    if (x_parts.has_value() != y_parts.has_value()) return false;
    if (!x_parts) {
      if (!same_leaves(*x, *y)) return false;
      continue;
    }
    pending.emplace_back(x_parts->second, y_parts->second);
    pending.emplace_back(x_parts->first, y_parts->first);
  }
  return true;
}

}  // namespace korvale
