#include "graph/opaque_release.hpp"

#include "graph/store_call.hpp"
#include "properties/opaque_removal.hpp"

namespace korvale {

Status let_go_of_opaque_values(Graph& graph) {
  const StoreCall call = KORVALE_PASS(StoreCall::enter(graph, StoreAccess::kWrite));
  // The keys first: an entry's map is changed under the entry's write lock,
  // which a scan holding the shard's read lock could not take.
  for (const Uid& uid : graph.node_index.keys()) {
    graph.node_index.update_with(uid, [](NodeProperties& stored) {
      remove_opaques(stored.map);
      stored.refresh_summary();
    });
  }
  for (const EdgeUid& edge : graph.edge_index.keys()) {
    graph.edge_index.update_with(edge, [](PropertyMap& stored) { remove_opaques(stored); });
  }
  return {};
}

}  // namespace korvale
