// Property filters of node and edge patterns against the stored properties.
#include <optional>
#include <string>
#include <utility>

#include "graph/graph.hpp"
#include "properties/cmp.hpp"

namespace korvale {
namespace {

constexpr const char* kNodeReadLine =
    "graph - check node matches properties [src/graph/matches/properties:21]";
constexpr const char* kEdgeReadLine =
    "graph - check edge matches properties [src/graph/matches/properties:48]";

// Whether every entry of the filter holds on the stored map: the stored value
// under its key compares equal to the filter's. A key the stored map lacks
// passes only when `missing_passes`.
Result<bool> filter_holds(const PropertyMap& filter, const PropertyMap& stored, bool missing_passes,
                          const char* read_line) {
  return filter.try_par_compare([&](const std::string& key, const Dynamic& wanted) -> Result<bool> {
    const std::optional<Dynamic> value = KORVALE_TRY(stored.get(key), read_line);
    if (!value) return missing_passes;
    return compare_values(wanted, *value);
  });
}

// Runs the filter on the element's stored map while the element's entry stays
// read-locked; nullopt when the table lacks the element.
template <class Key, class Stored>
std::optional<Result<bool>> stored_filter_holds(const ShardedMap<Key, Stored>& table,
                                                const Key& key, const PropertyMap& filter,
                                                bool missing_passes, const char* read_line) {
  std::optional<Result<bool>> outcome;
  table.find_with(key, [&](const Stored& stored) {
    outcome.emplace(filter_holds(filter, map_of(stored), missing_passes, read_line));
  });
  return outcome;
}

}  // namespace

Result<bool> Graph::check_node_matches_properties(const Uid& uid, const PropertyMap& filter) const {
  std::optional<Result<bool>> outcome =
      stored_filter_holds(node_index, uid, filter, /*missing_passes=*/false, kNodeReadLine);
  if (!outcome) return fail(kind::NodeNotFound{uid, "check node matches properties"});
  return std::move(*outcome);
}

Result<bool> Graph::node_map_matches(const PropertyMap& stored,
                                     const PropertyMap::Snapshot& filter) {
  return stored.match_entries(
      filter,
      [](const Dynamic& wanted, const Dynamic* value) {
        return value != nullptr && compare_values(wanted, *value);
      },
      kNodeReadLine);
}

// Only the keys present on the edge are compared.
Result<bool> Graph::check_edge_matches_properties(const EdgeUid& edge,
                                                  const PropertyMap& filter) const {
  std::optional<Result<bool>> outcome =
      stored_filter_holds(edge_index, edge, filter, /*missing_passes=*/true, kEdgeReadLine);
  if (!outcome) return fail(kind::EdgeNotFound{edge, "check edge matches properties"});
  return std::move(*outcome);
}

}  // namespace korvale
