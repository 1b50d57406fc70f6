#include "utils/cmp.hpp"

#include <cmath>

namespace korvale {

namespace {

// 2^-52: an absolute tolerance, so floats of magnitude 1 and more must be
// identical while tiny ones merely need to be close.
constexpr double kFloatTolerance = 0x1p-52;

bool compare_dicts(const Dynamic::Dict& first, const Dynamic::Dict& second) {
  if (first.size() != second.size()) return false;
  for (const auto& [key, value] : first) {
    const auto found = second.find(key);
    if (found == second.end() || !compare_values(value, found->second)) return false;
  }
  return true;
}

bool compare_lists(const Dynamic::List& first, const Dynamic::List& second) {
  if (first.size() != second.size()) return false;
  for (std::size_t i = 0; i < first.size(); ++i) {
    if (!compare_values(first[i], second[i])) return false;
  }
  return true;
}

}  // namespace

bool compare_values(const Dynamic& first, const Dynamic& second) {
  using Kind = Dynamic::Kind;
  if (first.kind() != second.kind()) return false;
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
    case Kind::Dict:
      return compare_dicts(first.as_dict(), second.as_dict());
    case Kind::List:
      return compare_lists(first.as_list(), second.as_list());
    case Kind::Null:
      return false;
  }
  return false;
}

}  // namespace korvale
