// Building types and terms for the store tests, and a chain of nested
// applications as deep as derivation along a long path makes them.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph/graph.hpp"

namespace korvale::testing {

// Test names are valid; a slip shows as a failure, not as a crash.
inline TypePtr var(const std::string& name) {
  auto variable = Variable::new_(name);
  if (!variable) {
    ADD_FAILURE() << format_report(variable.error());
    variable = Variable::new_("Invalid");
  }
  return Type::variable(std::move(*variable));
}
inline TypePtr arrow(TypePtr domain, TypePtr codomain) {
  return Type::arrow(std::move(domain), std::move(codomain));
}
inline TermPtr basic(const std::string& name, TypePtr type) {
  auto term = BasicTerm::new_(name, type);
  if (!term) {
    ADD_FAILURE() << format_report(term.error());
    term = BasicTerm::new_("invalid", type);
  }
  return Term::basic(std::move(*term));
}
inline TermPtr app(const TermPtr& function, const TermPtr& argument) {
  auto term = Term::apply(function, argument);
  if (!term) {
    ADD_FAILURE() << format_report(term.error());
    return function;
  }
  return *term;
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
