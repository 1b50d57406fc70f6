// The debug form of an error kind: the variant's name and each field by name
// ("VariableNotFound { name: \"x\", context: None }"), for test failures.
// No message of the system uses it.
#pragma once

#include <cstddef>
#include <string>
#include <variant>

#include "errors/kinds.hpp"

namespace korvale::testing {

namespace error_debug_detail {

inline std::string field(const char* name, const std::string& v) {
  return std::string(name) + ": \"" + v + "\"";
}
inline std::string field(const char* name, const OptText& v) {
  return std::string(name) + ": " + (v ? "Some(\"" + *v + "\")" : std::string("None"));
}
inline std::string field(const char* name, const Uid& v) {
  return std::string(name) + ": " + uid_to_hex(v);
}
inline std::string field(const char* name, const EdgeUid& v) {
  return std::string(name) + ": (" + uid_to_hex(v.start) + ", " + uid_to_hex(v.end) + ")";
}
inline std::string field(const char* name, std::size_t v) {
  return std::string(name) + ": " + std::to_string(v);
}

template <class... F>
std::string fields(const char* variant, const F&... parts) {
  std::string out = variant;
  out += " {";
  bool first = true;
  ((out += (first ? " " : ", ") + parts, first = false), ...);
  out += " }";
  return out;
}

inline std::string debug_of(const kind::TypeMismatch& e) {
  return fields("TypeMismatch", field("expected", e.expected), field("got", e.got),
                field("context", e.context));
}
inline std::string debug_of(const kind::InvalidPattern& e) {
  return fields("InvalidPattern", field("pattern", e.pattern), field("reason", e.reason));
}
inline std::string debug_of(const kind::SchemaValidation& e) {
  return fields("SchemaValidation", field("schema", e.schema), field("reason", e.reason));
}
inline std::string debug_of(const kind::InvalidIdentifier& e) {
  return fields("InvalidIdentifier", field("name", e.name), field("reason", e.reason));
}
inline std::string debug_of(const kind::PythonError& e) {
  return fields("PythonError", field("message", e.message), field("context", e.context));
}
inline std::string debug_of(const kind::InvalidType& e) {
  return fields("InvalidType", field("reason", e.reason));
}
inline std::string debug_of(const kind::InvalidTerm& e) {
  return fields("InvalidTerm", field("reason", e.reason));
}
inline std::string debug_of(const kind::LockError& e) {
  return fields("LockError", field("rw", e.rw), field("message", e.message),
                field("context", e.context));
}
inline std::string debug_of(const kind::RuntimeError& e) {
  return fields("RuntimeError", field("message", e.message), field("context", e.context));
}
inline std::string debug_of(const kind::TypeNotFound& e) {
  return fields("TypeNotFound", field("uid", e.uid), field("context", e.context));
}
inline std::string debug_of(const kind::TermNotFound& e) {
  return fields("TermNotFound", field("uid", e.uid), field("context", e.context));
}
inline std::string debug_of(const kind::NodeNotFound& e) {
  return fields("NodeNotFound", field("uid", e.uid), field("context", e.context));
}
inline std::string debug_of(const kind::EdgeNotFound& e) {
  return fields("EdgeNotFound", field("uid", e.uid), field("context", e.context));
}
inline std::string debug_of(const kind::VariableNotFound& e) {
  return fields("VariableNotFound", field("name", e.name), field("context", e.context));
}
inline std::string debug_of(const kind::VariableAlreadyExists& e) {
  return fields("VariableAlreadyExists", field("name", e.name), field("context", e.context));
}
inline std::string debug_of(const kind::NodeAlreadyExists& e) {
  return fields("NodeAlreadyExists", field("uid", e.uid), field("context", e.context));
}
inline std::string debug_of(const kind::ContextConflict& e) {
  return fields("ContextConflict", field("name", e.name), field("original", e.original),
                field("new", e.new_), field("context", e.context));
}
inline std::string debug_of(const kind::IndexCorruption& e) {
  return fields("IndexCorruption", field("message", e.message), field("context", e.context));
}
inline std::string debug_of(const kind::IndexOutOfRange& e) {
  return fields("IndexOutOfRange", field("index", e.index), field("max_len", e.max_len),
                field("context", e.context));
}
inline std::string debug_of(const kind::Infallible&) {
  return "Infallible";
}
inline std::string debug_of(const kind::InvalidQuery& e) {
  return fields("InvalidQuery", field("query", e.query), field("reason", e.reason),
                field("context", e.context));
}
inline std::string debug_of(const kind::InvalidNumberOfArguments& e) {
  return fields("InvalidNumberOfArguments", field("expected", e.expected), field("got", e.got),
                field("context", e.context));
}
inline std::string debug_of(const kind::ConstantNotFound& e) {
  return fields("ConstantNotFound", field("name", e.name), field("context", e.context));
}
inline std::string debug_of(const kind::HexConversionError& e) {
  return fields("HexConversionError", field("reason", e.reason), field("context", e.context));
}
inline std::string debug_of(const kind::StackExhausted& e) {
  return fields("StackExhausted", field("what", e.what));
}

}  // namespace error_debug_detail

inline std::string error_debug(const KorvaleError& error) {
  return std::visit([](const auto& e) { return error_debug_detail::debug_of(e); }, error);
}

}  // namespace korvale::testing
