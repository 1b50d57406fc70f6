// Small builders shared by the path creation and inference tests: stores with
// declared constants, Uids computed without touching a store, patterns and
// the text of terms. Types and terms are built with graph_helpers.hpp.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "constants/constant.hpp"
#include "graph/graph.hpp"
#include "graph/stored_forms.hpp"
#include "patterns/path.hpp"
#include "support/graph_helpers.hpp"
#include "typing/term.hpp"
#include "typing/type.hpp"

namespace korvale::testing {

// A store whose constants are given as (name, type schema) pairs.
inline std::shared_ptr<Graph> store_with(
    const std::vector<std::pair<std::string, std::string>>& constants) {
  std::vector<Constant> declared;
  for (const auto& [name, schema] : constants) declared.push_back(*Constant::new_(name, schema));
  return std::make_shared<Graph>(std::move(declared));
}

// The constants of the worked examples: x0 of type A, f0 of type A -> B.
inline std::shared_ptr<Graph> store_with_x0_f0() {
  return store_with({{"x0", "A"}, {"f0", "A -> B"}});
}

// Uids by the identifier rule, without storing anything.
inline Uid var_uid(const std::string& name) {
  return TypeRep{TypeRep::Variable{name}}.uid();
}
inline Uid arrow_uid(const Uid& domain, const Uid& codomain) {
  return TypeRep{TypeRep::Arrow{domain, codomain}}.uid();
}

inline PathPattern path(std::string text) {
  Result<PathPattern> parsed = PathPattern::new_(std::move(text));
  EXPECT_TRUE(parsed.has_value()) << format_report(parsed.error());
  return std::move(*parsed);
}

// A term's text for assertions: a basic term's name, an application as
// "(function argument)". Test terms are a few levels deep.
inline std::string term_text(const TermPtr& term) {
  if (!term) return "-";
  if (const BasicTerm* named = term->as_basic()) return named->name();
  const Application& application = *term->as_application();
  return "(" + term_text(application.function()) + " " + term_text(application.argument()) + ")";
}

}  // namespace korvale::testing
