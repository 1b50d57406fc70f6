#include "python/class_guards.hpp"

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

}  // namespace

void guard_classes(py::module_& module) {
  for (const char* name : {"Query", "Edge", "Node", "Term", "Type"}) {
    forbid_instantiation(type_of(module, name));
  }
  for (const char* name : {"Graph", "Constant"}) type_of(module, name)->tp_new = &new_and_init;
  for (const char* name : {"Graph", "Query", "Edge", "Node", "Term", "Type", "Constant"}) {
    PyTypeObject* type = type_of(module, name);
#if defined(Py_TPFLAGS_IMMUTABLETYPE)
    type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
#endif
    PyType_Modified(type);
  }
}

}  // namespace korvale::python
