// The rows of a match set as a list, for tests that look at every row.
#pragma once

#include <cstddef>
#include <vector>

#include "matches/match_set.hpp"

namespace korvale::testing {

inline std::vector<MatchRow> rows_of(const MatchSet& set) {
  const MatchSet::View view = set.rows();
  std::vector<MatchRow> rows;
  rows.reserve(view.size());
  for (std::size_t i = 0; i < view.size(); ++i) rows.push_back(view[i]);
  return rows;
}

}  // namespace korvale::testing
