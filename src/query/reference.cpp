#include "query/reference.hpp"

#include <utility>

namespace korvale {

Result<PropertyMap> NodeRef::properties() const {
  return KORVALE_TRY(graph->node_properties(uid),
                     "node reference - get properties [src/query/references/node:43]");
}

TypeRef NodeRef::type() const {
  return TypeRef{graph, uid};
}

std::optional<TermRef> NodeRef::term() const {
  // One lookup under the shard's read lock: only whether a term is stored.
  if (!graph->term_index.contains(uid)) return std::nullopt;
  return TermRef{graph, uid};
}

// The store's report is raised as it is: the store names the operation itself.
Result<std::string> NodeRef::to_string() const {
  return graph->node_to_string(uid);
}

Result<PropertyMap> EdgeRef::properties() const {
  return KORVALE_TRY(graph->edge_properties(uid),
                     "edge reference - get properties [src/query/references/edge:42]");
}

Result<TypeRef> EdgeRef::type() const {
  Uid type_uid =
      KORVALE_TRY(graph->get_edge_type(uid), "edge - type [src/query/references/edge:51]");
  return TypeRef{graph, type_uid};
}

Result<TermRef> EdgeRef::term() const {
  Uid type_uid =
      KORVALE_TRY(graph->get_edge_type(uid), "edge - type [src/query/references/edge:61]");
  return TermRef{graph, type_uid};
}

Result<std::string> EdgeRef::to_string() const {
  return KORVALE_TRY(graph->edge_to_string(uid),
                     "edge reference - to string [src/query/references/edge:70]");
}

Result<std::string> TermRef::to_string() const {
  return KORVALE_TRY(graph->term_to_string(uid),
                     "term reference - to string [src/query/references/term:41]");
}

Result<std::string> TypeRef::to_string() const {
  return KORVALE_TRY(graph->type_to_string(uid),
                     "type reference - to string [src/query/references/type:43]");
}

}  // namespace korvale
