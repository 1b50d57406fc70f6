// Giving back the Python references of opaque property values whose last copy
// went away (possibly on a pool thread, where the interpreter may not be used).
#pragma once

#include "python/reentry.hpp"

namespace korvale::python {

// Py_DECREFs every reference queued by the core, until the queue stays empty
// (a finaliser run by a release may release further values). Needs the
// interpreter lock (it runs when a call enters and returns, when a module
// object is deallocated, and at exit); must not run while a store or map lock
// is held, since a release can run arbitrary Python code that may call back
// into the module. A pending Python exception is kept as it is. Costs one
// atomic load when nothing is queued; safe with drains on other threads (each
// gives back the references it took). Does nothing on a thread without the
// lock, nor inside a waiting call's signal check (whose thread may hold store
// locks): the references wait for the next drain.
void drain_released_opaques();

// From now on, drains run on the calling thread only (the one that runs the
// interpreter's exit): a finaliser run by a drain on another thread could see
// the interpreter end that thread in the middle, with Python objects still in
// its frames. Called once the exit has begun.
void drain_on_this_thread_only();

// Drains at construction and again at destruction. Every module method opens
// one at its top, before it takes any lock, so that its locks are all released
// when the second drain runs on the way back to Python. Refuses the call first
// when a running call of this thread is checking for signals (reentry.hpp).
class ReleaseGuard {
 public:
  ReleaseGuard() {
    refuse_reentry();
    drain_released_opaques();
  }
  // Not noexcept: a finaliser run by the drain may end a daemon thread at
  // interpreter exit, whose unwinding must pass through here.
  ~ReleaseGuard() noexcept(false) { drain_released_opaques(); }
  ReleaseGuard(const ReleaseGuard&) = delete;
  ReleaseGuard& operator=(const ReleaseGuard&) = delete;
};

}  // namespace korvale::python
