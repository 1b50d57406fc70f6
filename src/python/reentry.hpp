// Refusing calls into the module from code that a waiting call runs.
//
// While a call waits for the pool, its thread checks for signals, which runs
// the Python signal handlers (and whatever they set off: finalisers, the
// collector). That thread may hold store locks at that moment, so a call into
// the module from such code could wait for a lock its own thread holds. Such
// calls are refused; the module's other threads are not affected.
#pragma once

#include <pybind11/eval.h>
#include <pybind11/pybind11.h>

namespace korvale::python {

namespace detail {
inline thread_local bool checking_signals = false;
}  // namespace detail

// Raises RuntimeError when the thread is inside a waiting call's signal check.
inline void refuse_reentry() {
  if (!detail::checking_signals) return;
  PyErr_SetString(PyExc_RuntimeError,
                  "korvale cannot be called from a signal handler while a call of the same "
                  "thread is running");
  throw pybind11::error_already_set();
}

// Runs the pending signal handlers (needs the interpreter lock); false when
// one raised, with its exception pending.
inline bool check_signals() {
  detail::checking_signals = true;
  bool raised = PyErr_CheckSignals() != 0;
#if defined(PYPY_VERSION)
  // PyPy runs its signal handlers between the bytecodes of Python code, and
  // not from PyErr_CheckSignals: calling a function written in Python gives
  // them that chance.
  static PyObject* const python_code = pybind11::eval("lambda: None").release().ptr();
  if (!raised) {
    PyObject* result = PyObject_CallObject(python_code, nullptr);
    raised = result == nullptr;
    Py_XDECREF(result);
  }
#endif
  detail::checking_signals = false;
  return !raised;
}

}  // namespace korvale::python
