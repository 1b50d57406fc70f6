#include "query/reference.hpp"

#include <utility>

namespace korvale {

namespace {

// Every read of a reference is a call of its own on the store.
Result<StoreCall> read_call(const GraphPtr& graph) {
  return StoreCall::enter(*graph, StoreAccess::kRead);
}

}  // namespace

Result<PropertyMap> NodeRef::properties() const {
  const StoreCall call = KORVALE_PASS(read_call(graph));
  const PropertyMap stored =
      KORVALE_TRY(graph->node_properties(uid),
                  "node reference - get properties [src/query/references/node:43]");
  return stored.own_copy();
}

TypeRef NodeRef::type() const {
  return TypeRef{graph, uid};
}

Result<std::optional<TermRef>> NodeRef::term() const {
  const StoreCall call = KORVALE_PASS(read_call(graph));
  // Only whether a term is stored.
  if (!graph->term_index.contains(uid)) return std::nullopt;
  return TermRef{graph, uid};
}

// The store's report is raised as it is: the store names the operation itself.
Result<std::string> NodeRef::to_string() const {
  const StoreCall call = KORVALE_PASS(read_call(graph));
  return graph->node_to_string(uid);
}

Result<PropertyMap> EdgeRef::properties() const {
  const StoreCall call = KORVALE_PASS(read_call(graph));
  const PropertyMap stored =
      KORVALE_TRY(graph->edge_properties(uid),
                  "edge reference - get properties [src/query/references/edge:42]");
  return stored.own_copy();
}

Result<TypeRef> EdgeRef::type() const {
  const StoreCall call = KORVALE_PASS(read_call(graph));
  Uid type_uid =
      KORVALE_TRY(graph->get_edge_type(uid), "edge - type [src/query/references/edge:51]");
  return TypeRef{graph, type_uid};
}

Result<TermRef> EdgeRef::term() const {
  const StoreCall call = KORVALE_PASS(read_call(graph));
  Uid type_uid =
      KORVALE_TRY(graph->get_edge_type(uid), "edge - type [src/query/references/edge:61]");
  return TermRef{graph, type_uid};
}

Result<std::string> EdgeRef::to_string() const {
  const StoreCall call = KORVALE_PASS(read_call(graph));
  return KORVALE_TRY(graph->edge_to_string(uid),
                     "edge reference - to string [src/query/references/edge:70]");
}

Result<std::string> TermRef::to_string() const {
  const StoreCall call = KORVALE_PASS(read_call(graph));
  return KORVALE_TRY(graph->term_to_string(uid),
                     "term reference - to string [src/query/references/term:41]");
}

Result<std::string> TypeRef::to_string() const {
  const StoreCall call = KORVALE_PASS(read_call(graph));
  return KORVALE_TRY(graph->type_to_string(uid),
                     "type reference - to string [src/query/references/type:43]");
}

}  // namespace korvale
