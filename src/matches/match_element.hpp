// What a variable of a row is bound to: a type, a term, a node or an edge of
// the store, each by identifier. A plain value, copied when handed on.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "base/uid.hpp"
#include "errors/report.hpp"

namespace korvale {

class MatchElement {
 public:
  // A type, by its Uid.
  struct Type {
    Uid uid{};
    friend bool operator==(const Type&, const Type&) = default;
  };
  // A term, by the Uid of its type: the key under which the store keeps it.
  struct Term {
    Uid uid{};
    friend bool operator==(const Term&, const Term&) = default;
  };
  // A node, by its Uid.
  struct Node {
    Uid uid{};
    friend bool operator==(const Node&, const Node&) = default;
  };
  // An edge, by its end nodes' Uids.
  struct Edge {
    EdgeUid uid{};
    friend bool operator==(const Edge&, const Edge&) = default;
  };
  // The alternatives in their fixed order.
  using Value = std::variant<Type, Term, Node, Edge>;

  MatchElement(Type type) : value_(type) {}
  MatchElement(Term term) : value_(term) {}
  MatchElement(Node node) : value_(node) {}
  MatchElement(Edge edge) : value_(edge) {}

  const Value& value() const { return value_; }

  // The identifier when the element is of the asked alternative. Otherwise
  // ContextConflict {name, this element's kind word, the asked kind word,
  // context}, the kind words being "type", "term", "node" and "edge" after the
  // alternatives. `name` is the variable holding the element and serves only the
  // error; `context` ends up in the error's own context field.
  Result<Uid> as_type(std::string_view name, OptText context = std::nullopt) const;
  Result<Uid> as_term(std::string_view name, OptText context = std::nullopt) const;
  Result<Uid> as_node(std::string_view name, OptText context = std::nullopt) const;
  Result<EdgeUid> as_edge(std::string_view name, OptText context = std::nullopt) const;

  friend bool operator==(const MatchElement&, const MatchElement&) = default;

 private:
  Value value_;
};

}  // namespace korvale
