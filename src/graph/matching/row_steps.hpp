// The per-row pieces of path matching, shared by the public steps of the
// store (match_node_pattern, match_edge_pattern) and the path driver, which
// chains them without building a set between an edge step and the node test
// that follows it. Each piece hands the rows it produces to a sink instead of
// a set: the sink decides where a row goes and may fail (the node test after
// an edge does). Sinks are called from many pool threads at once.
#pragma once

#include <cassert>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <absl/functional/function_ref.h>

#include "graph/concrete_type.hpp"
#include "graph/graph.hpp"

namespace korvale::row_steps {

// Receives one produced row: the node it reached and its layer. A failure of
// the sink is passed on by the step unchanged, without the step's own lines.
using Sink = absl::FunctionRef<Status(const Uid& reached, MatchPtr layer)>;

// A sink that adds every row to `set` under a fresh id; it never fails.
inline auto into_set(MatchSet& set) {
  return [&set](const Uid& reached, MatchPtr layer) -> Status {
    set.insert({next_match_id(), reached, std::move(layer)});
    return {};
  };
}

// The node step for one row: the bound node, or the candidates of the type
// schema (by `concrete`, that of the pattern's type schema, when it applies
// to the row), of the term schema, or of every stored node. Failures carry
// the node step's own lines.
Status match_node_row(const Graph& graph, const NodePattern& pattern,
                      const std::optional<ConcreteType>& concrete, const MatchRow& row, Sink sink);

// Where an edge step reports a pattern it cannot follow: the text of the
// path it belongs to, or, when the step runs on its own, the edge's own.
struct EdgeStepContext {
  const std::string* path_text = nullptr;  // null: the edge pattern's own text
  const char* step_line = nullptr;         // attached to the step's own failures
};

// The edge step for one row: the bound edge, or every edge of the row's node
// in the pattern's direction. `context.step_line`, when given, is attached to
// the step's own failures but not to the sink's.
Status match_edge_row(const Graph& graph, const EdgePattern& pattern, EdgeStepContext context,
                      const MatchRow& row, Sink sink);

// check_edge_matches, reporting a pattern without direction in `context`.
CheckResult check_edge_row(const Graph& graph, const Uid& prev_uid, const EdgeUid& edge,
                           const EdgePattern& pattern, EdgeStepContext context, MatchPtr m);

// The lines a part test attaches to its failures.
struct PartLines {
  const char* type;
  const char* term;
  const char* properties;
};

// Tests the type schema, then the term schema, then the property filter of a
// node or edge pattern against the type `uid`, starting from layer `m`.
// `filter(properties)` runs the store's property test for the element.
template <class Pattern, class Filter>
CheckResult check_parts(const Graph& graph, const Uid& uid, const Pattern& pattern, MatchPtr m,
                        const PartLines& lines, Filter&& filter) {
  assert(lines.type != nullptr && lines.term != nullptr && lines.properties != nullptr);
  if (pattern.type_schema) {
    std::optional<MatchPtr> fit = KORVALE_TRY(
        graph.check_type_matches(uid, *pattern.type_schema->compiled, std::move(m)), lines.type);
    if (!fit) return std::nullopt;
    m = std::move(*fit);
  }
  if (pattern.term_schema) {
    std::optional<MatchPtr> fit = KORVALE_TRY(
        graph.check_term_matches(uid, *pattern.term_schema->compiled, std::move(m)), lines.term);
    if (!fit) return std::nullopt;
    m = std::move(*fit);
  }
  if (pattern.properties) {
    const bool passes = KORVALE_TRY(filter(*pattern.properties), lines.properties);
    if (!passes) return std::nullopt;
  }
  return m;
}

}  // namespace korvale::row_steps
