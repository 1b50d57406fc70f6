// Types of the simply typed terms: a named type variable, or an arrow from a
// domain type to a codomain type. Types are immutable and shared through
// TypePtr; any thread may read, compare, copy and release them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "base/uid.hpp"
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

  // The type's identifier (variable_uid / arrow_uid below). Computed the first
  // time it is asked for and kept in the object, as are the identifiers of
  // the parts met on the way; any number of threads may ask at once. Does not
  // recurse.
  Uid uid() const;

 private:
  // The identifier cache. The thread that moves the state from empty to
  // filling writes uid_ and publishes it by storing ready (release); a reader
  // that sees ready (acquire) may read uid_. A thread that finds another one
  // filling uses the digest it computed itself, so nobody ever waits.
  enum UidState : std::uint8_t { kUidEmpty, kUidFilling, kUidReady };
  bool cached_uid(Uid& out) const;
  void publish_uid(const Uid& uid) const;

  Value value_;
  mutable std::atomic<std::uint8_t> uid_state_{kUidEmpty};
  mutable Uid uid_{};
};

// The identifier rule: the SHA-256 digest of "var:" followed by the name's
// UTF-8 bytes, or of "arr:", the domain's 32 bytes, ":" and the codomain's 32
// bytes (69 bytes in all).
Uid variable_uid(std::string_view name);
Uid arrow_uid(const Uid& domain, const Uid& codomain);

// Structural equality: variables by name (byte for byte), arrows by domain and
// codomain. Two handles to the same object are equal without looking inside.
// Does not recurse.
bool operator==(const Type& a, const Type& b);

}  // namespace korvale
