#include "python/final_classes.hpp"

#include <string>

namespace korvale::python {

void refuse_subclasses(py::module_& module) {
#if defined(PYPY_VERSION)
  // PyPy's cpyext lets any extension type be subclassed, whatever its flags
  // say. The interpreter calls a base's __init_subclass__ while it makes the
  // subclass, so raising there refuses it with CPython's text.
  for (py::handle name : module.attr("__all__")) {
    const std::string text =
        "type 'korvale." + name.cast<std::string>() + "' is not an acceptable base type";
    module.attr(name).attr("__init_subclass__") =
        py::staticmethod(py::cpp_function([text](const py::args&, const py::kwargs&) {
          PyErr_SetString(PyExc_TypeError, text.c_str());
          throw py::error_already_set();
        }));
  }
#else
  // CPython refuses subclasses of a type without Py_TPFLAGS_BASETYPE itself.
  static_cast<void>(module);
#endif
}

}  // namespace korvale::python
