#include "errors/kinds.hpp"

#include <type_traits>

namespace korvale {
namespace {

// " (context)" when present, nothing when absent.
std::string suffix(const OptText& context) {
  return context ? " (" + *context + ")" : std::string();
}

std::string quoted(const std::string& text) {
  return "'" + text + "'";
}

std::string message_of(const kind::TypeMismatch& e) {
  return "Type Mismatch: expected " + e.expected + ", got " + e.got + suffix(e.context);
}
std::string message_of(const kind::InvalidPattern& e) {
  return "Invalid Pattern; " + quoted(e.pattern) + ": " + e.reason;
}
std::string message_of(const kind::SchemaValidation& e) {
  return "Schema Validation Failed for " + quoted(e.schema) + ": " + e.reason;
}
std::string message_of(const kind::InvalidIdentifier& e) {
  return "Invalid Identifier " + quoted(e.name) + ": " + e.reason;
}
std::string message_of(const kind::PythonError& e) {
  return "Python Error: " + quoted(e.message) + suffix(e.context);
}
std::string message_of(const kind::InvalidType& e) {
  return "Invalid Type: " + quoted(e.reason);
}
std::string message_of(const kind::InvalidTerm& e) {
  return "Invalid Term: " + quoted(e.reason);
}
std::string message_of(const kind::LockError& e) {
  return "Failed to acquire " + e.rw + " lock: " + quoted(e.message) + suffix(e.context);
}
std::string message_of(const kind::RuntimeError& e) {
  return "Something went wrong: " + quoted(e.message) + suffix(e.context);
}
std::string message_of(const kind::TypeNotFound& e) {
  return "Type with Uid: " + quoted(uid_to_hex(e.uid)) + " not found" + suffix(e.context);
}
std::string message_of(const kind::TermNotFound& e) {
  return "Term with Uid: " + quoted(uid_to_hex(e.uid)) + " not found" + suffix(e.context);
}
std::string message_of(const kind::NodeNotFound& e) {
  return "Node with Uid: " + quoted(uid_to_hex(e.uid)) + " not found" + suffix(e.context);
}
std::string message_of(const kind::EdgeNotFound& e) {
  return "Edge with Uid: '(" + uid_to_hex(e.uid.start) + ", " + uid_to_hex(e.uid.end) +
         ")' not found" + suffix(e.context);
}
std::string message_of(const kind::VariableNotFound& e) {
  return "Variable not found: " + quoted(e.name) + suffix(e.context);
}
std::string message_of(const kind::VariableAlreadyExists& e) {
  return "Variable already exists: " + quoted(e.name) + suffix(e.context);
}
std::string message_of(const kind::NodeAlreadyExists& e) {
  return "Node Already Exists: " + quoted(uid_to_hex(e.uid)) + suffix(e.context);
}
std::string message_of(const kind::ContextConflict& e) {
  return "Context Conflict: tried to assign variable " + quoted(e.name) + " currently holding a " +
         quoted(e.original) + " to a " + quoted(e.new_) + suffix(e.context);
}
std::string message_of(const kind::IndexCorruption& e) {
  return "Index Corruption: " + quoted(e.message) + suffix(e.context);
}
std::string message_of(const kind::IndexOutOfRange& e) {
  return "Index Out of Range: tried to access index " + std::to_string(e.index) +
         " from an iterable of length " + std::to_string(e.max_len) + suffix(e.context);
}
std::string message_of(const kind::Infallible&) {
  return "FATAL: An infallible error was returned, please contact the developers of the Korvale "
         "Library as this should not occur.";
}
std::string message_of(const kind::InvalidQuery& e) {
  // The only kind whose context goes on a line of its own.
  return "Invalid Query:\n" + e.query + "\n\nReason: " + e.reason +
         (e.context ? "\n(" + *e.context + ")" : std::string());
}
std::string message_of(const kind::InvalidNumberOfArguments& e) {
  return "Invalid Number of Arguments: expected " + std::to_string(e.expected) + ", got " +
         std::to_string(e.got) + suffix(e.context);
}
std::string message_of(const kind::ConstantNotFound& e) {
  return "Constant Not Found: " + quoted(e.name) + suffix(e.context);
}
std::string message_of(const kind::HexConversionError& e) {
  return "Hex Conversion Error: " + quoted(e.reason) + suffix(e.context);
}
std::string message_of(const kind::StackExhausted& e) {
  return e.what + " nested too deeply for the thread's stack";
}

}  // namespace

std::string error_message(const KorvaleError& error) {
  return std::visit([](const auto& e) { return message_of(e); }, error);
}

ExceptionClass exception_class(const KorvaleError& error) {
  return std::visit(
      [](const auto& e) {
        using K = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<K, kind::TypeMismatch> ||
                      std::is_same_v<K, kind::InvalidType>) {
          return ExceptionClass::TypeError;
        } else if constexpr (std::is_same_v<K, kind::PythonError> ||
                             std::is_same_v<K, kind::LockError> ||
                             std::is_same_v<K, kind::RuntimeError>) {
          return ExceptionClass::RuntimeError;
        } else if constexpr (std::is_same_v<K, kind::TypeNotFound> ||
                             std::is_same_v<K, kind::TermNotFound> ||
                             std::is_same_v<K, kind::NodeNotFound> ||
                             std::is_same_v<K, kind::EdgeNotFound> ||
                             std::is_same_v<K, kind::VariableNotFound> ||
                             std::is_same_v<K, kind::VariableAlreadyExists> ||
                             std::is_same_v<K, kind::NodeAlreadyExists> ||
                             std::is_same_v<K, kind::IndexOutOfRange> ||
                             std::is_same_v<K, kind::ConstantNotFound>) {
          return ExceptionClass::KeyError;
        } else if constexpr (std::is_same_v<K, kind::IndexCorruption>) {
          return ExceptionClass::IndexError;
        } else if constexpr (std::is_same_v<K, kind::Infallible>) {
          return ExceptionClass::SystemError;
        } else if constexpr (std::is_same_v<K, kind::StackExhausted>) {
          return ExceptionClass::RecursionError;
        } else {
          return ExceptionClass::ValueError;
        }
      },
      error);
}

}  // namespace korvale
