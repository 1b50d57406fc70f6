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
#include <pythread.h>

#include <atomic>

namespace korvale::python {

namespace reentry_detail {
inline thread_local bool checking_signals = false;
// PyPy runs its signal handlers between the bytecodes of Python code, and not
// from PyErr_CheckSignals: calling a function written in Python gives them
// that chance. Made at import, since making it runs Python code, where a
// handler could raise.
inline PyObject* python_code = nullptr;
inline std::atomic<unsigned long> main_thread{0};
}  // namespace reentry_detail

// Records the interpreter's main thread: at import, and in the child after a
// fork (whose only thread becomes its main thread). Needs the interpreter lock.
inline void note_main_thread() {
  pybind11::object main = pybind11::module_::import("threading").attr("main_thread")();
  reentry_detail::main_thread.store(main.attr("ident").cast<unsigned long>());
}

// Whether signal handlers run on this thread: Python runs them in its main
// thread only, so a check anywhere else would only run Python code for
// nothing (under PyPy, the finalisers pending at that moment, whose calls
// into the module would then be refused).
inline bool runs_signal_handlers() {
  const auto thread = static_cast<unsigned long>(PyThread_get_thread_ident());
  return thread == reentry_detail::main_thread.load(std::memory_order_relaxed);
}

// Raises RuntimeError when the thread is inside a waiting call's signal check.
inline void refuse_reentry() {
  if (!reentry_detail::checking_signals) return;
  PyErr_SetString(PyExc_RuntimeError,
                  "korvale cannot be called from a signal handler while a call of the same "
                  "thread is running");
  throw pybind11::error_already_set();
}

// At import (needs the interpreter lock).
inline void prepare_signal_checks() {
#if defined(PYPY_VERSION)
  reentry_detail::python_code = pybind11::eval("lambda: None").release().ptr();
#endif
}

// Runs the pending signal handlers (needs the interpreter lock); false when
// one raised, with its exception pending. Throws nothing.
inline bool check_signals() noexcept {
  reentry_detail::checking_signals = true;
  bool raised = PyErr_CheckSignals() != 0;
#if defined(PYPY_VERSION)
  if (!raised && reentry_detail::python_code != nullptr) {
    PyObject* result = PyObject_CallObject(reentry_detail::python_code, nullptr);
    raised = result == nullptr;
    Py_XDECREF(result);
  }
#endif
  reentry_detail::checking_signals = false;
  return !raised;
}

}  // namespace korvale::python
