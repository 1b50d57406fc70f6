// Giving back the Python references of opaque property values whose last copy
// went away (possibly on a pool thread, where the interpreter may not be used).
#pragma once

#include "python/reentry.hpp"

namespace korvale::python {

// Py_DECREFs every reference queued by the core, until the queue stays empty
// (a finaliser run by a release may release further values). Needs the
// interpreter lock; must not run while a store or map lock is held, since a
// release can run arbitrary Python code that may call back into the module. A
// pending Python exception is kept as it is.
void drain_released_opaques();

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
  ~ReleaseGuard() { drain_released_opaques(); }
  ReleaseGuard(const ReleaseGuard&) = delete;
  ReleaseGuard& operator=(const ReleaseGuard&) = delete;
};

}  // namespace korvale::python
