#include "graph/stored_forms.hpp"

#include "typing/type.hpp"

namespace korvale {

// The same rule as Type::uid, so a type and its stored form always agree.
Uid TypeRep::uid() const {
  if (const Arrow* arrow = as_arrow()) return arrow_uid(arrow->domain, arrow->codomain);
  return variable_uid(name());
}

}  // namespace korvale
