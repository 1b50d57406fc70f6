// The error kinds of the system: each kind has its own fields, a message
// template and the Python exception class that raises it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <variant>

#include "base/uid.hpp"

namespace korvale {

using OptText = std::optional<std::string>;

namespace kind {

struct TypeMismatch {
  std::string expected;
  std::string got;
  OptText context;
};
struct InvalidPattern {
  std::string pattern;
  std::string reason;
};
struct SchemaValidation {
  std::string schema;
  std::string reason;
};
struct InvalidIdentifier {
  std::string name;
  std::string reason;
};
struct PythonError {
  std::string message;
  OptText context;
};
struct InvalidType {
  std::string reason;
};
struct InvalidTerm {
  std::string reason;
};
struct LockError {
  std::string rw;
  std::string message;
  OptText context;
};
struct RuntimeError {
  std::string message;
  OptText context;
};
struct TypeNotFound {
  Uid uid;
  OptText context;
};
struct TermNotFound {
  Uid uid;
  OptText context;
};
struct NodeNotFound {
  Uid uid;
  OptText context;
};
struct EdgeNotFound {
  EdgeUid uid;
  OptText context;
};
struct VariableNotFound {
  std::string name;
  OptText context;
};
struct VariableAlreadyExists {
  std::string name;
  OptText context;
};
struct NodeAlreadyExists {
  Uid uid;
  OptText context;
};
struct ContextConflict {
  std::string name;
  std::string original;
  std::string new_;
  OptText context;
};
struct IndexCorruption {
  std::string message;
  OptText context;
};
struct IndexOutOfRange {
  std::size_t index;
  std::size_t max_len;
  OptText context;
};
struct Infallible {};
struct InvalidQuery {
  std::string query;
  std::string reason;
  OptText context;
};
struct InvalidNumberOfArguments {
  std::size_t expected;
  std::size_t got;
  OptText context;
};
struct ConstantNotFound {
  std::string name;
  OptText context;
};
struct HexConversionError {
  std::string reason;
  OptText context;
};
// A recursive walk found too little of the thread's stack left for another
// level; `what` names the nested thing ("Type schema", "Property value").
struct StackExhausted {
  std::string what;
};

}  // namespace kind

// The 25 kinds, in declaration order.
using KorvaleError =
    std::variant<kind::TypeMismatch, kind::InvalidPattern, kind::SchemaValidation,
                 kind::InvalidIdentifier, kind::PythonError, kind::InvalidType, kind::InvalidTerm,
                 kind::LockError, kind::RuntimeError, kind::TypeNotFound, kind::TermNotFound,
                 kind::NodeNotFound, kind::EdgeNotFound, kind::VariableNotFound,
                 kind::VariableAlreadyExists, kind::NodeAlreadyExists, kind::ContextConflict,
                 kind::IndexCorruption, kind::IndexOutOfRange, kind::Infallible, kind::InvalidQuery,
                 kind::InvalidNumberOfArguments, kind::ConstantNotFound, kind::HexConversionError,
                 kind::StackExhausted>;

// The built-in Python exception class a kind is raised as.
enum class ExceptionClass {
  TypeError,
  ValueError,
  RuntimeError,
  KeyError,
  IndexError,
  SystemError,
  RecursionError,
};

// The kind's message template filled with its fields. Cannot fail.
std::string error_message(const KorvaleError& error);

ExceptionClass exception_class(const KorvaleError& error);

}  // namespace korvale
