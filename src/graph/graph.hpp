// The store: every type, term, node and edge of one Python "Graph", in eight
// concurrent tables (ShardedMaps), beside the declared constants, fixed when
// the store is made, the cache of terms rebuilt from the tables, and the call
// lock that every call on the store holds. Types are stored once each under
// their Uid; a node is named by its type's Uid and the store keeps at most one
// term per type; an edge is a term of an arrow type, named by its end nodes
// (EdgeUid).
//
// Every operation may run on any thread (the calling thread or pool threads)
// at the same time as the others; each table access locks one shard. The
// operations are implemented in several files, one per concern:
//   graph.cpp                  tables, insertion and rebuilding of types/terms
//   storable_terms.cpp         refusing terms that would be stored naming themselves
//   text_forms.cpp             text of types, terms, nodes, edges
//   writes.cpp                 adding/removing nodes and edges, derivation, properties
//   schema_to_type.cpp         types and terms from schemas, constant terms
//   matching/type_schema.cpp   type schema tests and scans
//   matching/term_schema.cpp   term schema tests and scans
//   matching/properties.cpp    property filters
//   matching/node.cpp, edge.cpp, path.cpp   path matching
//   create.cpp, inference.cpp  path creation and its inference
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <absl/base/thread_annotations.h>
#include <absl/container/flat_hash_map.h>

#include "base/uid.hpp"
#include "concurrency/call_lock.hpp"
#include "concurrency/sharded_map.hpp"
#include "constants/constant.hpp"
#include "constants/constant_table.hpp"
#include "errors/report.hpp"
#include "graph/node_properties.hpp"
#include "graph/stored_forms.hpp"
#include "graph/term_cache.hpp"
#include "matches/match.hpp"
#include "matches/match_set.hpp"
#include "memory/counted_ptr.hpp"
#include "patterns/path.hpp"
#include "patterns/term_schema.hpp"
#include "patterns/type_schema.hpp"
#include "properties/property_map.hpp"
#include "typing/term.hpp"
#include "typing/type.hpp"

namespace korvale {

// The edges leaving (or entering) one node; usually a handful.
using EdgeSet = SmallLockedSet<EdgeUid>;
using EdgeSetPtr = CountedPtr<EdgeSet>;

// Result of a schema test: a report, no fit (nullopt), or the layer to go on
// with (the given one, or a new layer over it holding the test's bindings).
using CheckResult = Result<std::optional<MatchPtr>>;

class Graph {
 public:
  // The eight element tables start empty; the constants table is filled here,
  // once, and never changes.
  explicit Graph(std::vector<Constant> constants = {});

  // --- tables ---------------------------------------------------------------
  // start_to_edge_index / end_to_edge_index: a node's set is made lazily,
  // when its first edge is added, so a node that never had an edge costs
  // nothing there. An existing node without an entry therefore has no edges
  // (an absent set reads as an empty one); only the absence of the node itself
  // is an error.
  // The maps in node_index and edge_index belong to the store alone (see
  // node_properties.hpp).
  ShardedMap<Uid, NodeProperties> node_index;       // NodeIndex
  ShardedMap<EdgeUid, PropertyMap> edge_index;      // EdgeIndex
  ShardedMap<Uid, TypeRep> type_index;              // TypeIndex
  ShardedMap<Uid, TermRep> term_index;              // TermIndex
  ShardedMap<Uid, EdgeUid> type_to_edge_index;      // TypeToEdgeIndex
  ShardedMap<EdgeUid, Uid> edge_to_type_index;      // EdgeToTypeIndex
  ShardedMap<Uid, EdgeSetPtr> start_to_edge_index;  // StartToEdgeIndex
  ShardedMap<Uid, EdgeSetPtr> end_to_edge_index;    // EndToEdgeIndex
  const ConstantTable constants;
  // Terms rebuilt from the TermIndex, exact while their stored parts stand;
  // insert_term keeps it so, term_from_uid reads and fills it.
  mutable TermCache term_cache;
  // Held by every call on the store, at its boundary (store_call.hpp); the
  // outermost lock.
  mutable CallLock call_lock;

  // --- stored forms -----------------------------------------------------------
  // Stores the type and every type inside it, children first; returns its Uid.
  Uid insert_type(const Type& type);
  // Stores the term under its type, and every sub-term under its own type,
  // replacing what those types held; returns the Uid of the term's type.
  // Writes nothing and fails as check_term_storable does for a term the store
  // could not give back.
  Result<Uid> insert_term(const Term& term) ABSL_LOCKS_EXCLUDED(term_cache.mutex());
  // Refuses, with InvalidTerm, a term whose stored forms would contain a term
  // of their own type (succ zero, both of type Nat): the store keeps one term
  // per type, so such an entry would name itself and could never be rebuilt
  // or printed. Parts of one type replacing each other are fine. Reads no
  // table (storable_terms.cpp).
  Status check_term_storable(const Term& term) const ABSL_LOCKS_EXCLUDED(term_cache.mutex());
  // Rebuilds the stored type (TypeNotFound when absent). Iterative.
  Result<TypePtr> type_from_uid(const Uid& uid) const;
  // Rebuilds the term stored for the type from the terms stored now; an
  // application that leads back to its own type fails with IndexCorruption.
  // Iterative.
  Result<TermPtr> term_from_uid(const Uid& uid) const ABSL_LOCKS_EXCLUDED(term_cache.mutex());
  Result<Uid> get_edge_type(const EdgeUid& edge) const;
  // The stored map itself (another handle to it), not a copy; for reading
  // only, since the store keeps a summary of what it holds.
  Result<PropertyMap> node_properties(const Uid& uid) const;
  Result<PropertyMap> edge_properties(const EdgeUid& edge) const;

  // --- text forms ----------------------------------------------------------------
  Result<std::string> type_to_string(const Uid& uid) const;
  Result<std::string> term_to_string(const Uid& uid) const;
  Result<std::string> node_to_string(const Uid& uid) const;
  Result<std::string> edge_to_string(const EdgeUid& edge) const;

  // --- writes ------------------------------------------------------------------------
  // `term` may be null (a node without a term of its own).
  Result<Uid> add_node(const TypePtr& type, const TermPtr& term, PropertyMap properties);
  // Adds the edge of a term of an arrow type, then derives forward along it.
  Result<EdgeUid> add_edge(const TermPtr& term, PropertyMap properties);
  // nullopt when there was no such edge (node).
  Result<std::optional<EdgeUid>> remove_edge(const EdgeUid& edge);
  Result<std::optional<Uid>> remove_node(const Uid& uid);
  // Replaces (overwrite) or merges into the element's properties.
  Status set_node_properties(const Uid& uid, PropertyMap properties, bool overwrite);
  Status set_edge_properties(const EdgeUid& edge, PropertyMap properties, bool overwrite);

  // --- types and terms from schemas ---------------------------------------------------------
  Result<TypePtr> type_schema_to_type(const TypeSchema& schema, const MatchPtr& m);
  Result<TermPtr> term_schema_to_term(const TermSchema& schema, const MatchPtr& m);
  Result<TypePtr> pattern_to_type_recursive(const TypePattern& pattern, const MatchPtr& m);
  Result<TermPtr> pattern_to_term_recursive(const TermPattern& pattern, const MatchPtr& m);
  // The type of a declared constant at the given type arguments.
  Result<TypePtr> get_constant_type(const TermPattern::Constant& constant, const MatchPtr& m);
  // The term the declared constants give the type, or nullopt.
  Result<std::optional<TermPtr>> infer_term(const Uid& uid) const;

  // --- schema and property matching -------------------------------------------------
  CheckResult check_type_matches(const Uid& uid, const TypePattern& pattern, MatchPtr m) const;
  CheckResult check_term_matches(const Uid& uid, const TermPattern& pattern, MatchPtr m) const;
  Result<MatchSet> match_type_schema(const TypeSchema& schema, MatchSet matches) const;
  Result<MatchSet> match_term_schema(const TermSchema& schema, MatchSet matches) const;
  Result<bool> check_node_matches_properties(const Uid& uid, const PropertyMap& filter) const;
  Result<bool> check_edge_matches_properties(const EdgeUid& edge, const PropertyMap& filter) const;
  // check_node_matches_properties for a scan that holds the node's stored map
  // already, with the filter's entries taken beforehand (PropertyMap::iter):
  // the same outcome and reports, without looking the node up again and
  // without locking the filter, which every scanning thread would share.
  static Result<bool> node_map_matches(const PropertyMap& stored,
                                       const PropertyMap::Snapshot& filter);

  // --- path matching ---------------------------------------------------------------------
  // One output row for every way an input row extends along the whole path.
  Result<MatchSet> match_path_pattern(const PathPattern& pattern, MatchSet matches) const;
  Result<MatchSet> match_node_pattern(const NodePattern& pattern, MatchSet matches) const;
  CheckResult check_node_matches(const Uid& uid, const NodePattern& pattern, MatchPtr m) const;
  Result<MatchSet> match_edge_pattern(const EdgePattern& pattern, MatchSet matches) const;
  CheckResult check_edge_matches(const Uid& prev_uid, const EdgeUid& edge,
                                 const EdgePattern& pattern, MatchPtr m) const;

  // --- path creation ------------------------------------------------------------------------
  // Infers, validates and adds the path's nodes and edges for every input row.
  Result<MatchSet> create_path(const PathPattern& pattern, MatchSet matches);

 private:
  // infer_term's view of `constants`, made once, by position in the table's
  // declaration order (the order in which infer_term tries them): those whose
  // schema has a wildcard or capture, and for every type that a schema of
  // names and arrows names, the first position naming it. Such a schema fits
  // that one type only, so it need not be tried on any other.
  struct ConstantOrder {
    std::vector<std::size_t> general;
    absl::flat_hash_map<Uid, std::size_t> concrete;
  };
  static ConstantOrder order_constants(const ConstantTable& constants);
  Status check_term_storable_locked(const Term& term) const
      ABSL_SHARED_LOCKS_REQUIRED(term_cache.mutex());
  Result<std::optional<TermPtr>> infer_term_trying_all(const Uid& uid) const;
  Result<std::optional<TermPtr>> constant_term(const Uid& uid, const std::string& name) const;
  const ConstantOrder constant_order_;
};

using GraphPtr = std::shared_ptr<Graph>;

}  // namespace korvale
