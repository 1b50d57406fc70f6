// A node pattern: the parsed form of a node text "(var:TypeSchema:TermSchema {...})".
#pragma once

#include <optional>
#include <string>

#include "errors/report.hpp"
#include "patterns/term_schema.hpp"
#include "patterns/type_schema.hpp"
#include "properties/property_map.hpp"

namespace korvale {

// A plain value, built by new_ and not changed afterwards. Every part is
// optional. A copy copies the variable and both schemas (their compiled trees
// are shared and immutable) and shares the property map.
struct NodePattern {
  std::optional<std::string> variable;
  std::optional<TypeSchema> type_schema;
  std::optional<TermSchema> term_schema;
  std::optional<PropertyMap> properties;

  // Checks a present variable with validate_variable_name (its report gets
  // "node pattern - new [src/patterns/node:59]"), then holds the four parts.
  static Result<NodePattern> new_(std::optional<std::string> variable,
                                  std::optional<TypeSchema> type_schema,
                                  std::optional<TermSchema> term_schema,
                                  std::optional<PropertyMap> properties);
};

}  // namespace korvale
