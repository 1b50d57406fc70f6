// Result references: what Python receives for a node, an edge, a term or a
// type of the store. A reference holds a store handle and an identifier and
// nothing else; it reads the store each time it is asked, so it shows the
// store's present state and fails (with a not-found report) once its node or
// edge is gone. Types and terms are never removed, so their references, and a
// node's type and term, keep working. Each method that reads the store is one
// reading call on it (store_call.hpp); it fails besides only as StoreCall::enter
// does.
#pragma once

#include <optional>
#include <string>

#include "base/uid.hpp"
#include "errors/report.hpp"
#include "graph/graph.hpp"
#include "graph/store_call.hpp"
#include "properties/property_map.hpp"

namespace korvale {

struct TypeRef;
struct TermRef;

// A node, by its Uid (also the Uid of its type and the key of its type's term).
struct NodeRef {
  GraphPtr graph;
  Uid uid{};

  // A copy of the stored map, taken within the call (the store may change the
  // stored map itself in place later). NodeNotFound once the node is gone.
  Result<PropertyMap> properties() const;
  // The node's type; reads nothing.
  TypeRef type() const;
  // The term stored for the node's type, or nullopt; whether the node still
  // exists is not looked at.
  Result<std::optional<TermRef>> term() const;
  // The node's text form; the store's report unchanged when it is gone.
  Result<std::string> to_string() const;
};

// An edge, by its end nodes' Uids.
struct EdgeRef {
  GraphPtr graph;
  EdgeUid uid{};

  // EdgeNotFound once the edge is gone, for all four.
  Result<PropertyMap> properties() const;
  // The edge's arrow type, from the store's edge-to-type table.
  Result<TypeRef> type() const;
  // The term of the edge's arrow type; whether one is stored is not looked at.
  Result<TermRef> term() const;
  Result<std::string> to_string() const;
};

// The term the store holds for a type, by the type's Uid: when the store
// replaces that term, the same reference shows the new one.
struct TermRef {
  GraphPtr graph;
  Uid uid{};

  Result<std::string> to_string() const;
};

struct TypeRef {
  GraphPtr graph;
  Uid uid{};

  Result<std::string> to_string() const;
};

}  // namespace korvale
