#include "python/reference_objects.hpp"

#include <type_traits>

#include "python/value_instances.hpp"
#include "query/reference.hpp"

namespace korvale::python {

namespace py = pybind11;

ReferenceMaker::ReferenceMaker()
    : edge_(record_of<EdgeRef>()),
      node_(record_of<NodeRef>()),
      term_(record_of<TermRef>()),
      type_(record_of<TypeRef>()) {}

py::object ReferenceMaker::operator()(const GraphPtr& graph, const MatchElement& element) const {
  return std::visit(
      [&](const auto& bound) -> py::object {
        using Bound = std::decay_t<decltype(bound)>;
        if constexpr (std::is_same_v<Bound, MatchElement::Edge>) {
          return new_instance(edge_, EdgeRef{graph, bound.uid});
        } else if constexpr (std::is_same_v<Bound, MatchElement::Node>) {
          return new_instance(node_, NodeRef{graph, bound.uid});
        } else if constexpr (std::is_same_v<Bound, MatchElement::Term>) {
          return new_instance(term_, TermRef{graph, bound.uid});
        } else {
          return new_instance(type_, TypeRef{graph, bound.uid});
        }
      },
      element.value());
}

}  // namespace korvale::python
