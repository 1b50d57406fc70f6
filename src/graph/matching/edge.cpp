// Edge patterns: following the edges of the node a row has reached
// (match_edge_pattern) and testing one edge (check_edge_matches).
#include <utility>

#include "graph/graph.hpp"
#include "graph/matching/row_steps.hpp"

namespace korvale {
namespace row_steps {
namespace {

// An edge pattern written without arrowheads, as it would be written alone.
std::string edge_text(const EdgePattern& pattern) {
  std::string inner = pattern.variable.value_or("");
  if (pattern.type_schema || pattern.term_schema) {
    inner += ":" + (pattern.type_schema ? pattern.type_schema->pattern : std::string());
  }
  if (pattern.term_schema) inner += ":" + pattern.term_schema->pattern;
  return "-[" + inner + "]-";
}

// Edges without a direction are parsed but not followed: the clause fails.
Report any_direction(const EdgePattern& pattern, EdgeStepContext context) {
  return Report(kind::InvalidPattern{context.path_text ? *context.path_text : edge_text(pattern),
                                     "not yet implemented: any direction not supported yet"});
}

std::unexpected<Report> own_failure(Report report, EdgeStepContext context) {
  if (context.step_line != nullptr) report.attach(context.step_line);
  return fail(std::move(report));
}

std::unexpected<Report> own_failure(Report report, const char* line, EdgeStepContext context) {
  report.attach(line);
  return own_failure(std::move(report), context);
}

// The end of the edge that the row moves on to.
const Uid& far_end(const EdgeUid& edge, CompiledDirection direction) {
  return direction == CompiledDirection::Backward ? edge.start : edge.end;
}

// A. The row binds the pattern's variable: that edge must touch the row's
// node on the pattern's side.
Status match_bound_edge(const Graph& graph, const EdgePattern& pattern, EdgeStepContext context,
                        const MatchElement& bound, const MatchRow& row, Sink sink) {
  const Result<EdgeUid> edge = bound.as_edge(*pattern.variable);
  if (!edge) {
    return own_failure(std::move(edge.error()),
                       "graph - match edge pattern [src/graph/matches/edge:36]", context);
  }
  CheckResult fit = check_edge_row(graph, row.last_uid, *edge, pattern, context, row.match);
  if (!fit) {
    return own_failure(std::move(fit.error()),
                       "graph - match edge pattern [src/graph/matches/edge:56]", context);
  }
  if (!*fit) return {};
  return sink(far_end(*edge, pattern.direction), std::move(**fit));
}

// B, per edge of the row's node.
Status follow_edge(const Graph& graph, const EdgePattern& pattern, EdgeStepContext context,
                   const MatchRow& row, const EdgeUid& edge, Sink sink) {
  CheckResult fit = check_edge_row(graph, row.last_uid, edge, pattern, context, row.match);
  if (!fit) {
    return own_failure(std::move(fit.error()),
                       "graph - match edge pattern [src/graph/matches/edge:108]", context);
  }
  if (!*fit) return {};
  MatchPtr r = std::move(**fit);
  if (pattern.variable) {
    Status bound = r->insert(*pattern.variable, MatchElement::Edge{edge});
    if (!bound) {
      return own_failure(std::move(bound.error()),
                         "graph - match edge pattern [src/graph/matches/edge:90]", context);
    }
  }
  return sink(far_end(edge, pattern.direction), std::move(r));
}

}  // namespace

Status match_edge_row(const Graph& graph, const EdgePattern& pattern, EdgeStepContext context,
                      const MatchRow& row, Sink sink) {
  if (pattern.variable) {
    if (const std::optional<MatchElement> bound = row.match->get(*pattern.variable)) {
      return match_bound_edge(graph, pattern, context, *bound, row, sink);
    }
  }
  if (pattern.direction == CompiledDirection::Any) {
    return own_failure(any_direction(pattern, context), context);
  }
  const ShardedMap<Uid, EdgeSetPtr>& incidence = pattern.direction == CompiledDirection::Forward
                                                     ? graph.start_to_edge_index
                                                     : graph.end_to_edge_index;
  const std::optional<EdgeSetPtr> set = incidence.get(row.last_uid);
  if (!set) {
    // Sets are made with a node's first edge: a node without one has no
    // edges. Only a node that is gone means the row points nowhere.
    if (graph.node_index.contains(row.last_uid)) return {};
    return own_failure(
        Report(kind::IndexCorruption{"prev_uid should be pointing at a valid node, and it dos not "
                                     "have an entry in the StartToEdgeIndex",
                                     "graph - match edge pattern"}),
        context);
  }
  // A copy of the keys: the loop below runs on pool threads, and the set's
  // own lock must not be held across it.
  const std::vector<EdgeUid> edges = (*set)->snapshot();
  return try_par_for(
      edges.size(),
      [&](std::size_t i) { return follow_edge(graph, pattern, context, row, edges[i], sink); },
      ItemWork::kLight);
}

CheckResult check_edge_row(const Graph& graph, const Uid& prev_uid, const EdgeUid& edge,
                           const EdgePattern& pattern, EdgeStepContext context, MatchPtr m) {
  switch (pattern.direction) {
    case CompiledDirection::Forward:
      if (edge.start != prev_uid) return std::nullopt;
      break;
    case CompiledDirection::Backward:
      if (edge.end != prev_uid) return std::nullopt;
      break;
    case CompiledDirection::Any:
      return fail(any_direction(pattern, context));
  }
  const std::optional<Uid> arrow = graph.edge_to_type_index.get(edge);
  if (!arrow) {
    return fail(
        kind::IndexCorruption{"missing type for edge in edge_to_type_index", "check edge matches"});
  }
  static constexpr PartLines kLines{"check edge matches [src/graph/matches/edge:156]",
                                    "check edge matches [src/graph/matches/edge:168]",
                                    "check edge matches [src/graph/matches/edge:177]"};
  return check_parts(
      graph, *arrow, pattern, Match::new_(std::move(m)), kLines,
      [&](const PropertyMap& filter) { return graph.check_edge_matches_properties(edge, filter); });
}

}  // namespace row_steps

Result<MatchSet> Graph::match_edge_pattern(const EdgePattern& pattern, MatchSet matches) const {
  MatchSet output;
  const auto into_output = row_steps::into_set(output);
  Status done = matches.try_par_for([&](const MatchRow& row) {
    return row_steps::match_edge_row(*this, pattern, {}, row, into_output);
  });
  if (!done) return fail(std::move(done.error()));
  return output;
}

CheckResult Graph::check_edge_matches(const Uid& prev_uid, const EdgeUid& edge,
                                      const EdgePattern& pattern, MatchPtr m) const {
  return row_steps::check_edge_row(*this, prev_uid, edge, pattern, {}, std::move(m));
}

}  // namespace korvale
