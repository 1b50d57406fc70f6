// Helpers for the tests of the store's writes: identifiers, property maps
// from short literals, and reads of what the store holds.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "graph/graph.hpp"
#include "support/graph_helpers.hpp"

namespace korvale::testing {

inline Uid uid_of(const Type& type) {
  return type.uid();
}

inline EdgeUid edge_of(const Type& arrow_type) {
  const Arrow* parts = arrow_type.as_arrow();
  return EdgeUid{uid_of(*parts->domain), uid_of(*parts->codomain)};
}

inline PropertyMap props(std::vector<std::pair<std::string, std::int64_t>> entries) {
  Dynamic::Dict dict;
  for (auto& [key, value] : entries) dict.emplace(std::move(key), Dynamic::integer(value));
  return PropertyMap::from_dict(std::move(dict));
}

inline std::string text_of(const PropertyMap& map) {
  Result<std::string> text = map.to_string();
  return text ? *text : format_report(text.error());
}

// The term the store holds for the type, or nullptr when it holds none.
inline TermPtr stored_term(const Graph& graph, const Type& type) {
  if (!graph.term_index.contains(uid_of(type))) return nullptr;
  Result<TermPtr> term = graph.term_from_uid(uid_of(type));
  EXPECT_TRUE(term.has_value()) << format_report(term.error());
  return term ? *term : nullptr;
}

inline bool same_term(const TermPtr& a, const TermPtr& b) {
  if (!a || !b) return a == b;
  return *a == *b;
}

// The edges a node's incidence set holds; a node without a set has none.
inline std::vector<EdgeUid> edges_in(const ShardedMap<Uid, EdgeSetPtr>& table, const Uid& node) {
  std::vector<EdgeUid> edges;
  table.find_with(node, [&](const EdgeSetPtr& set) { edges = set->snapshot(); });
  return edges;
}

}  // namespace korvale::testing
