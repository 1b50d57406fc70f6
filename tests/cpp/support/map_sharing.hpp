// Whether two PropertyMap handles share one map. visit_locked hands its
// callback the map's own entries, not a copy, so two handles share a map
// exactly when they show the same entries; unlike a probe written through one
// handle and read through the other, this leaves both maps as they were.
#pragma once

#include <gtest/gtest.h>

#include "properties/property_map.hpp"

namespace korvale::testing {

// The entries of the map behind `map`; null, and a test failure, when the map
// is poisoned.
inline const PropertyMap::Snapshot* entries_of(const PropertyMap& map) {
  const PropertyMap::Snapshot* entries = nullptr;
  const Status visited = map.visit_locked(
      [&](const PropertyMap::Snapshot& own) -> Status {
        entries = &own;
        return {};
      },
      "map sharing test");
  if (!visited) ADD_FAILURE() << "a poisoned map: " << format_report(visited.error());
  return entries;
}

inline bool share_map(const PropertyMap& a, const PropertyMap& b) {
  const PropertyMap::Snapshot* entries = entries_of(a);
  return entries != nullptr && entries == entries_of(b);
}

}  // namespace korvale::testing
