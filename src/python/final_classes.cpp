#include "python/final_classes.hpp"

#include <string>

namespace korvale::python {

namespace {

[[maybe_unused]] py::object pybind11_metaclass() {
  return py::reinterpret_borrow<py::object>(
      reinterpret_cast<PyObject*>(py::detail::get_internals().default_metaclass));
}

#if defined(PYPY_VERSION)
// PyPy's cpyext lets any extension type be subclassed, whatever its flags say,
// and a base's __init_subclass__ is no guard: a mixin before it in the bases
// may not call it. The metaclass's __new__ runs for every class statement
// with one of ours among the bases, so it refuses them all.
py::object make_refusing_metaclass() {
  py::object base = pybind11_metaclass();
  py::dict body;
  body["__module__"] = py::str("korvale");
  body["__new__"] = py::staticmethod(
      py::cpp_function([base](py::object metaclass, py::object name, py::tuple bases,
                              py::object namespace_, const py::kwargs& keywords) -> py::object {
        for (py::handle candidate : bases) {
          if (py::isinstance(candidate, base) &&
              py::str(candidate.attr("__module__")).cast<std::string>() == "korvale") {
            const std::string text = "type 'korvale." +
                                     py::str(candidate.attr("__name__")).cast<std::string>() +
                                     "' is not an acceptable base type";
            PyErr_SetString(PyExc_TypeError, text.c_str());
            throw py::error_already_set();
          }
        }
        return base.attr("__new__")(metaclass, name, bases, namespace_, **keywords);
      }));
  return py::type::of(base)("korvale_final_type", py::make_tuple(base), body);
}
#endif

}  // namespace

py::metaclass final_metaclass() {
#if defined(PYPY_VERSION)
  // One metaclass for all seven classes, made on first use under the GIL.
  static py::object metaclass = make_refusing_metaclass();
  return py::metaclass(metaclass);
#else
  return py::metaclass(pybind11_metaclass());
#endif
}

}  // namespace korvale::python
