#include <optional>
#include <string>
#include <utility>

#include <absl/container/flat_hash_set.h>

#include "base/tree_walks.hpp"
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

// Prints the tree under `root`, parts in text order, without recursion.
// `visit(uid, out)` appends a leaf's text to `out` and returns nullopt, or
// returns the parts of an inner level, or fails. A failure gets, innermost
// first, one line from every enclosing level, naming the part it was in.
// With `cycle_context`, meeting a level again inside itself fails with
// IndexCorruption instead of printing forever.
template <class Visit>
Result<std::string> print_tree(const Uid& root, const TreeForm& form, Visit&& visit,
                               const char* cycle_context) {
  struct Level {
    Uid uid;
    Parenthesised<Uid> parts;
  };
  std::string out;
  absl::flat_hash_set<Uid> open;  // the levels being printed, when guarding cycles
  KORVALE_PASS_STATUS(in_order<Level>(
      root,
      [&](const Uid& uid) -> Result<std::optional<Level>> {
        if (cycle_context != nullptr && open.contains(uid)) {
          return fail(kind::IndexCorruption{
              "term repr refers to itself through the term of type " + uid_to_hex(uid),
              cycle_context});
        }
        std::optional<Parts> parts = KORVALE_PASS(visit(uid, out));
        if (!parts) return std::nullopt;
        if (cycle_context != nullptr) open.insert(uid);
        return Level{uid, {parts->first, parts->second}};
      },
      [&](Level& level) {
        std::optional<Uid> part = level.parts.next(out, form.middle);
        if (!part && cycle_context != nullptr) open.erase(level.uid);
        return part;
      },
      [&](const Level& level, Report& failure) {
        failure.attach(level.parts.in_first() ? form.first_line : form.second_line);
      }));
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
