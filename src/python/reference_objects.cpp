#include "python/reference_objects.hpp"

#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "query/reference.hpp"

namespace korvale::python {

namespace py = pybind11;

namespace {

template <class Ref>
const py::detail::type_info* info_of() {
  return py::detail::get_type_info(typeid(Ref), /*throw_if_missing=*/true);
}

// What pybind11 does when it takes ownership of a new value (make the
// instance, build its default holder), minus its per-call lookups of the
// class record. The classes are final, so the instance has the simple layout
// with one value and one holder.
//
// The instance is not entered in pybind11's registry of C++ pointers. The
// registry serves to find the Python object of a C++ object handed out
// again; a reference value is owned by its one Python object and never
// handed out on its own. An unregistered instance is released without a
// registry lookup, which halves the cost of making and dropping one.
template <class Ref>
py::object new_instance(const py::detail::type_info* info, Ref value) {
  auto object = py::reinterpret_steal<py::object>(py::detail::make_new_instance(info->type));
  auto* instance = reinterpret_cast<py::detail::instance*>(object.ptr());
  py::detail::value_and_holder slot = instance->get_value_and_holder(info, true);
  slot.value_ptr() = new Ref(std::move(value));
  instance->owned = true;
  using Holder = std::unique_ptr<Ref>;
  new (std::addressof(slot.holder<Holder>())) Holder(slot.value_ptr<Ref>());
  slot.set_holder_constructed();
  return object;
}

}  // namespace

ReferenceMaker::ReferenceMaker()
    : edge_(info_of<EdgeRef>()),
      node_(info_of<NodeRef>()),
      term_(info_of<TermRef>()),
      type_(info_of<TypeRef>()) {}

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
