#include "python/instance_checks.hpp"

#include <cstring>

namespace korvale::python {

std::string module_class_name(PyTypeObject* type) {
  // CPython names the class "korvale.Node", PyPy "Node".
  const char* name = type->tp_name;
  if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
  return std::string("korvale.") + name;
}

std::string no_value_text(PyObject* object) {
  return module_class_name(Py_TYPE(object)) +
         " object has no value: instances are made by the module";
}

void refuse_instance_without_value(PyObject* object) {
  throw pybind11::type_error(no_value_text(object));
}

}  // namespace korvale::python
