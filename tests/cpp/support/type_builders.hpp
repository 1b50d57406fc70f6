// Building types and terms in tests from names that are known to be valid.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "typing/term.hpp"

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

}  // namespace korvale::testing
