#include "python/plain_methods.hpp"

#include <string>

#include "python/instance_checks.hpp"

namespace korvale::python {

void refuse_foreign_self(PyTypeObject* type, PyObject* self, const char* method) {
  PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%s' objects doesn't apply to a '%s' object",
               method, type->tp_name, Py_TYPE(self)->tp_name);
  throw pybind11::error_already_set();
}

void refuse_missing_self(PyTypeObject* type, const char* method) {
  // Named as CPython names it on every interpreter.
  const std::string name = module_class_name(type);
  PyErr_Format(PyExc_TypeError, "descriptor '%s' of '%s' object needs an argument", method,
               name.c_str());
  throw pybind11::error_already_set();
}

void install_method_def(pybind11::handle cls, PyMethodDef& def) {
  auto function =
      pybind11::reinterpret_steal<pybind11::object>(PyCFunction_NewEx(&def, nullptr, nullptr));
  if (!function) throw pybind11::error_already_set();
  auto method = pybind11::reinterpret_steal<pybind11::object>(PyInstanceMethod_New(function.ptr()));
  if (!method) throw pybind11::error_already_set();
  if (PyObject_SetAttrString(cls.ptr(), def.ml_name, method.ptr()) < 0) {
    throw pybind11::error_already_set();
  }
}

}  // namespace korvale::python
