#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <absl/container/flat_hash_set.h>

#include "graph/graph.hpp"

namespace korvale {

namespace {

// An arrow or an application: the two Uids it names.
struct Parts {
  Uid first;
  Uid second;
};

// How one kind of stored tree prints: "(" first middle second ")", and the
// line each enclosing level adds to a failure inside its first or second part.
struct TreeForm {
  const char* middle;
  const char* first_line;
  const char* second_line;
};

constexpr TreeForm kTypeForm{" -> ", "graph - type to string [src/graph/base:655]",
                             "graph - type to string [src/graph/base:657]"};
constexpr TreeForm kTermForm{" ", "graph - term to string [src/graph/base:678]",
                             "graph - term to string [src/graph/base:680]"};

// Prints the tree under `root` with an explicit stack, parts in text order.
// `visit(uid, out)` appends a leaf's text to `out` and returns nullopt, or
// returns the parts of an inner level, or fails. A failure gets, innermost
// first, one line from every enclosing level, naming the part it was in.
// With `cycle_context`, meeting a level again inside itself fails with
// IndexCorruption instead of printing forever.
template <class Visit>
Result<std::string> print_tree(const Uid& root, const TreeForm& form, Visit&& visit,
                               const char* cycle_context) {
  struct Frame {
    Uid uid;
    Parts parts;
    int printing;  // 0: not begun, 1: in the first part, 2: in the second
  };
  std::string out;
  std::vector<Frame> stack;
  absl::flat_hash_set<Uid> open;  // the levels on the stack, when guarding cycles
  const auto enter = [&](const Uid& uid) -> Status {
    if (cycle_context != nullptr && open.contains(uid)) {
      return fail(kind::IndexCorruption{
          "term repr refers to itself through the term of type " + uid_to_hex(uid), cycle_context});
    }
    std::optional<Parts> parts = KORVALE_PASS(visit(uid, out));
    if (!parts) return {};
    if (cycle_context != nullptr) open.insert(uid);
    out += '(';
    stack.push_back({uid, *parts, 0});
    return {};
  };
  Status status = enter(root);
  while (status && !stack.empty()) {
    Frame& frame = stack.back();
    if (frame.printing == 0) {
      frame.printing = 1;
      status = enter(frame.parts.first);
    } else if (frame.printing == 1) {
      out += form.middle;
      frame.printing = 2;
      status = enter(frame.parts.second);
    } else {
      out += ')';
      if (cycle_context != nullptr) open.erase(frame.uid);
      stack.pop_back();
    }
  }
  if (!status) {
    Report report = std::move(status.error());
    for (auto frame = stack.rbegin(); frame != stack.rend(); ++frame) {
      report.attach(frame->printing == 1 ? form.first_line : form.second_line);
    }
    return fail(std::move(report));
  }
  return out;
}

}  // namespace

Result<std::string> Graph::type_to_string(const Uid& uid) const {
  const auto visit = [&](const Uid& key, std::string& out) -> Result<std::optional<Parts>> {
    std::optional<Parts> parts;
    const bool found = type_index.find_with(key, [&](const TypeRep& rep) {
      if (auto* arrow = rep.as_arrow()) {
        parts = Parts{arrow->domain, arrow->codomain};
      } else {
        out += rep.name();
      }
    });
    if (!found) return fail(kind::TypeNotFound{key, "type to string"});
    return parts;
  };
  // A stored arrow names its parts by their digests, so it cannot contain itself.
  return print_tree(uid, kTypeForm, visit, nullptr);
}

Result<std::string> Graph::term_to_string(const Uid& uid) const {
  const auto visit = [&](const Uid& key, std::string& out) -> Result<std::optional<Parts>> {
    std::optional<Parts> parts;
    const bool found = term_index.find_with(key, [&](const TermRep& rep) {
      if (auto* application = rep.as_application()) {
        parts = Parts{application->function, application->argument};
      } else {
        out += rep.name();
      }
    });
    if (!found) return fail(kind::TermNotFound{key, "term to string"});
    return parts;
  };
  return print_tree(uid, kTermForm, visit, "term to string");
}

// The node's entry stays read-locked while its text is made, so the node cannot
// be removed meanwhile; its type's term may be replaced, and then either shows.
Result<std::string> Graph::node_to_string(const Uid& uid) const {
  std::optional<Result<std::string>> text;
  node_index.find_with(uid, [&](const NodeProperties& stored) {
    const PropertyMap& properties = stored.map;
    text = [&]() -> Result<std::string> {
      std::string type =
          KORVALE_TRY(type_to_string(uid), "graph - node to string [src/graph/base:699]");
      Result<std::string> term = term_to_string(uid);
      std::string props = KORVALE_PASS(properties.to_string());
      return "Node(" + type + ":" + (term ? *term : std::string()) + " " + props + ")";
    }();
  });
  if (!text) return fail(kind::NodeNotFound{uid, "node to string"});
  return std::move(*text);
}

Result<std::string> Graph::edge_to_string(const EdgeUid& edge) const {
  std::optional<Result<std::string>> text;
  edge_index.find_with(edge, [&](const PropertyMap& properties) {
    text = [&]() -> Result<std::string> {
      std::optional<Uid> type_uid = edge_to_type_index.get(edge);
      if (!type_uid) {
        return fail(kind::IndexCorruption{
            "missing entry of edge that appears in the EdgeIndex but not in the EdgeToTypeIndex",
            "edge to string"});
      }
      std::string type =
          KORVALE_TRY(type_to_string(*type_uid), "graph - edge to string [src/graph/base:724]");
      std::string term =
          KORVALE_TRY(term_to_string(*type_uid), "graph - edge to string [src/graph/base:726]");
      std::string props = KORVALE_PASS(properties.to_string());
      return "Edge(" + type + ":" + term + " " + props + ")";
    }();
  });
  if (!text) return fail(kind::EdgeNotFound{edge, "edge to string"});
  return std::move(*text);
}

}  // namespace korvale
