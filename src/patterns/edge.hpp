// An edge pattern: the parsed form of an edge text "-[var:TypeSchema:TermSchema {...}]->".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "errors/report.hpp"
#include "patterns/term_schema.hpp"
#include "patterns/type_schema.hpp"
#include "properties/property_map.hpp"

namespace korvale {

// Which way an edge pattern runs between the node before it and the node after it.
enum class CompiledDirection : std::uint8_t {
  Forward = 0,   // from the node before to the node after
  Backward = 1,  // from the node after to the node before
  Any = 2,       // written without arrowhead
};

// A plain value, built by new_ and not changed afterwards; copies share the
// property map, as node patterns do.
struct EdgePattern {
  std::optional<std::string> variable;
  std::optional<TypeSchema> type_schema;
  std::optional<TermSchema> term_schema;
  std::optional<PropertyMap> properties;
  CompiledDirection direction = CompiledDirection::Any;

  // Checks a present variable (its report gets "edge pattern - new
  // [src/patterns/edge:96]"), then reads `direction`: exactly "forward",
  // "backward" or "any"; anything else fails with SchemaValidation and
  // "edge pattern - new [src/patterns/edge:100]".
  static Result<EdgePattern> new_(std::optional<std::string> variable,
                                  std::optional<TypeSchema> type_schema,
                                  std::optional<TermSchema> term_schema, std::string_view direction,
                                  std::optional<PropertyMap> properties);
};

}  // namespace korvale
