#include "python/plain_methods.hpp"

namespace korvale::python {

void set_plain_method(pybind11::handle cls, PyMethodDef& def) {
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
