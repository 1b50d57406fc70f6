#include "python/final_classes.hpp"

#include <string>
#include <unordered_set>

#include "python/pybind11_internals.hpp"

namespace korvale::python {

namespace {

[[maybe_unused]] py::object pybind11_metaclass() {
  return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(default_metaclass()));
}

#if defined(PYPY_VERSION)
// The classes that guard_classes has finished; touched under the GIL only.
std::unordered_set<PyObject*>& sealed_classes() {
  static auto* sealed = new std::unordered_set<PyObject*>();
  return *sealed;
}

[[noreturn]] void refuse_change(py::handle cls, py::handle name) {
  const std::string text = "cannot set '" + py::str(name).cast<std::string>() +
                           "' attribute of immutable type 'korvale." +
                           py::str(cls.attr("__name__")).cast<std::string>() + "'";
  PyErr_SetString(PyExc_TypeError, text.c_str());
  throw py::error_already_set();
}

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
  py::object metaclass = py::type::of(base)("korvale_final_type", py::make_tuple(base), body);
  // Nor does PyPy honour the flag that makes a type immutable: a sealed class
  // refuses changes here, with CPython's text.
  metaclass.attr("__setattr__") = py::cpp_function(
      [base](py::handle cls, py::handle name, py::handle value) {
        if (sealed_classes().contains(cls.ptr())) refuse_change(cls, name);
        base.attr("__setattr__")(cls, name, value);
      },
      py::is_method(metaclass));
  metaclass.attr("__delattr__") = py::cpp_function(
      [base](py::handle cls, py::handle name) {
        if (sealed_classes().contains(cls.ptr())) refuse_change(cls, name);
        base.attr("__delattr__")(cls, name);
      },
      py::is_method(metaclass));
  return metaclass;
}
#endif

}  // namespace

void seal_class(py::handle cls) {
#if defined(PYPY_VERSION)
  sealed_classes().insert(cls.ptr());
#else
  static_cast<void>(cls);  // CPython honours Py_TPFLAGS_IMMUTABLETYPE itself
#endif
}

py::metaclass final_metaclass() {
#if defined(PYPY_VERSION)
  // One metaclass for all seven classes, made on first use under the GIL and
  // kept for the process's life (no release after the interpreter is gone).
  static auto* metaclass = new py::object(make_refusing_metaclass());
  return py::metaclass(*metaclass);
#else
  return py::metaclass(pybind11_metaclass());
#endif
}

}  // namespace korvale::python
