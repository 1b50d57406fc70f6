// A node's entry in the NodeIndex: its property map and the summary of that
// map's entries, which lets a node scan skip the map of almost every node that
// a property filter rejects.
//
// The summary stays exact because the store owns the map: it keeps a copy of
// every map it is given (PropertyMap::own_copy) and changes a stored map only
// under the write lock of the node's entry, refreshing the summary there.
// Whoever reads a stored map through another handle must not write it.
#pragma once

#include <utility>

#include "properties/property_map.hpp"
#include "properties/property_summary.hpp"

namespace korvale {

struct NodeProperties {
  // Takes the handle as it is; the summary is made from its entries now.
  NodeProperties(PropertyMap stored)  // NOLINT(google-explicit-constructor): a map is one
      : map(std::move(stored)), summary(PropertySummary::of_map(map)) {}

  void refresh_summary() { summary = PropertySummary::of_map(map); }

  PropertyMap map;
  PropertySummary summary;
};

// The property map of a NodeIndex or an EdgeIndex entry, for code that
// serves both tables.
inline PropertyMap& map_of(PropertyMap& stored) {
  return stored;
}
inline const PropertyMap& map_of(const PropertyMap& stored) {
  return stored;
}
inline PropertyMap& map_of(NodeProperties& stored) {
  return stored.map;
}
inline const PropertyMap& map_of(const NodeProperties& stored) {
  return stored.map;
}

}  // namespace korvale
