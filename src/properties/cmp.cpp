#include "properties/cmp.hpp"

#include <cmath>
#include <utility>

#include <absl/container/inlined_vector.h>

namespace korvale {

namespace {

// 2^-52: an absolute tolerance, so floats of magnitude 1 and more must be
// identical while tiny ones merely need to be close.
constexpr double kFloatTolerance = 0x1p-52;

using Pair = std::pair<const Dynamic*, const Dynamic*>;
// Small containers, the usual filter values, need no allocation.
using Pending = absl::InlinedVector<Pair, 8>;

// Compares two values of the same kind; a list or a dict of equal shape
// leaves the pairs of its items on `pending` instead of comparing them.
bool compare_shallow(const Dynamic& first, const Dynamic& second, Pending& pending) {
  using Kind = Dynamic::Kind;
  switch (first.kind()) {
    case Kind::Opaque:
      return first.as_opaque() == second.as_opaque();
    case Kind::Int:
      return first.as_int() == second.as_int();
    // NaN fails the test, and so do two equal infinities (their difference is NaN).
    case Kind::Float:
      return std::fabs(first.as_float() - second.as_float()) < kFloatTolerance;
    case Kind::Bool:
      return first.as_bool() == second.as_bool();
    case Kind::String:
      return first.as_string() == second.as_string();
    case Kind::Dict: {
      const Dynamic::Dict& a = first.as_dict();
      const Dynamic::Dict& b = second.as_dict();
      if (a.size() != b.size()) return false;
      for (const auto& [key, value] : a) {
        const auto found = b.find(key);
        if (found == b.end()) return false;
        pending.emplace_back(&value, &found->second);
      }
      return true;
    }
    case Kind::List: {
      const Dynamic::List& a = first.as_list();
      const Dynamic::List& b = second.as_list();
      if (a.size() != b.size()) return false;
      for (std::size_t i = 0; i < a.size(); ++i) pending.emplace_back(&a[i], &b[i]);
      return true;
    }
    case Kind::Null:
      return false;
  }
  return false;
}

}  // namespace

// An explicit stack of the pairs still to compare, so nesting costs no stack.
bool compare_values(const Dynamic& first, const Dynamic& second) {
  Pending pending;
  if (first.kind() != second.kind() || !compare_shallow(first, second, pending)) return false;
  while (!pending.empty()) {
    const auto [a, b] = pending.back();
    pending.pop_back();
    if (a->kind() != b->kind() || !compare_shallow(*a, *b, pending)) return false;
  }
  return true;
}

}  // namespace korvale
