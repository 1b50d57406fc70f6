// Types of the simply typed terms: a named type variable, or an arrow from a
// domain type to a codomain type. Types are immutable and shared through
// TypePtr; any thread may read, compare, copy and release them.
#pragma once

#include <memory>
#include <string>
#include <variant>

#include "errors/report.hpp"

namespace korvale {

class Type;
using TypePtr = std::shared_ptr<const Type>;

// A named type. The name passed validate_variable_name when it was made.
class Variable {
 public:
  // Fails with the name rule's InvalidIdentifier report, with
  // "variable - new [src/typing/types:48]" attached.
  static Result<Variable> new_(std::string name);

  const std::string& name() const { return name_; }

 private:
  explicit Variable(std::string name) : name_(std::move(name)) {}
  std::string name_;
};

// An arrow type; made directly from its two handles, which must not be null.
struct Arrow {
  TypePtr domain;
  TypePtr codomain;
};

// A type. It lives only behind a TypePtr: copying a type means sharing the
// handle, never its parts. Destruction does not recurse per level, so types
// nested arbitrarily deep may be released on any thread, pool threads included.
class Type {
 public:
  using Value = std::variant<Variable, Arrow>;

  static TypePtr variable(Variable variable);
  static TypePtr arrow(TypePtr domain, TypePtr codomain);

  explicit Type(Value value) : value_(std::move(value)) {}
  ~Type();
  Type(const Type&) = delete;
  Type& operator=(const Type&) = delete;

  const Value& value() const { return value_; }
  const Variable* as_variable() const { return std::get_if<Variable>(&value_); }
  const Arrow* as_arrow() const { return std::get_if<Arrow>(&value_); }

  // The text form: a variable's name; an arrow as "(domain -> codomain)", every
  // arrow parenthesised, the outermost one included.
  std::string to_string() const;

 private:
  Value value_;
  // The type's identifier will be computed once and cached here, beside the
  // immutable value, the first time it is asked for.
};

// Structural equality: variables by name (byte for byte), arrows by domain and
// codomain. Two handles to the same object are equal without looking inside.
// Does not recurse.
bool operator==(const Type& a, const Type& b);

}  // namespace korvale
