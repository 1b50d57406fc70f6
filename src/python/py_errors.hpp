// Raising reports as Python exceptions, and turning Python exceptions into
// reports. Only the binding layer includes Python headers.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "errors/report.hpp"

namespace korvale::python {

namespace py = pybind11;

// The built-in exception class that raises a report of this kind.
PyObject* exception_type(const KorvaleError& error);

// Sets the pending Python exception for the report (class by its kind, the
// rendered report as its single argument) and throws py::error_already_set,
// which pybind11 hands back to the interpreter.
[[noreturn]] void raise_report(const Report& report);

// into_py_result: a value passes through; a report is raised.
template <class T>
T into_py_result(Result<T> result) {
  if (!result) raise_report(result.error());
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

// str() of an exception, which is the caller's code and may fail in turn:
// then "<exception str() failed>", with the second error cleared.
std::string exception_text(py::handle exception);

// The pending Python exception as PythonError ("QualifiedName: str(exc)", or
// ": <exception str() failed>" after the name); clears it.
KorvaleError python_error_from_pending();

// "'int' object cannot be cast as 'str'": the binding layer's reason for an
// object of the wrong type.
std::string cast_reason(py::handle object, const char* expected);

// Raises TypeError "argument 'name': reason".
[[noreturn]] void raise_argument_error(const char* argument, const std::string& reason);

// The str argument as UTF-8, or TypeError naming the argument.
std::string str_argument(py::handle object, const char* argument);

// The bool argument (exactly True or False: 0 and 1 are refused), or TypeError
// naming the argument.
bool bool_argument(py::handle object, const char* argument);

// The str as UTF-8, or TypeError with the bare cast reason (conversions made
// inside a method body carry no argument name). A str without a UTF-8 form
// raises the interpreter's own error.
std::string str_value(py::handle object);

}  // namespace korvale::python
