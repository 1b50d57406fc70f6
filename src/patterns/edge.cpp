#include "patterns/edge.hpp"

#include <utility>

#include "text/validation.hpp"

namespace korvale {

Result<EdgePattern> EdgePattern::new_(std::optional<std::string> variable,
                                      std::optional<TypeSchema> type_schema,
                                      std::optional<TermSchema> term_schema,
                                      std::string_view direction,
                                      std::optional<PropertyMap> properties) {
  if (variable) {
    KORVALE_CHECK(validate_variable_name(*variable), "edge pattern - new [src/patterns/edge:96]");
  }
  CompiledDirection compiled;
  if (direction == "forward") {
    compiled = CompiledDirection::Forward;
  } else if (direction == "backward") {
    compiled = CompiledDirection::Backward;
  } else if (direction == "any") {
    compiled = CompiledDirection::Any;
  } else {
    return fail(Report(kind::SchemaValidation{std::string(direction),
                                              "Direction must be 'forward', 'backward', or 'any'"})
                    .attach("edge pattern - new [src/patterns/edge:100]"));
  }
  return EdgePattern{std::move(variable), std::move(type_schema), std::move(term_schema),
                     std::move(properties), compiled};
}

}  // namespace korvale
