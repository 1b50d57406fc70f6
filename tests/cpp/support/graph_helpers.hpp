// For the store tests: the type and term builders, and a chain of nested
// applications as deep as derivation along a long path makes them.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph/graph.hpp"
#include "support/type_builders.hpp"

namespace korvale::testing {

// Stores a term the store accepts; a refusal shows as a failure.
inline Uid store(Graph& graph, const Term& term) {
  Result<Uid> uid = graph.insert_term(term);
  if (!uid) {
    ADD_FAILURE() << format_report(uid.error());
    return term.type()->uid();
  }
  return *uid;
}

// Stores `function` (of a type A -> A) and then writes, past the store's
// refusal, the entry that storing its application to a term of A would leave:
// under A, an application naming A itself as its argument. Only a damaged
// table holds one; the rebuilding and printing guards are tested with it.
// Returns A's Uid.
inline Uid write_self_naming_entry(Graph& graph, const TermPtr& function) {
  const Uid function_type = store(graph, *function);
  const Uid a = graph.insert_type(*function->type()->as_arrow()->domain);
  graph.term_index.insert(a, TermRep{TermRep::Application{function_type, a}});
  return a;
}

// The depth derivation along a long chain reaches. Under ThreadSanitizer,
// which runs some twenty times slower, the deep tests check orderings only,
// at a tenth of it; the plain build proves the depth.
#if defined(__SANITIZE_THREAD__)
inline constexpr std::size_t kDeepChain = 10'000;
#else
inline constexpr std::size_t kDeepChain = 100'000;
#endif

// A term `depth` applications deep, with a distinct type at every level.
//  Function side: f : A1 -> (A2 -> ... (An -> B)), the term (((f a1) a2) ... an).
//  Argument side: gk : Ak -> A(k-1), the term (gn (... (g2 (g1 x))...)) of type An,
//  x : A0.
enum class Side { Function, Argument };

struct Chain {
  TermPtr term;
  std::vector<TypePtr> levels;  // Function: the types of f, (f a1), ...; Argument: A0 .. An
};

inline Chain function_chain(std::size_t depth) {
  Chain chain;
  std::vector<TypePtr> arguments;
  TypePtr type = var("B");
  for (std::size_t k = depth; k >= 1; --k) {
    arguments.push_back(var("A" + std::to_string(k)));
    type = arrow(arguments.back(), type);
  }
  TermPtr term = basic("f", type);
  chain.levels.push_back(type);
  for (std::size_t k = 1; k <= depth; ++k) {
    term = app(term, basic("a" + std::to_string(k), arguments[depth - k]));
    chain.levels.push_back(term->type());
  }
  chain.term = std::move(term);
  return chain;
}

inline Chain argument_chain(std::size_t depth) {
  Chain chain;
  chain.levels.push_back(var("A0"));
  TermPtr term = basic("x", chain.levels.back());
  for (std::size_t k = 1; k <= depth; ++k) {
    TypePtr next = var("A" + std::to_string(k));
    term = app(basic("g" + std::to_string(k), arrow(chain.levels.back(), next)), term);
    chain.levels.push_back(std::move(next));
  }
  chain.term = std::move(term);
  return chain;
}

inline Chain chain(Side side, std::size_t depth) {
  return side == Side::Function ? function_chain(depth) : argument_chain(depth);
}

// The text of a chain's term, built without the store.
inline std::string chain_text(Side side, std::size_t depth) {
  std::string out;
  if (side == Side::Function) {
    out.append(depth, '(');
    out += "f";
    for (std::size_t k = 1; k <= depth; ++k) out += " a" + std::to_string(k) + ")";
  } else {
    for (std::size_t k = depth; k >= 1; --k) out += "(g" + std::to_string(k) + " ";
    out += "x";
    out.append(depth, ')');
  }
  return out;
}

}  // namespace korvale::testing
