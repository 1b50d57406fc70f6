// The Python classes "Edge", "Node", "Term" and "Type": thin wrappers over the
// core's references. They cannot be made from Python; the store's methods
// and the query's result rows hand them out.
#include <string>
#include <type_traits>
#include <utility>

#include "base/uid.hpp"
#include "python/classes.hpp"
#include "python/conversions.hpp"
#include "python/final_classes.hpp"
#include "python/py_errors.hpp"
#include "python/releases.hpp"
#include "python/without_gil.hpp"

namespace korvale::python {

namespace {

constexpr const char* kUidDoc = "uid(self)\n--\n\n";
constexpr const char* kPropertiesDoc = "properties(self)\n--\n\n";
constexpr const char* kTypeDoc = "type(self)\n--\n\n";
constexpr const char* kTermDoc = "term(self)\n--\n\n";

py::str hex_text(const Uid& uid) {
  return py::str(uid_to_hex(uid));
}

py::object uid_object(const NodeRef& ref) {
  return hex_text(ref.uid);
}
py::object uid_object(const TermRef& ref) {
  return hex_text(ref.uid);
}
py::object uid_object(const TypeRef& ref) {
  return hex_text(ref.uid);
}
py::object uid_object(const EdgeRef& ref) {
  return py::make_tuple(hex_text(ref.uid.start), hex_text(ref.uid.end));
}

// str() and repr(): the element's text form, read from the store now.
template <class Ref>
py::str text(const Ref& self) {
  ReleaseGuard guard;
  return py::str(into_py_result(read_store([&] { return self.to_string(); })));
}

// Equal when the other object is of the same class and names the same
// element; the store handles are not compared. Any other class is left to
// the interpreter's rules.
template <class Ref>
py::object equal(const Ref& self, py::handle other) {
  ReleaseGuard guard;
  if (Py_TYPE(other.ptr()) != record_of<Ref>()->type) {
    return py::reinterpret_borrow<py::object>(Py_NotImplemented);
  }
  return py::bool_(self.uid == held_value<Ref>(other.ptr()).uid);
}

// The negation of the interpreter's full equality (reflected operations
// included), so that `!=` never disagrees with `==`.
py::bool_ not_equal(py::handle self, py::handle other) {
  ReleaseGuard guard;
  py::object equal =
      py::reinterpret_steal<py::object>(PyObject_RichCompare(self.ptr(), other.ptr(), Py_EQ));
  if (!equal) throw py::error_already_set();
  const int truth = PyObject_IsTrue(equal.ptr());
  if (truth < 0) throw py::error_already_set();
  return py::bool_(truth == 0);
}

template <class Ref>
py::class_<Ref> reference_class(py::module_& module, const char* name) {
  py::class_<Ref> cls(module, name, py::is_final(), final_metaclass(), "");
  cls.def(
      "uid",
      [](const Ref& self) {
        ReleaseGuard guard;
        return uid_object(self);
      },
      kUidDoc);
  return cls;
}

template <class Ref>
void add_slots(py::class_<Ref>& cls) {
  cls.def("__str__", &text<Ref>)
      .def("__repr__", &text<Ref>)
      .def("__eq__", &equal<Ref>)
      .def("__ne__", &not_equal);
  // Defining __eq__ leaves the class without a hash (the interpreter's rule).
}

template <class Ref>
void add_properties(py::class_<Ref>& cls) {
  cls.def(
      "properties",
      [](const Ref& self) {
        ReleaseGuard guard;
        return property_map_to_dict(into_py_result(read_store([&] { return self.properties(); })));
      },
      kPropertiesDoc);
}

void register_edge(py::module_& module) {
  auto cls = reference_class<EdgeRef>(module, "Edge");
  add_properties(cls);
  cls.def(
         "type",
         [](const EdgeRef& self) {
           ReleaseGuard guard;
           return into_py_result(read_store([&] { return self.type(); }));
         },
         kTypeDoc)
      .def(
          "term",
          [](const EdgeRef& self) {
            ReleaseGuard guard;
            return into_py_result(read_store([&] { return self.term(); }));
          },
          kTermDoc);
  add_slots(cls);
}

void register_node(py::module_& module) {
  auto cls = reference_class<NodeRef>(module, "Node");
  add_properties(cls);
  cls.def(
         "type",
         [](const NodeRef& self) {
           ReleaseGuard guard;
           return self.type();
         },
         kTypeDoc)
      .def(
          "term",
          [](const NodeRef& self) -> py::object {
            ReleaseGuard guard;
            std::optional<TermRef> term = into_py_result(read_store([&] { return self.term(); }));
            if (!term) return py::none();
            return py::cast(std::move(*term));
          },
          kTermDoc);
  add_slots(cls);
}

template <class Ref>
void register_plain(py::module_& module, const char* name) {
  auto cls = reference_class<Ref>(module, name);
  add_slots(cls);
}

}  // namespace

void register_reference_classes(py::module_& module) {
  // pybind11 would prepend its own signature lines to the docstrings.
  py::options options;
  options.disable_function_signatures();

  register_edge(module);
  register_node(module);
  register_plain<TermRef>(module, "Term");
  register_plain<TypeRef>(module, "Type");
  py::list names = module.attr("__all__");
  for (const char* name : {"Edge", "Node", "Term", "Type"}) names.append(name);
}

}  // namespace korvale::python
