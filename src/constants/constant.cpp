#include "constants/constant.hpp"

#include <utility>

namespace korvale {

Result<Constant> Constant::new_(std::string name, std::string type_schema) {
  TypeSchema schema = KORVALE_PASS(TypeSchema::new_(std::move(type_schema)));
  std::vector<std::string> free_variables =
      TypeSchema::get_pattern_free_variables_recursive(*schema.compiled);
  return Constant{std::move(name), std::move(schema), std::move(free_variables)};
}

}  // namespace korvale
