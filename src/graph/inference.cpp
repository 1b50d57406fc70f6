#include "graph/inference.hpp"

#include <utility>
#include <variant>

#include "errors/kinds.hpp"
#include "matches/match_element.hpp"

namespace korvale {

NodeData NodeData::new_(std::optional<std::string> variable,
                        std::optional<PropertyMap> properties) {
  NodeData data;
  data.variable = std::move(variable);
  data.properties = properties ? std::move(*properties) : PropertyMap::empty();
  return data;
}

EdgeData EdgeData::new_(std::optional<std::string> variable, CompiledDirection direction,
                        std::optional<PropertyMap> properties) {
  EdgeData data;
  data.variable = std::move(variable);
  data.properties = properties ? std::move(*properties) : PropertyMap::empty();
  data.direction = direction;
  return data;
}

NodeList node_data_of(const PathPattern& pattern) {
  NodeList nodes;
  nodes.reserve(pattern.nodes.size());
  for (const NodePattern& node : pattern.nodes) {
    nodes.push_back(NodeData::new_(node.variable, node.properties));
  }
  return nodes;
}

EdgeList edge_data_of(const PathPattern& pattern) {
  EdgeList edges;
  edges.reserve(pattern.edges.size());
  for (const EdgePattern& edge : pattern.edges) {
    edges.push_back(EdgeData::new_(edge.variable, edge.direction, edge.properties));
  }
  return edges;
}

Worklist::Worklist(std::size_t node_count) {
  if (node_count == 0) return;
  items_.reserve(2 * node_count - 1);
  for (std::size_t i = 0; i + 1 < node_count; ++i) {
    items_.push_back({i, ElementKind::Node});
    items_.push_back({i, ElementKind::Edge});
  }
  items_.push_back({node_count - 1, ElementKind::Node});
}

WorkItem Worklist::pop() {
  const WorkItem top = items_.back();
  items_.pop_back();
  return top;
}

void Worklist::push_if_absent(WorkItem item) {
  for (const WorkItem& queued : items_) {
    if (queued == item) return;
  }
  items_.push_back(item);
}

namespace {

enum class Verdict { None, Confirmed, Refuted };

// What one step has learnt so far; recorded at the end of the step.
struct StepValues {
  TypePtr type;
  TermPtr term;
  Verdict type_verdict = Verdict::None;
  Verdict term_verdict = Verdict::None;
};

// The lines that the type and term parts attach, which name the step's kind.
struct CreationLines {
  const char* type_schema;
  const char* term_check;
  const char* term_schema;
};
constexpr CreationLines kNodeLines{"graph - create path [src/graph/create:212]",
                                   "graph - create path [src/graph/create:251]",
                                   "graph - create path [src/graph/create:264]"};
constexpr CreationLines kEdgeLines{"graph - create path [src/graph/create:584]",
                                   "graph - create path [src/graph/create:618]",
                                   "graph - create path [src/graph/create:629]"};

// The element at `index`, or IndexOutOfRange naming the list that was asked.
template <class List>
auto position(List& list, std::size_t index, const char* context) -> Result<decltype(&list[0])> {
  if (index >= list.size()) {
    return fail(kind::IndexOutOfRange{index, list.size(), std::string(context)});
  }
  return &list[index];
}

// Records the step's verdicts, then gives a record that has a term but no
// type the term's type; returns whether it did.
bool settle_record(ElementData& record, const StepValues& step) {
  if (step.type_verdict == Verdict::Confirmed) record.type_valid = 1;
  if (step.term_verdict == Verdict::Confirmed) record.term_valid = 1;
  if (step.term_verdict == Verdict::Refuted) record.term_valid = 0;
  if (record.type || !record.term) return false;
  record.type = record.term->type();
  return true;
}

bool is_kind_term_not_found(const Report& report) {
  return std::holds_alternative<kind::TermNotFound>(report.kind());
}

class PathInference {
 public:
  PathInference(Graph& graph, const PathPattern& pattern, NodeList& nodes, EdgeList& edges,
                MatchPtr layer)
      : graph_(graph),
        pattern_(pattern),
        nodes_(nodes),
        edges_(edges),
        layer_(std::move(layer)),
        worklist_(nodes.size()) {}

  Result<MatchPtr> run() {
    while (!worklist_.empty()) {
      const WorkItem item = worklist_.pop();
      KORVALE_PASS_STATUS(item.kind == ElementKind::Node ? node_step(item.index)
                                                         : edge_step(item.index));
    }
    return std::move(layer_);
  }

 private:
  Status node_step(std::size_t i);
  Status edge_step(std::size_t i);
  Status bound_node(const NodeData& node, StepValues& step);
  Status bound_edge(const EdgeData& edge, StepValues& step);
  template <class Pattern>
  Status type_part(const ElementData& element, const Pattern& pattern, StepValues& step,
                   const CreationLines& lines);
  template <class Pattern>
  Status term_part(const ElementData& element, const Pattern& pattern, StepValues& step,
                   const CreationLines& lines);
  Status constant_term(const ElementData& element, StepValues& step, const char* line);
  Status from_adjacent_edge(const NodeData& node, const EdgeData& edge, const NodeData& other,
                            bool edge_on_left, StepValues& step);
  Status type_from_nodes(const EdgeData& edge, const NodeData& left, const NodeData& right,
                         StepValues& step);
  Status term_from_nodes(const EdgeData& edge, const NodeData& left, const NodeData& right,
                         StepValues& step);
  void requeue_unconfirmed();
  std::unexpected<Report> any_direction() const;

  Graph& graph_;
  const PathPattern& pattern_;
  NodeList& nodes_;
  EdgeList& edges_;
  MatchPtr layer_;
  Worklist worklist_;
};

std::unexpected<Report> PathInference::any_direction() const {
  return fail(kind::InvalidPattern{pattern_.pattern, "the 'any' direction is not supported yet"});
}

// Every unconfirmed element may now fit its own schema under the new bindings.
void PathInference::requeue_unconfirmed() {
  for (std::size_t j = 0; j < nodes_.size(); ++j) {
    if (nodes_[j].term_valid == 0) worklist_.push_if_absent({j, ElementKind::Node});
  }
  for (std::size_t j = 0; j < edges_.size(); ++j) {
    if (edges_[j].term_valid == 0) worklist_.push_if_absent({j, ElementKind::Edge});
  }
}

template <class Pattern>
Status PathInference::type_part(const ElementData& element, const Pattern& pattern,
                                StepValues& step, const CreationLines& lines) {
  if (element.type_valid != 0) return {};
  step.type_verdict = Verdict::Confirmed;
  if (pattern.type_schema) {
    step.type =
        KORVALE_TRY(graph_.type_schema_to_type(*pattern.type_schema, layer_), lines.type_schema);
  }
  return {};
}

template <class Pattern>
Status PathInference::term_part(const ElementData& element, const Pattern& pattern,
                                StepValues& step, const CreationLines& lines) {
  if (element.term_valid != 0) return {};
  step.term_verdict = Verdict::Confirmed;
  if (!pattern.term_schema) return {};
  if (!element.term) {
    Result<TermPtr> built = graph_.term_schema_to_term(*pattern.term_schema, layer_);
    if (built) {
      step.term = std::move(*built);
    } else if (std::holds_alternative<kind::VariableNotFound>(built.error().kind())) {
      // The schema names a term variable that nothing has bound yet.
      step.term = nullptr;
      step.term_verdict = Verdict::None;
    } else {
      return fail(std::move(built.error()).attach(lines.term_schema));
    }
    return {};
  }
  const Uid uid = KORVALE_PASS(graph_.insert_term(*element.term));
  std::optional<MatchPtr> fit = KORVALE_TRY(
      graph_.check_term_matches(uid, *pattern.term_schema->compiled, layer_), lines.term_check);
  if (!fit) {
    step.term_verdict = Verdict::Refuted;
    return {};
  }
  layer_ = std::move(*fit);
  requeue_unconfirmed();
  return {};
}

Status PathInference::constant_term(const ElementData& element, StepValues& step,
                                    const char* line) {
  if (element.term || step.term) return {};
  const TypePtr& known = element.type ? element.type : step.type;
  if (!known) return {};
  std::optional<TermPtr> term = KORVALE_TRY(graph_.infer_term(graph_.insert_type(*known)), line);
  if (term) step.term = std::move(*term);
  return {};
}

Status PathInference::bound_node(const NodeData& node, StepValues& step) {
  if (!node.variable) return {};
  const std::optional<MatchElement> element = layer_->get(*node.variable);
  if (!element) return {};
  const Uid uid = KORVALE_TRY(
      element->as_node(*node.variable, "create path - node data inference - node already matched"),
      "graph - create path [src/graph/create:137]");
  step.type = KORVALE_TRY(graph_.type_from_uid(uid), "graph - create path [src/graph/create:142]");
  Result<TermPtr> term = graph_.term_from_uid(uid);
  if (term) {
    step.term = std::move(*term);
  } else if (!is_kind_term_not_found(term.error())) {
    return fail(std::move(term.error()).attach("graph - create path [src/graph/create:149]"));
  }
  return {};
}

Status PathInference::bound_edge(const EdgeData& edge, StepValues& step) {
  if (!edge.variable) return {};
  const std::optional<MatchElement> element = layer_->get(*edge.variable);
  if (!element) return {};
  const char* context = "create path - edge data inference - edge already matched";
  const EdgeUid key = KORVALE_TRY(element->as_edge(*edge.variable, context),
                                  "graph - create path [src/graph/create:519]");
  const std::optional<Uid> type_uid = graph_.edge_to_type_index.get(key);
  if (!type_uid) {
    return fail(kind::IndexCorruption{
        "Edge exists in EdgeIndex without corresponding entry at EdgeToTypeIndex.", context});
  }
  step.type =
      KORVALE_TRY(graph_.type_from_uid(*type_uid), "graph - create path [src/graph/create:529]");
  step.term =
      KORVALE_TRY(graph_.term_from_uid(*type_uid), "graph - create path [src/graph/create:534]");
  return {};
}

// The node is the end of an edge that points at it, the start otherwise.
// Callers refuse Any first.
bool node_is_end(const EdgeData& edge, bool edge_on_left) {
  return edge.direction == CompiledDirection::Backward ? !edge_on_left : edge_on_left;
}

Status PathInference::from_adjacent_edge(const NodeData& node, const EdgeData& edge,
                                         const NodeData& other, bool edge_on_left,
                                         StepValues& step) {
  if (!node.type && !step.type && edge.type) {
    const Arrow* arrow = edge.type->as_arrow();
    if (arrow == nullptr) return fail(kind::InvalidType{"edge must have an arrow type"});
    if (edge.direction == CompiledDirection::Any) return any_direction();
    const bool at_end = node_is_end(edge, edge_on_left);
    step.type = at_end ? arrow->codomain : arrow->domain;
  }
  if (!node.term && !step.term && edge.term && other.term) {
    if (edge.direction == CompiledDirection::Any) return any_direction();
    if (node_is_end(edge, edge_on_left)) {
      // The node the edge points at holds the edge applied to the other end.
      step.term = KORVALE_TRY(Term::apply(edge.term, other.term),
                              edge_on_left ? "graph - create path [src/graph/create:348]"
                                           : "graph - create path [src/graph/create:432]");
    } else if (const Application* application = other.term->as_application();
               application != nullptr && *application->function() == *edge.term) {
      step.term = application->argument();
    }
  }
  return {};
}

Status PathInference::node_step(std::size_t i) {
  NodeData* node = KORVALE_PASS(position(nodes_, i, "create path - node data inference"));
  const NodePattern* pattern = KORVALE_PASS(
      position(pattern_.nodes, i, "create path - node data inference - match pattern"));
  StepValues step;
  KORVALE_PASS_STATUS(bound_node(*node, step));
  KORVALE_PASS_STATUS(type_part(*node, *pattern, step, kNodeLines));
  KORVALE_PASS_STATUS(term_part(*node, *pattern, step, kNodeLines));
  KORVALE_PASS_STATUS(constant_term(*node, step, "graph - create path [src/graph/create:286]"));
  if (i > 0) {
    const EdgeData* left_edge =
        KORVALE_PASS(position(edges_, i - 1, "create path - node data inference - left edge"));
    const NodeData* left_node =
        KORVALE_PASS(position(nodes_, i - 1, "create path - node data inference - left node"));
    KORVALE_PASS_STATUS(from_adjacent_edge(*node, *left_edge, *left_node, true, step));
  }
  const bool has_right = i + 1 < nodes_.size();
  if (has_right) {
    const EdgeData* right_edge =
        KORVALE_PASS(position(edges_, i, "create path - node data inference - right edge"));
    const NodeData* right_node =
        KORVALE_PASS(position(nodes_, i + 1, "create path - node data inference - right node"));
    KORVALE_PASS_STATUS(from_adjacent_edge(*node, *right_edge, *right_node, false, step));
  }

  NodeData* record =
      KORVALE_PASS(position(nodes_, i, "create path - node data inference - mutating node data"));
  bool changed = false;
  if (!record->type && step.type) {
    record->type = std::move(step.type);
    changed = true;
  }
  if (!record->term && step.term) {
    record->term = std::move(step.term);
    changed = true;
  }
  if (settle_record(*record, step)) changed = true;
  if (!changed) return {};
  if (i > 0) {
    worklist_.push_if_absent({i - 1, ElementKind::Edge});
    worklist_.push_if_absent({i - 1, ElementKind::Node});
  }
  if (has_right) {
    worklist_.push_if_absent({i, ElementKind::Edge});
    worklist_.push_if_absent({i + 1, ElementKind::Node});
  }
  return {};
}

// Picks the start and the end node of an edge by its direction.
struct Ends {
  const NodeData* start;
  const NodeData* end;
};
Ends ends_of(const EdgeData& edge, const NodeData& left, const NodeData& right) {
  if (edge.direction == CompiledDirection::Backward) return {&right, &left};
  return {&left, &right};
}

Status PathInference::type_from_nodes(const EdgeData& edge, const NodeData& left,
                                      const NodeData& right, StepValues& step) {
  if (!left.type || !right.type) return {};
  if (edge.direction == CompiledDirection::Any) return any_direction();
  const Ends ends = ends_of(edge, left, right);
  TypePtr arrow = Type::arrow(ends.start->type, ends.end->type);
  if (!edge.type && !step.type) {
    step.type = std::move(arrow);
    return {};
  }
  if (!(*arrow == *(edge.type ? edge.type : step.type))) {
    return fail(
        kind::InvalidType{"inferred type of an edge does not match the actual type of the edge"});
  }
  return {};
}

Status PathInference::term_from_nodes(const EdgeData& edge, const NodeData& left,
                                      const NodeData& right, StepValues& step) {
  if (edge.term || step.term || !left.term || !right.term) return {};
  if (edge.direction == CompiledDirection::Any) return any_direction();
  // The end node holds the edge's term applied to the start node's term.
  const Ends ends = ends_of(edge, left, right);
  const Application* application = ends.end->term->as_application();
  if (application != nullptr && *application->argument() == *ends.start->term) {
    step.term = application->function();
  }
  return {};
}

Status PathInference::edge_step(std::size_t i) {
  EdgeData* edge = KORVALE_PASS(position(edges_, i, "create path - edge data inference"));
  const EdgePattern* pattern = KORVALE_PASS(
      position(pattern_.edges, i, "create path - edge data inference - match pattern"));
  const NodeData* left =
      KORVALE_PASS(position(nodes_, i, "create path - edge data inference - left node"));
  const NodeData* right =
      KORVALE_PASS(position(nodes_, i + 1, "create path - edge data inference - right node"));
  StepValues step;
  KORVALE_PASS_STATUS(bound_edge(*edge, step));
  KORVALE_PASS_STATUS(type_part(*edge, *pattern, step, kEdgeLines));
  KORVALE_PASS_STATUS(term_part(*edge, *pattern, step, kEdgeLines));
  KORVALE_PASS_STATUS(type_from_nodes(*edge, *left, *right, step));
  KORVALE_PASS_STATUS(term_from_nodes(*edge, *left, *right, step));
  KORVALE_PASS_STATUS(constant_term(*edge, step, "graph - create node [src/graph/create:705]"));

  EdgeData* record =
      KORVALE_PASS(position(edges_, i, "create path - edge data inference - mutating edge data"));
  // An edge still missing its type or term counts as changed, found or not.
  bool changed = !record->type || !record->term;
  if (!record->type) record->type = std::move(step.type);
  if (!record->term) record->term = std::move(step.term);
  if (settle_record(*record, step)) changed = true;
  if (changed) {
    worklist_.push_if_absent({i, ElementKind::Node});
    worklist_.push_if_absent({i + 1, ElementKind::Node});
  }
  return {};
}

}  // namespace

Result<MatchPtr> infer_path_data(Graph& graph, const PathPattern& pattern, NodeList& nodes,
                                 EdgeList& edges, MatchPtr layer) {
  return PathInference(graph, pattern, nodes, edges, std::move(layer)).run();
}

}  // namespace korvale
