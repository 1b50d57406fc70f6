#include "python/releases.hpp"

#include <Python.h>

#include <atomic>
#include <thread>
#include <vector>

#include "properties/opaque.hpp"

namespace korvale::python {

namespace {

// Set once, at interpreter exit; read by drains that found work.
std::atomic<bool> draining_thread_only{false};
std::thread::id draining_thread;

bool may_drain_here() {
  if (!PyGILState_Check()) return false;
  // The running call drains on its way out, after its locks.
  if (reentry_detail::checking_signals) return false;
  return !draining_thread_only.load(std::memory_order_acquire) ||
         std::this_thread::get_id() == draining_thread;
}

}  // namespace

void drain_on_this_thread_only() {
  draining_thread = std::this_thread::get_id();
  draining_thread_only.store(true, std::memory_order_release);
}

void drain_released_opaques() {
  // The common case, at every deallocation of a module object: one load.
  if (!released_opaques_pending()) return;
  // Else what is queued waits for a drain that may run. A thread that the
  // interpreter ends while it waits for the lock (a daemon thread at exit)
  // unwinds its frames without the lock, guards included.
  if (!may_drain_here()) return;
  std::vector<void*> released = take_released_opaques();
  if (released.empty()) return;
  // A finaliser must not see (or clobber) the exception on its way to Python.
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  while (!released.empty()) {
    for (void* object : released) Py_DECREF(static_cast<PyObject*>(object));
    released = take_released_opaques();
  }
  PyErr_Restore(type, value, traceback);
}

}  // namespace korvale::python
