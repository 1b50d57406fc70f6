// Declared constants: a name for a family of terms whose types a type schema
// gives. The names the schema captures (its free variables) receive, in order,
// the type arguments of a constant term written "@Name(T1, ...)".
#pragma once

#include <string>
#include <vector>

#include "errors/report.hpp"
#include "patterns/type_schema.hpp"

namespace korvale {

// Immutable once made; copies are independent values (the compiled tree is
// shared, and never changes).
struct Constant {
  std::string name;  // as given, not validated: terms made from it check it
  TypeSchema type_schema;
  std::vector<std::string> free_variables;  // inner captures first, duplicates kept

  // Compiles the schema text (kept as given) and collects its free variables.
  // Any name is accepted. Fails with TypeSchema::new_'s report, unchanged.
  static Result<Constant> new_(std::string name, std::string type_schema);
};

}  // namespace korvale
