// Methods on the interpreter's own calling path, for the calls that every
// query makes.
//
// A pybind11 method goes through pybind11's dispatcher: an argument tuple,
// two vectors per call, the overload loop and the casters. Warm that is a few
// hundred nanoseconds; in a call that runs after the program did other work
// it is several microseconds of cold code and data, as much as the empty
// query itself. The methods here are the interpreter's own functions
// (METH_O, METH_VARARGS) in the wrapper pybind11 puts its methods in, so that
// they look the same from Python; the interpreter refuses keywords itself.
// Exceptions leave them as they leave a pybind11 method, through pybind11's
// translators.
#pragma once

#include <pybind11/pybind11.h>

#include <cxxabi.h>

#include <exception>

#include "python/value_instances.hpp"

namespace korvale::python {

// The value of `self`, which must be an instance of the final class T with
// a value; else TypeError. `method` names the method for the message.
template <class T>
T& value_of(PyObject* self, const char* method) {
  PyTypeObject* const type = record_of<T>()->type;
  if (Py_TYPE(self) != type) {
    PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%s' objects doesn't apply to a '%s' object",
                 method, type->tp_name, Py_TYPE(self)->tp_name);
    throw pybind11::error_already_set();
  }
  return held_value<T>(self);
}

// Runs body() -> pybind11::object; a C++ exception becomes the Python error
// pybind11 would have raised for it, and nullptr is returned.
template <class Body>
PyObject* call_translated(Body&& body) noexcept(false) {
  try {
    return body().release().ptr();
  } catch (pybind11::error_already_set& error) {
    error.restore();
    return nullptr;
  } catch (abi::__forced_unwind&) {
    throw;  // a thread being ended unwinds through here
  } catch (...) {
    if (pybind11::detail::apply_exception_translators(
            pybind11::detail::get_local_internals().registered_exception_translators) ||
        pybind11::detail::apply_exception_translators(
            pybind11::detail::get_internals().registered_exception_translators)) {
      return nullptr;
    }
    PyErr_SetString(PyExc_SystemError, "Exception escaped from default exception translator!");
    return nullptr;
  }
}

// Sets the function `def` (METH_O: called with self; METH_VARARGS: with self
// first in the tuple) as a method of the class, replacing the attribute of
// that name in place (the class's attribute order stays). `def` must outlive
// the class.
void set_plain_method(pybind11::handle cls, PyMethodDef& def);

}  // namespace korvale::python
