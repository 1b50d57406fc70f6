#include "python/py_errors.hpp"

namespace korvale::python {

PyObject* exception_type(const KorvaleError& error) {
  switch (exception_class(error)) {
    case ExceptionClass::TypeError:
      return PyExc_TypeError;
    case ExceptionClass::ValueError:
      return PyExc_ValueError;
    case ExceptionClass::RuntimeError:
      return PyExc_RuntimeError;
    case ExceptionClass::KeyError:
      return PyExc_KeyError;
    case ExceptionClass::IndexError:
      return PyExc_IndexError;
    case ExceptionClass::SystemError:
      return PyExc_SystemError;
    case ExceptionClass::RecursionError:
      return PyExc_RecursionError;
  }
  return PyExc_SystemError;
}

void raise_report(const Report& report) {
  const std::string text = format_report(report);
  PyObject* message =
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (message != nullptr) {
    // A one-element tuple, so that KeyError's argument is the text itself.
    PyErr_SetObject(exception_type(report.kind()), message);
    Py_DECREF(message);
  }
  throw py::error_already_set();
}

namespace {

constexpr const char* kStrFailed = "<exception str() failed>";

std::string qualified_name(PyObject* type) {
  py::object name = py::reinterpret_steal<py::object>(PyObject_GetAttrString(type, "__qualname__"));
  if (!name || !PyUnicode_Check(name.ptr())) {
    PyErr_Clear();
    return reinterpret_cast<PyTypeObject*>(type)->tp_name;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
  if (data == nullptr) {
    PyErr_Clear();
    return reinterpret_cast<PyTypeObject*>(type)->tp_name;
  }
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

std::string exception_text(py::handle exception) {
  py::object text = py::reinterpret_steal<py::object>(PyObject_Str(exception.ptr()));
  Py_ssize_t size = 0;
  const char* data = text ? PyUnicode_AsUTF8AndSize(text.ptr(), &size) : nullptr;
  if (data == nullptr) {
    PyErr_Clear();
    return kStrFailed;
  }
  return std::string(data, static_cast<std::size_t>(size));
}

KorvaleError python_error_from_pending() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  std::string message = type != nullptr ? qualified_name(type) : std::string("<unknown>");
  message += ": " + (value != nullptr ? exception_text(value) : std::string(kStrFailed));
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  return kind::PythonError{std::move(message), std::nullopt};
}

std::string cast_reason(py::handle object, const char* expected) {
  return "'" + qualified_name(reinterpret_cast<PyObject*>(Py_TYPE(object.ptr()))) +
         "' object cannot be cast as '" + expected + "'";
}

void raise_argument_error(const char* argument, const std::string& reason) {
  PyErr_SetString(PyExc_TypeError, ("argument '" + std::string(argument) + "': " + reason).c_str());
  throw py::error_already_set();
}

std::string str_argument(py::handle object, const char* argument) {
  if (!PyUnicode_Check(object.ptr())) raise_argument_error(argument, cast_reason(object, "str"));
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object.ptr(), &size);
  if (data == nullptr) {
    // No UTF-8 form (a lone surrogate): report the interpreter's reason.
    const KorvaleError error = python_error_from_pending();
    raise_argument_error(argument, std::get<kind::PythonError>(error).message);
  }
  return std::string(data, static_cast<std::size_t>(size));
}

bool bool_argument(py::handle object, const char* argument) {
  if (!PyBool_Check(object.ptr())) raise_argument_error(argument, cast_reason(object, "bool"));
  return object.ptr() == Py_True;
}

std::string str_value(py::handle object) {
  if (!PyUnicode_Check(object.ptr())) {
    PyErr_SetString(PyExc_TypeError, cast_reason(object, "str").c_str());
    throw py::error_already_set();
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object.ptr(), &size);
  if (data == nullptr) throw py::error_already_set();
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace korvale::python
