#include "python/instance_checks.hpp"

#include <cstring>

namespace korvale::python {

std::string no_value_text(PyObject* object) {
  // CPython names the class "korvale.Node", PyPy "Node".
  const char* name = Py_TYPE(object)->tp_name;
  if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
  return std::string("korvale.") + name + " object has no value: instances are made by the module";
}

void refuse_instance_without_value(PyObject* object) {
  throw pybind11::type_error(no_value_text(object));
}

}  // namespace korvale::python
