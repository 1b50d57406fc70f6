// Core work run without the interpreter lock, with Ctrl-C still heard.
#pragma once

#include <pybind11/pybind11.h>
#include <unistd.h>

#include <optional>
#include <utility>

#include "concurrency/polled_call.hpp"
#include "graph/store_call.hpp"
#include "python/reentry.hpp"

namespace korvale::python {

// PyEval_RestoreThread, except on a thread that the interpreter ends because
// it is shutting down (CPython ends it from inside this call with a forced
// unwind): such a thread sleeps until the process exits instead. Unwinding
// would run the destructors of the Python objects in its callers' frames
// without the interpreter lock.
//
// The handler catches everything rather than abi::__forced_unwind&: the
// forced unwind is the only thing the C function can let through, and it
// carries no C++ object, so a handler binding a reference to one binds it to
// null (UndefinedBehaviorSanitizer reports it). The handler never returns, so
// the unwind is never swallowed.
inline void restore_thread(PyThreadState* state) {
  try {
    PyEval_RestoreThread(state);
  } catch (...) {
    for (;;) pause();
  }
}

// Gives up the interpreter lock (so that other Python threads run) and runs
// work() -> Result<T> as a polled call (see polled_call.hpp). On the main
// thread, every poll period the calling thread takes the lock back just long
// enough to run the pending signal handlers; when one raises
// (KeyboardInterrupt from Ctrl-C, say), the rest of the work is cancelled,
// the call waits until the pool has let go, and that exception is raised here
// instead of any result. What the work stored before it was cut short stays,
// as after any failing clause. Other threads run no handlers, so their polls
// do nothing.
//
// work must not touch a Python object: it runs without the lock, and partly
// on pool threads. It may wait for its store (store_call.hpp): that wait is
// polled like the rest of the work.
template <class Work>
auto without_gil(Work&& work) -> decltype(work()) {
  std::optional<decltype(work())> result;
  bool raised = false;
  const bool handles_signals = runs_signal_handlers();
  PyThreadState* state = PyEval_SaveThread();
  const auto poll = [&] {
    if (!handles_signals) return true;
    restore_thread(state);
    raised = !check_signals();  // throws nothing, so the lock is given up again
    state = PyEval_SaveThread();
    return !raised;
  };
  try {
    result.emplace(run_polled(work, poll));
  } catch (...) {
    restore_thread(state);
    throw;
  }
  restore_thread(state);
  if (raised) throw pybind11::error_already_set();
  return std::move(*result);
}

// A short reading call on a store, made with the interpreter lock held: first
// without giving the lock up, which costs nothing when no writing call holds
// the store or waits for it; otherwise again through without_gil, so that the
// wait for the store lets the holder (which takes the interpreter lock to
// poll) finish. work must take its store before it reads anything.
template <class Work>
auto read_store(Work&& work) -> decltype(work()) {
  {
    NoWaitScope no_wait;
    auto result = work();
    if (!no_wait.refused()) return result;
  }
  return without_gil(work);
}

}  // namespace korvale::python
