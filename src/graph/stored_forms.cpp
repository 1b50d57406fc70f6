#include "graph/stored_forms.hpp"

#include "typing/type.hpp"

namespace korvale {

// The same rule as Type::uid, so a type and its stored form always agree.
Uid TypeRep::uid() const {
  if (const Variable* variable = std::get_if<Variable>(&value)) return variable_uid(variable->name);
  const Arrow& arrow = std::get<Arrow>(value);
  return arrow_uid(arrow.domain, arrow.codomain);
}

}  // namespace korvale
