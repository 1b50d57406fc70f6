// The store-wide operations behind the Python "Graph" class: listing every
// node and edge as references, and applying many property maps in one call.
// The per-element work runs on the worker pool; Python objects are made by
// the caller afterwards, on its own thread.
#pragma once

#include <vector>

#include "base/uid.hpp"
#include "concurrency/sharded_map.hpp"
#include "errors/report.hpp"
#include "graph/graph.hpp"
#include "properties/property_map.hpp"
#include "query/reference.hpp"

namespace korvale {

// The maps to apply, keyed by element; a later insertion for the same key
// replaces the earlier one.
using NodePropertyUpdates = ShardedMap<Uid, PropertyMap>;
using EdgePropertyUpdates = ShardedMap<EdgeUid, PropertyMap>;

// Each of these is one call on the store (store_call.hpp): the listings read,
// the property updates write.

// One reference per node (edge) of the store, each with its own handle;
// gathered shard by shard on the pool, joined in shard order. Only the keys
// are read. Fails only when the current call is interrupted.
Result<std::vector<NodeRef>> list_nodes(const GraphPtr& graph);
Result<std::vector<EdgeRef>> list_edges(const GraphPtr& graph);

// Calls the store's set_node_properties (set_edge_properties) for every entry,
// in parallel, handing over the entry's own map. The first failure stops
// further entries and is returned with the step's context line; entries
// applied before it stay applied.
Status apply_node_properties(Graph& graph, const NodePropertyUpdates& updates, bool overwrite);
Status apply_edge_properties(Graph& graph, const EdgePropertyUpdates& updates, bool overwrite);

}  // namespace korvale
