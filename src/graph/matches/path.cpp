// Path patterns: every input row extended along the whole path, one step per
// node and edge pattern. Each row goes breadth-first through the steps, one
// set of rows per edge, so that a long path costs no stack.
#include <utility>

#include "graph/graph.hpp"
#include "graph/matches/row_steps.hpp"

namespace korvale {
namespace {

// The node at the far end of an edge, tested against the node pattern that
// follows the edge. Its variable, when the row binds it already, must name
// this very node: that is how a path returns to a node, as in (a)-[e]->(a).
Status match_reached_node(const Graph& graph, const NodePattern& pattern, const Uid& reached,
                          MatchPtr m, MatchSet& output) {
  if (!graph.node_index.contains(reached)) {
    return fail(kind::IndexCorruption{"previously matched node should exist in NodeIndex",
                                      "checking node matches pattern [src/graph/matches/path:59]"});
  }
  const std::optional<MatchPtr> fit =
      KORVALE_TRY(graph.check_node_matches(reached, pattern, std::move(m)),
                  "graph - match path pattern [src/graph/matches/path:65]");
  if (!fit) return {};
  const MatchPtr& layer = *fit;
  if (pattern.variable) {
    if (const std::optional<MatchElement> bound = layer->get(*pattern.variable)) {
      const Uid node =
          KORVALE_TRY(bound->as_node(*pattern.variable, "get previously matched element"),
                      "graph - match path pattern [src/graph/matches/path:73]");
      if (node != reached) return {};
    } else {
      KORVALE_CHECK(layer->insert(*pattern.variable, MatchElement::Node{reached}),
                    "graph - match path pattern [src/graph/matches/path:83]");
    }
  }
  output.insert({next_match_id(), reached, layer});
  return {};
}

// One input row along the whole path. The rows of the last step go straight
// into `output`, each under a fresh id.
Status match_row(const Graph& graph, const PathPattern& pattern,
                 const std::optional<row_steps::ConcreteType>& first_concrete,
                 const MatchRow& input, MatchSet& output) {
  const std::size_t steps = pattern.edges.size();
  MatchSet rows = steps == 0 ? output : MatchSet();
  KORVALE_CHECK(row_steps::match_node_row(graph, pattern.nodes[0], first_concrete, input,
                                          row_steps::into_set(rows)),
                "graph - match path pattern [src/graph/matches/path:39]");
  const row_steps::EdgeStepContext context{
      &pattern.pattern, "graph - match path pattern [src/graph/matches/path:49]"};
  for (std::size_t i = 0; i < steps; ++i) {
    MatchSet next = i + 1 == steps ? output : MatchSet();
    const NodePattern& node = pattern.nodes[i + 1];
    const auto test_reached = [&](const Uid& reached, MatchPtr layer) -> Status {
      KORVALE_CHECK(match_reached_node(graph, node, reached, std::move(layer), next),
                    "graph - match path pattern [src/graph/matches/path:96]");
      return {};
    };
    Status done = rows.try_par_for([&](const MatchRow& row) {
      return row_steps::match_edge_row(graph, pattern.edges[i], context, row, test_reached);
    });
    if (!done) return done;
    rows = std::move(next);
  }
  return {};
}

}  // namespace

Result<MatchSet> Graph::match_path_pattern(const PathPattern& pattern, MatchSet matches) const {
  MatchSet output;
  KORVALE_CHECK(pattern.validate(), "graph - match path pattern [src/graph/matches/path:25]");
  const std::optional<row_steps::ConcreteType> first_concrete =
      row_steps::concrete_type(pattern.nodes[0]);
  Status done = matches.try_par_for(
      [&](const MatchRow& row) { return match_row(*this, pattern, first_concrete, row, output); });
  if (!done) return fail(std::move(done.error()));
  return output;
}

}  // namespace korvale
