// Simply typed terms: a named term of a given type, or the application of a
// function term to an argument term. Every term carries its type. Terms are
// immutable and shared through TermPtr; any thread may read, compare, copy and
// release them.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <variant>

#include "errors/report.hpp"
#include "typing/type.hpp"

namespace korvale {

class Term;
using TermPtr = std::shared_ptr<const Term>;

// A named term. The name passed validate_variable_name when it was made.
class BasicTerm {
 public:
  // Takes over the name and the (non-null) type handle. Fails with the name
  // rule's InvalidIdentifier report, with
  // "basic term - new [src/typing/term:64]" attached.
  static Result<BasicTerm> new_(std::string name, TypePtr type);
  // Takes the name over untested: the term a schema makes from a declared
  // constant ("@Name(...)") carries the constant's name exactly as declared.
  static BasicTerm unchecked(std::string name, TypePtr type) {
    return BasicTerm(std::move(name), std::move(type));
  }

  const std::string& name() const { return name_; }
  const TypePtr& type() const { return type_; }

 private:
  BasicTerm(std::string name, TypePtr type) : name_(std::move(name)), type_(std::move(type)) {}
  std::string name_;
  TypePtr type_;
};

// A function term applied to an argument term. Invariant: the function's type
// is an arrow whose domain equals the argument's type, and `type` is that
// arrow's codomain handle itself.
class Application {
 public:
  // Takes over the two (non-null) handles. Fails with TypeMismatch (context
  // "application creation", no context line) when the function's type is not
  // an arrow, or its domain differs from the argument's type.
  static Result<Application> new_(TermPtr function, TermPtr argument);

  const TermPtr& function() const { return function_; }
  const TermPtr& argument() const { return argument_; }
  const TypePtr& type() const { return type_; }

 private:
  friend class Term;  // takes the parts apart when the term is destroyed
  Application(TermPtr function, TermPtr argument, TypePtr type)
      : function_(std::move(function)), argument_(std::move(argument)), type_(std::move(type)) {}
  TermPtr function_;
  TermPtr argument_;
  TypePtr type_;
};

// A term. It lives only behind a TermPtr: copying a term means sharing the
// handle. Destruction does not recurse per level, so chains of applications of
// any length may be released on any thread, pool threads included.
class Term {
 public:
  using Value = std::variant<BasicTerm, Application>;

  static TermPtr basic(BasicTerm term);
  static TermPtr application(Application term);

  // The application of `function` to `argument`; both handles are shared, the
  // callers keep theirs. Fails with Application::new_'s report, with
  // "term - apply [src/typing/term:42]" attached.
  static Result<TermPtr> apply(const TermPtr& function, const TermPtr& argument);

  explicit Term(Value value) : value_(std::move(value)) {}
  ~Term();
  Term(const Term&) = delete;
  Term& operator=(const Term&) = delete;

  const Value& value() const { return value_; }
  const BasicTerm* as_basic() const { return std::get_if<BasicTerm>(&value_); }
  const Application* as_application() const { return std::get_if<Application>(&value_); }
  const TypePtr& type() const;
  // The text form the store prints for a term: a name, or "(function
  // argument)". Iterative.
  std::string to_string() const;

 private:
  Value value_;
};

// Basic terms are equal when their names (byte for byte) and types are equal;
// applications when their functions and arguments are equal (their types
// follow from the function). Two handles to the same object are equal without
// looking inside. Does not recurse.
bool operator==(const Term& a, const Term& b);

}  // namespace korvale
