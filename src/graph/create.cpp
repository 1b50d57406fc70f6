// Path creation: for every row of the input set, in parallel, infer the type
// and term of every element of the path, validate them, add the nodes and
// then the edges, and bind the named elements in a new layer over the row.
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "errors/kinds.hpp"
#include "graph/graph.hpp"
#include "graph/inference.hpp"
#include "matches/match_element.hpp"

namespace korvale {
namespace {

std::unexpected<Report> invalid(const PathPattern& pattern, const char* reason) {
  return fail(kind::InvalidPattern{pattern.pattern, reason});
}

// The tests every record must pass before anything of the row is written.
Status validate_records(const PathPattern& pattern, const NodeList& nodes, const EdgeList& edges) {
  for (const NodeData& node : nodes) {
    if (!node.type) {
      return invalid(pattern, "Unable to infer the type of a node contained in the pattern");
    }
    if (node.term && node.term_valid == 0) {
      return invalid(pattern, "Inferred term for node does not match the provided schema");
    }
  }
  for (const EdgeData& edge : edges) {
    if (!edge.term) {
      return invalid(pattern, "Unable to infer the term of an edge contained in the pattern");
    }
    // The inference gives every edge with a term the term's type.
    if (!edge.type) return fail(kind::Infallible{});
    if (!(*edge.type == *edge.term->type())) {
      return invalid(pattern,
                     "Inferred type for edge does not match the type of the term of the edge");
    }
    if (edge.term_valid == 0) {
      return invalid(pattern, "Inferred term for edge does not match the provided schema");
    }
  }
  return {};
}

// Whether add_nodes (add_edges) writes the element: it leaves alone one whose
// variable the row binds already.
template <class Data>
bool writes(const Data& element, const MatchPtr& layer) {
  return !element.variable || !layer->contains_key(*element.variable);
}

// Refuses, before anything of the row is written, a term that the store could
// not give back (Graph::check_term_storable).
Status check_terms_storable(const Graph& graph, const NodeList& nodes, const EdgeList& edges,
                            const MatchPtr& layer) {
  for (const NodeData& node : nodes) {
    if (node.term && writes(node, layer))
      KORVALE_PASS_STATUS(graph.check_term_storable(*node.term));
  }
  for (const EdgeData& edge : edges) {
    if (writes(edge, layer)) KORVALE_PASS_STATUS(graph.check_term_storable(*edge.term));
  }
  return {};
}

// The uid of the node added, or of the node that already had the type.
Result<Uid> add_or_reuse_node(Graph& graph, NodeData& node, const char* line) {
  Result<Uid> added =
      graph.add_node(std::move(node.type), std::move(node.term), std::move(node.properties));
  if (added) return *added;
  if (const auto* exists = std::get_if<kind::NodeAlreadyExists>(&added.error().kind())) {
    return exists->uid;
  }
  return fail(std::move(added.error()).attach(line));
}

// Adds the nodes in pattern order; returns the uid of the last named node
// added or reused, 32 zero bytes when there is none.
Result<Uid> add_nodes(Graph& graph, NodeList& nodes, const MatchPtr& layer) {
  Uid last_uid{};
  for (NodeData& node : nodes) {
    if (!node.variable) {
      KORVALE_PASS(add_or_reuse_node(graph, node, "graph - create path [src/graph/create:817]"));
      continue;
    }
    if (layer->contains_key(*node.variable)) continue;
    last_uid =
        KORVALE_PASS(add_or_reuse_node(graph, node, "graph - create path [src/graph/create:802]"));
    KORVALE_CHECK(layer->insert(*node.variable, MatchElement::Node{last_uid}),
                  "graph - create path [src/graph/create:808]");
  }
  return last_uid;
}

Status add_edges(Graph& graph, EdgeList& edges, const MatchPtr& layer) {
  for (EdgeData& edge : edges) {
    if (!edge.variable) {
      KORVALE_CHECK(graph.add_edge(std::move(edge.term), std::move(edge.properties)),
                    "graph - create path [src/graph/create:840]");
      continue;
    }
    if (layer->contains_key(*edge.variable)) continue;
    const EdgeUid key =
        KORVALE_TRY(graph.add_edge(std::move(edge.term), std::move(edge.properties)),
                    "graph - create path [src/graph/create:829]");
    KORVALE_CHECK(layer->insert(*edge.variable, MatchElement::Edge{key}),
                  "graph - create path [src/graph/create:834]");
  }
  return {};
}

// One input row in, its output row out.
Result<MatchRow> create_row(Graph& graph, const PathPattern& pattern, const MatchRow& row) {
  NodeList nodes = node_data_of(pattern);
  EdgeList edges = edge_data_of(pattern);
  const MatchPtr layer =
      KORVALE_PASS(infer_path_data(graph, pattern, nodes, edges, Match::new_(row.match)));
  if (Status valid = validate_records(pattern, nodes, edges); !valid)
    return fail(std::move(valid.error()));
  KORVALE_PASS_STATUS(check_terms_storable(graph, nodes, edges, layer));
  const Uid last_uid = KORVALE_PASS(add_nodes(graph, nodes, layer));
  if (Status added = add_edges(graph, edges, layer); !added) return fail(std::move(added.error()));
  return MatchRow{next_match_id(), last_uid, layer};
}

}  // namespace

Result<MatchSet> Graph::create_path(const PathPattern& pattern, MatchSet matches) {
  MatchSet output;
  KORVALE_CHECK(pattern.validate(), "graph - create path [src/graph/create:82]");
  Status rows = matches.try_par_for([&](const MatchRow& row) -> Status {
    MatchRow created = KORVALE_PASS(create_row(*this, pattern, row));
    output.insert(std::move(created));
    return {};
  });
  if (!rows) return fail(std::move(rows.error()));
  return output;
}

}  // namespace korvale
