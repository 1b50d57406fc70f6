// Adding and removing nodes and edges, the forward derivation of terms along
// a new edge, and replacing or merging properties.
//
// Every table access locks one shard for that one access. Two things hold a
// lock across a step: a node's incidence set is changed under the read lock
// of its entry (so the entry cannot be removed meanwhile), and a property
// update runs under the write lock of the element's entry from test to end.
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include <absl/cleanup/cleanup.h>

#include "graph/graph.hpp"

namespace korvale {
namespace {

constexpr const char* kStartSetMissing =
    "start_to_edge_index not initialized for some node already in the graph";
constexpr const char* kEndSetMissing =
    "end_to_edge_index not initialized for some node already in the graph";

using IncidenceTable = ShardedMap<Uid, EdgeSetPtr>;

// A node with edges holds two sets: keep each in a 96-byte heap chunk.
static_assert(sizeof(EdgeSet) <= 88);

EdgeSetPtr new_edge_set() {
  return EdgeSetPtr::make();
}

// Runs change(EdgeSet&) on the node's set while its entry is read-locked,
// so the set cannot be removed meanwhile; false when the node has no set.
template <class Change>
bool change_edge_set(const IncidenceTable& table, const Uid& node, Change&& change) {
  return table.find_with(node, [&](const EdgeSetPtr& set) { change(*set); });
}

// Adds the edge to the node's set, making the set with the node's first edge.
// Fails when the node is not there, or when its removal takes the set away
// between the two steps; `added` tells whether the set lacked the edge.
bool add_to_edge_set(const Graph& graph, IncidenceTable& table, const Uid& node,
                     const EdgeUid& edge, bool& added) {
  if (!graph.node_index.contains(node)) return false;
  table.try_insert(node, new_edge_set);
  return change_edge_set(table, node, [&](EdgeSet& set) { added = set.insert(edge); });
}

// The node's edges in one table; a node without a set has none.
std::vector<EdgeUid> incident_edges(const IncidenceTable& table, const Uid& node) {
  std::vector<EdgeUid> edges;
  table.find_with(node, [&](const EdgeSetPtr& set) { edges = set->snapshot(); });
  return edges;
}

// Stores the term and makes it the edge of its arrow type, with the given
// properties; no derivation. The term is stored before anything is tested.
// When an end node is missing, the links written for the edge are taken
// back, so that no half-edge stays.
Result<EdgeUid> store_edge(Graph& graph, const Term& term, PropertyMap properties) {
  const Uid type = KORVALE_PASS(graph.insert_term(term));
  const std::optional<TypeRep> rep = graph.type_index.get(type);
  if (!rep) {
    return fail(
        kind::RuntimeError{"unable to get term rep of a just initialized term", "add edge"});
  }
  const auto* arrow = rep->as_arrow();
  if (arrow == nullptr) {
    return fail(kind::InvalidTerm{"to create an edge you must provide a term of an arrow type"});
  }
  const EdgeUid edge{arrow->domain, arrow->codomain};
  // An arrow type and its edge name each other one to one, so an entry that
  // was there already is this very link and stays.
  const bool new_type_link = !graph.type_to_edge_index.insert(type, edge).has_value();
  const bool new_edge_link = !graph.edge_to_type_index.insert(edge, type).has_value();
  bool new_in_start = false;
  bool new_in_end = false;
  const auto withdraw = [&](const char* message) {
    if (new_in_start) {
      change_edge_set(graph.start_to_edge_index, edge.start,
                      [&](EdgeSet& set) { set.erase(edge); });
    }
    if (new_edge_link) graph.edge_to_type_index.erase(edge);
    if (new_type_link) graph.type_to_edge_index.erase(type);
    return fail(kind::IndexCorruption{message, "add edge"});
  };
  if (!add_to_edge_set(graph, graph.start_to_edge_index, edge.start, edge, new_in_start)) {
    return withdraw(kStartSetMissing);
  }
  if (!add_to_edge_set(graph, graph.end_to_edge_index, edge.end, edge, new_in_end)) {
    return withdraw(kEndSetMissing);
  }
  graph.edge_index.insert(edge, properties.own_copy());
  return edge;
}

// Makes sure the type has a node, giving a new one the constants' term for
// its type, if any. A node that another thread adds meanwhile is the node
// wanted, so losing that race is success.
Status ensure_node(Graph& graph, const TypePtr& type, const Uid& uid) {
  if (graph.node_index.contains(uid)) return {};
  std::optional<TermPtr> term = KORVALE_PASS(graph.infer_term(uid));
  Result<Uid> added = graph.add_node(type, term ? *term : nullptr, PropertyMap());
  if (!added && !std::holds_alternative<kind::NodeAlreadyExists>(added.error().kind())) {
    return fail(std::move(added.error()));
  }
  return {};
}

// Applies the edge's term along the graph for as long as it derives: an
// inhabited start and an uninhabited end give the end its term, and a derived
// term of an arrow type without an edge becomes the next edge. Each next
// edge's type is the codomain of the last one's, a proper part of it, so the
// loop ends within the depth of the first edge's type; it is a loop so that
// no type, however deep, can exhaust the stack.
Status derive_forward(Graph& graph, EdgeUid edge, TermPtr function) {
  while (graph.term_index.contains(edge.start) && !graph.term_index.contains(edge.end)) {
    TermPtr argument = KORVALE_PASS(graph.term_from_uid(edge.start));
    TermPtr derived = KORVALE_PASS(Term::apply(function, argument));
    const Uid derived_type = KORVALE_PASS(graph.insert_term(*derived));
    if (graph.type_to_edge_index.contains(derived_type)) return {};
    TermPtr stored = KORVALE_PASS(graph.term_from_uid(derived_type));
    const Arrow* arrow = stored->type()->as_arrow();
    if (arrow == nullptr) return {};
    const Uid domain = graph.insert_type(*arrow->domain);
    const Uid codomain = graph.insert_type(*arrow->codomain);
    if (Status ready = ensure_node(graph, arrow->domain, domain); !ready) return ready;
    if (Status ready = ensure_node(graph, arrow->codomain, codomain); !ready) return ready;
    edge = KORVALE_PASS(store_edge(graph, *stored, PropertyMap()));
    function = std::move(stored);
  }
  return {};
}

// Merges a copy of the given entries into the stored map, key by key in the
// given map's order; entries inserted before a failure stay.
Status merge_into(const PropertyMap& stored, const PropertyMap& given, const char* copy_line,
                  const char* insert_line) {
  PropertyMap::Snapshot entries = KORVALE_TRY(given.iter(), copy_line);
  KORVALE_CHECK(stored.merge_from(std::move(entries)), insert_line);
  return {};
}

void after_change(PropertyMap&) {}
void after_change(NodeProperties& stored) {
  stored.refresh_summary();
}

// Replaces or merges the element's properties under the write lock of its
// entry, so that the test for the element and the change are one step: a
// missing element is reported and never given a lone entry. A replacement is
// a copy of the given map, which the caller may hand to other elements too.
template <class Key, class Stored>
Status set_properties(ShardedMap<Key, Stored>& table, const Key& key, const PropertyMap& given,
                      bool overwrite, KorvaleError missing, const char* copy_line,
                      const char* insert_line) {
  Status outcome;
  std::optional<PropertyMap> replaced;  // released after the lock
  std::optional<PropertyMap> own;
  if (overwrite) own.emplace(given.own_copy());
  const bool found = table.update_with(key, [&](Stored& stored) {
    // Also when an allocation fails midway and poisons the map.
    const absl::Cleanup refresh = [&] { after_change(stored); };
    if (overwrite) {
      replaced.emplace(std::exchange(map_of(stored), std::move(*own)));
    } else {
      // Entries merged before a failure stay, and the summary covers them.
      outcome = merge_into(map_of(stored), given, copy_line, insert_line);
    }
  });
  if (!found) return fail(std::move(missing));
  return outcome;
}

}  // namespace

Result<Uid> Graph::add_node(const TypePtr& type, const TermPtr& term, PropertyMap properties) {
  // The term is stored before the node is tested: it replaces its type's term
  // even when the node turns out to exist. A term the store refuses is
  // refused before anything is written.
  const std::optional<Uid> term_type =
      term ? std::optional<Uid>(KORVALE_PASS(insert_term(*term))) : std::nullopt;
  const Uid uid = insert_type(*type);
  if (term_type && *term_type != uid) {
    return fail(kind::InvalidTerm{"term provided is of a different type than the type provided"});
  }
  // The test and the insertion are one step. The node's incidence sets come
  // with its first edge, so the node is complete as soon as it is visible.
  // The copy is made only for a node that is new.
  if (!node_index.try_insert(uid, [&] { return NodeProperties(properties.own_copy()); })) {
    return fail(kind::NodeAlreadyExists{uid, "graph - add node [src/graph/base:142]"});
  }
  return uid;
}

Result<EdgeUid> Graph::add_edge(const TermPtr& term, PropertyMap properties) {
  const EdgeUid edge = KORVALE_PASS(store_edge(*this, *term, std::move(properties)));
  if (Status derived = derive_forward(*this, edge, term); !derived) {
    return fail(std::move(derived.error()));
  }
  return edge;
}

Result<std::optional<EdgeUid>> Graph::remove_edge(const EdgeUid& edge) {
  if (!edge_index.erase(edge)) return std::optional<EdgeUid>();
  const std::optional<Uid> type = edge_to_type_index.erase(edge);
  if (!type) return std::optional<EdgeUid>();
  if (!type_to_edge_index.erase(*type)) {
    return fail(kind::IndexCorruption{
        "type_to_edge_index lacks a pair that is contained in the edge_to_type_index",
        "remove edge"});
  }
  // A node without a set has no edges to take out; remove_node calls this
  // after its node has left NodeIndex, so the nodes themselves are not tested.
  const auto take_out = [&](EdgeSet& set) { set.erase(edge); };
  change_edge_set(start_to_edge_index, edge.start, take_out);
  change_edge_set(end_to_edge_index, edge.end, take_out);
  return std::optional<EdgeUid>(edge);
}

Result<std::optional<Uid>> Graph::remove_node(const Uid& uid) {
  if (!node_index.erase(uid)) return std::optional<Uid>();
  // Leaving edges first, then entering ones: an edge to the node itself is in
  // both lists, and its second removal finds nothing.
  std::vector<EdgeUid> edges = incident_edges(start_to_edge_index, uid);
  const std::vector<EdgeUid> entering = incident_edges(end_to_edge_index, uid);
  edges.insert(edges.end(), entering.begin(), entering.end());
  for (const EdgeUid& edge : edges) {
    if (Result<std::optional<EdgeUid>> removed = remove_edge(edge); !removed) {
      return fail(std::move(removed.error()).attach("graph - remove node [src/graph/base:264]"));
    }
  }
  start_to_edge_index.erase(uid);
  end_to_edge_index.erase(uid);
  return std::optional<Uid>(uid);
}

Status Graph::set_node_properties(const Uid& uid, PropertyMap properties, bool overwrite) {
  return set_properties(node_index, uid, std::move(properties), overwrite,
                        kind::NodeNotFound{uid, "graph - set node properties"},
                        "graph - set node properties [src/graph/base:781]",
                        "graph - set node properties [src/graph/base:785]");
}

Status Graph::set_edge_properties(const EdgeUid& edge, PropertyMap properties, bool overwrite) {
  return set_properties(edge_index, edge, std::move(properties), overwrite,
                        kind::EdgeNotFound{edge, "graph - set node properties"},
                        "graph - set node properties [src/graph/base:812]",
                        "graph - set node properties [src/graph/base:816]");
}

}  // namespace korvale
