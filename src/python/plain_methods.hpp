// Methods on the interpreter's own calling path, for the calls that every
// query makes.
//
// A pybind11 method goes through pybind11's dispatcher: an argument tuple,
// two vectors per call, the overload loop and the casters. Warm that is a few
// hundred nanoseconds; in a call that runs after the program did other work
// it is several microseconds of cold code and data, as much as the empty
// query itself. The methods here are the interpreter's own functions
// (METH_O, METH_VARARGS) in the wrapper pybind11 puts its methods in, so that
// they look the same from Python; the interpreter refuses keywords and a
// wrong count of arguments itself, with its own texts. Exceptions leave them
// as they leave a pybind11 method, through pybind11's translators.
//
// A class declares one with set_plain_method, naming the method, the
// arguments it takes, its body and its docstring; the entry made here checks
// self and calls the body.
#pragma once

#include <pybind11/pybind11.h>

#include <cxxabi.h>

#include <algorithm>
#include <cstddef>
#include <type_traits>

#include "python/pybind11_internals.hpp"
#include "python/value_instances.hpp"

namespace korvale::python {

// Raises the interpreter's TypeError for a method of the module's class
// `type` called with a self of another class.
[[noreturn]] void refuse_foreign_self(PyTypeObject* type, PyObject* self, const char* method);

// Raises the interpreter's TypeError for a method of `type` taking *args
// called from the class with no argument at all, hence no self.
[[noreturn]] void refuse_missing_self(PyTypeObject* type, const char* method);

// The value of `self`, which must be an instance of the final class T with
// a value; else TypeError. `method` names the method for the message.
template <class T>
T& value_of(PyObject* self, const char* method) {
  PyTypeObject* const type = python_type(record_of<T>());
  if (Py_TYPE(self) != type) refuse_foreign_self(type, self, method);
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
    translate_active_exception();
    return nullptr;
  }
}

// What a plain method takes, and so how its body is called.
enum class PlainArguments {
  // method(self): METH_O; body(T& self).
  kSelf,
  // method(self, *args): METH_VARARGS; body(T& self, PyObject* arguments),
  // `arguments` the whole tuple, self at 0.
  kSelfAndVariadic,
};

// A method's name as a template argument, so that each method's entry has it
// for its texts at no cost.
template <std::size_t kSize>
struct MethodName {
  consteval MethodName(const char (&name)[kSize]) {  // NOLINT(google-explicit-constructor)
    std::copy_n(name, kSize, text);
  }
  char text[kSize];
};

// The class T of a body's self (`T&` or `const T&` first parameter).
template <class Body>
struct PlainBody;
template <class Result, class Self, class... Rest>
struct PlainBody<Result (*)(Self&, Rest...)> {
  using Value = std::remove_const_t<Self>;
  static constexpr bool kTakesSelfOnly = sizeof...(Rest) == 0;
  static constexpr bool kTakesVariadic =
      sizeof...(Rest) == 1 && (std::is_same_v<Rest, PyObject*> && ...);
};

// The interpreter's entries of the two kinds of method: check self, call the
// body, translate what it throws.
template <MethodName kName, auto kBody>
PyObject* self_entry(PyObject* /*function*/, PyObject* self) {
  using T = typename PlainBody<decltype(kBody)>::Value;
  return call_translated([&] { return kBody(value_of<T>(self, kName.text)); });
}

template <MethodName kName, auto kBody>
PyObject* self_and_variadic_entry(PyObject* /*function*/, PyObject* arguments) {
  using T = typename PlainBody<decltype(kBody)>::Value;
  return call_translated([&] {
    if (PyTuple_GET_SIZE(arguments) == 0) {
      refuse_missing_self(python_type(record_of<T>()), kName.text);
    }
    return kBody(value_of<T>(PyTuple_GET_ITEM(arguments, 0), kName.text), arguments);
  });
}

// Sets the function `def` (called with self, or with self first in the tuple)
// as a method of the class, replacing the attribute of that name in place
// (the class's attribute order stays). `def` must outlive the class.
void install_method_def(pybind11::handle cls, PyMethodDef& def);

// Makes kBody, a function (T& self[, PyObject* arguments]) -> pybind11 object,
// the method kName of the class bound for T, taking kArguments, with the
// docstring `doc` (which outlives the class). The body runs once self is
// known to be a T with a value.
template <MethodName kName, PlainArguments kArguments, auto kBody>
void set_plain_method(pybind11::handle cls, const char* doc) {
  using Body = PlainBody<decltype(kBody)>;
  // One per method, for the process's life: the method's function points at it.
  static PyMethodDef def = [doc] {
    if constexpr (kArguments == PlainArguments::kSelf) {
      static_assert(Body::kTakesSelfOnly, "the body of method(self) takes self only");
      return PyMethodDef{kName.text, &self_entry<kName, kBody>, METH_O, doc};
    } else {
      static_assert(Body::kTakesVariadic, "the body of method(self, *args) takes self and a tuple");
      return PyMethodDef{kName.text, &self_and_variadic_entry<kName, kBody>, METH_VARARGS, doc};
    }
  }();
  install_method_def(cls, def);
}

}  // namespace korvale::python
