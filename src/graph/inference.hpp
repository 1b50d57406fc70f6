// What a create clause knows about each element of its path for one row, and
// the inference that fills it in: types and terms follow from the row's bound
// variables, the schemas, the declared constants and the neighbouring
// elements (through each edge's arrow type and the application of its term).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include <absl/container/inlined_vector.h>

#include "errors/report.hpp"
#include "graph/graph.hpp"
#include "matches/match.hpp"
#include "patterns/edge.hpp"
#include "patterns/path.hpp"
#include "properties/property_map.hpp"
#include "typing/term.hpp"
#include "typing/type.hpp"

namespace korvale {

// The record of one node or edge of a path, owned by one row. `type` and
// `term` are null while unknown and are set at most once, never replaced.
// `type_valid` becomes 1 once the element's type schema was handled (turned
// into its type, or there is none); `term_valid` is 1 when the term was built
// from or confirmed against the term schema, or there is no term schema, and 0
// while unconfirmed or refuted. Once 1, a valid byte stays 1.
struct ElementData {
  std::optional<std::string> variable;
  TypePtr type;
  TermPtr term;
  // The pattern element's own map when it has a property block (shared by
  // every row and element created from it), else a new empty map.
  PropertyMap properties;
  std::uint8_t type_valid = 0;
  std::uint8_t term_valid = 0;
};

struct NodeData : ElementData {
  // An absent map is replaced by a new empty one.
  static NodeData new_(std::optional<std::string> variable, std::optional<PropertyMap> properties);
};

struct EdgeData : ElementData {
  CompiledDirection direction = CompiledDirection::Forward;

  static EdgeData new_(std::optional<std::string> variable, CompiledDirection direction,
                       std::optional<PropertyMap> properties);
};

// Paths are short: the records of a typical path stay inside the row.
using NodeList = absl::InlinedVector<NodeData, 4>;
using EdgeList = absl::InlinedVector<EdgeData, 3>;

// One record per node (edge) pattern, in pattern order, with a copy of its
// variable and its property map handle.
NodeList node_data_of(const PathPattern& pattern);
EdgeList edge_data_of(const PathPattern& pattern);

enum class ElementKind : std::uint8_t { Node, Edge };

struct WorkItem {
  std::size_t index = 0;
  ElementKind kind = ElementKind::Node;
  friend bool operator==(const WorkItem&, const WorkItem&) = default;
};

// The elements still to look at: a stack holding each (index, kind) at most
// once. It starts, bottom to top, as (0, node), (0, edge), (1, node), ...,
// (n - 2, edge), (n - 1, node), so the last node is looked at first.
class Worklist {
 public:
  explicit Worklist(std::size_t node_count);

  bool empty() const { return items_.empty(); }
  // Takes the top item; the list must not be empty.
  WorkItem pop();
  // Puts the item on top unless an equal item is anywhere in the stack.
  void push_if_absent(WorkItem item);
  // Bottom to top.
  std::span<const WorkItem> items() const { return {items_.data(), items_.size()}; }

 private:
  absl::InlinedVector<WorkItem, 8> items_;
};

// Runs the inference of one row over the records of a validated path (built
// by node_data_of and edge_data_of), starting from `layer`, the row's new
// layer. Returns the final layer: `layer`, or one that term-schema tests
// stacked over it binding the schemas' term variables. Every type for which
// the constants are asked for a term, and every term tested against a term
// schema, is stored at once and stays even when the row then fails. The first
// failure ends the inference; an edge without arrowheads fails it with
// InvalidPattern as soon as its direction is needed.
Result<MatchPtr> infer_path_data(Graph& graph, const PathPattern& pattern, NodeList& nodes,
                                 EdgeList& edges, MatchPtr layer);

}  // namespace korvale
