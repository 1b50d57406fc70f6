#include "query/bulk_operations.hpp"

#include <optional>

#include "graph/store_call.hpp"

namespace korvale {

Result<std::vector<NodeRef>> list_nodes(const GraphPtr& graph) {
  const StoreCall call = KORVALE_PASS(StoreCall::enter(*graph, StoreAccess::kRead));
  return graph->node_index.try_par_collect(
      [&](const Uid& uid, const NodeProperties&) -> Result<std::optional<NodeRef>> {
        return NodeRef{graph, uid};
      });
}

Result<std::vector<EdgeRef>> list_edges(const GraphPtr& graph) {
  const StoreCall call = KORVALE_PASS(StoreCall::enter(*graph, StoreAccess::kRead));
  return graph->edge_index.try_par_collect(
      [&](const EdgeUid& uid, const PropertyMap&) -> Result<std::optional<EdgeRef>> {
        return EdgeRef{graph, uid};
      });
}

namespace {

template <class Updates, class Apply>
Status apply_all(const Graph& graph, const Updates& updates, const char* line, Apply&& apply) {
  const StoreCall call = KORVALE_PASS(StoreCall::enter(graph, StoreAccess::kWrite));
  Result<bool> done =
      updates.try_par_scan([&](const auto& key, const PropertyMap& map) -> Result<Flow> {
        Status applied = apply(key, map);
        if (!applied) return fail(std::move(applied.error()).attach(line));
        return Flow::Continue;
      });
  if (!done) return fail(std::move(done.error()));
  return {};
}

}  // namespace

Status apply_node_properties(Graph& graph, const NodePropertyUpdates& updates, bool overwrite) {
  return apply_all(graph, updates, "graph - set node properties [src/graph/base:943]",
                   [&](const Uid& uid, const PropertyMap& map) {
                     return graph.set_node_properties(uid, map, overwrite);
                   });
}

Status apply_edge_properties(Graph& graph, const EdgePropertyUpdates& updates, bool overwrite) {
  return apply_all(graph, updates, "graph - set node properties [src/graph/base:979]",
                   [&](const EdgeUid& edge, const PropertyMap& map) {
                     return graph.set_edge_properties(edge, map, overwrite);
                   });
}

}  // namespace korvale
