#include "python/class_guards.hpp"

#include <string>

#include "python/final_classes.hpp"

namespace korvale::python {

namespace py = pybind11;

namespace {

PyTypeObject* type_of(py::module_& module, const char* name) {
  return reinterpret_cast<PyTypeObject*>(module.attr(name).ptr());
}

// "Query()" then fails with the interpreter's TypeError, and the base's
// __new__ refuses the class as not safe.
void forbid_instantiation(PyTypeObject* type) {
  type->tp_new = nullptr;
#if defined(Py_TPFLAGS_DISALLOW_INSTANTIATION)  // not in every interpreter's headers
  type->tp_flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
#endif
}

// A second __init__ on a made instance is ignored by pybind11, so the call
// that follows from type.__call__ changes nothing.
PyObject* new_and_init(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* self = type->tp_base->tp_new(type, args, kwargs);
  if (self == nullptr) return nullptr;
  if (type->tp_init(self, args, kwargs) < 0) {
    Py_DECREF(self);
    return nullptr;
  }
  return self;
}

[[noreturn]] void raise_type_error(const std::string& text) {
  PyErr_SetString(PyExc_TypeError, text.c_str());
  throw py::error_already_set();
}

// PyPy keeps its own view of a type and ignores changes to tp_new and to the
// flags above; there the same guards are class attributes, set before the
// class is sealed.
[[maybe_unused]] void guard_at_python_level(py::module_& module) {
  py::object set_attribute = py::module_::import("builtins").attr("type").attr("__setattr__");
  for (const char* name : {"Query", "Edge", "Node", "Term", "Type"}) {
    const std::string text = std::string("cannot create 'korvale.") + name + "' instances";
    set_attribute(module.attr(name), "__new__",
                  py::staticmethod(py::cpp_function(
                      [text](const py::args&, const py::kwargs&) { raise_type_error(text); })));
  }
  for (const char* name : {"Graph", "Constant"}) {
    py::object cls = module.attr(name);
    py::object allocate = cls.attr("__mro__")[py::int_(1)].attr("__new__");
    set_attribute(cls, "__new__",
                  py::staticmethod(py::cpp_function(
                      [allocate](py::object type, const py::args& args, const py::kwargs& kwargs) {
                        py::object self = allocate(type);
                        type.attr("__init__")(self, *args, **kwargs);
                        return self;
                      })));
  }
  // Without an instance layout PyPy's copy and pickle would take the object
  // apart; CPython refuses them with this text.
  for (py::handle name : module.attr("__all__")) {
    const std::string text = "cannot pickle 'korvale." + name.cast<std::string>() + "' object";
    py::object cls = module.attr(name);
    set_attribute(cls, "__reduce_ex__",
                  py::cpp_function([text](py::handle, py::handle) { raise_type_error(text); },
                                   py::is_method(cls)));
  }
}

}  // namespace

void guard_classes(py::module_& module) {
  for (const char* name : {"Query", "Edge", "Node", "Term", "Type"}) {
    forbid_instantiation(type_of(module, name));
  }
  for (const char* name : {"Graph", "Constant"}) type_of(module, name)->tp_new = &new_and_init;
#if defined(PYPY_VERSION)
  guard_at_python_level(module);
#endif
  for (const char* name : {"Graph", "Query", "Edge", "Node", "Term", "Type", "Constant"}) {
    PyTypeObject* type = type_of(module, name);
#if defined(Py_TPFLAGS_IMMUTABLETYPE)
    type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
#endif
    PyType_Modified(type);
    seal_class(module.attr(name));
  }
}

}  // namespace korvale::python
