#include "patterns/node.hpp"

#include <utility>

#include "text/validation.hpp"

namespace korvale {

Result<NodePattern> NodePattern::new_(std::optional<std::string> variable,
                                      std::optional<TypeSchema> type_schema,
                                      std::optional<TermSchema> term_schema,
                                      std::optional<PropertyMap> properties) {
  if (variable) {
    KORVALE_CHECK(validate_variable_name(*variable), "node pattern - new [src/patterns/node:59]");
  }
  return NodePattern{std::move(variable), std::move(type_schema), std::move(term_schema),
                     std::move(properties)};
}

}  // namespace korvale
