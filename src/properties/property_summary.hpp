// A 64-bit summary of a property map's entries, for scans that must pass over
// millions of maps: a map whose summary lacks a bit that a filter requires
// cannot satisfy the filter, so its entries need not be read at all.
//
// Every entry sets the bit of its key; an entry whose value is an integer, a
// boolean or a text also sets two bits for the key and that value. Those three
// kinds compare exactly, so equal values set equal bits. Floats compare with a
// tolerance, and lists, dicts, opaque references and null set only the key's
// bit: a filter on them requires only the key.
#pragma once

#include <cstdint>

#include "properties/dynamic.hpp"
#include "properties/property_map.hpp"

namespace korvale {

class PropertySummary {
 public:
  // Every bit set: the summary of a map that could not be read, which then
  // may satisfy any filter, so that the filter's own test reports the failure.
  static constexpr PropertySummary unknown() { return PropertySummary(~std::uint64_t{0}); }
  // What no filter, or one that cannot be read, requires: every map may do.
  static constexpr PropertySummary none() { return PropertySummary(0); }

  // Of a stored map's current entries; unknown() when the map is poisoned.
  static PropertySummary of_map(const PropertyMap& map);
  // What a node must have for every entry of the filter to hold on it
  // (a key the node lacks fails a node filter).
  static PropertySummary required_by(const PropertyMap::Snapshot& filter);

  // False only when a map with this summary cannot satisfy a filter that
  // requires `required`.
  bool may_satisfy(PropertySummary required) const {
    return (bits_ & required.bits_) == required.bits_;
  }

  bool operator==(const PropertySummary&) const = default;

 private:
  constexpr explicit PropertySummary(std::uint64_t bits) : bits_(bits) {}
  static std::uint64_t entry_bits(const std::string& key, const Dynamic& value);

  std::uint64_t bits_;
};

}  // namespace korvale
