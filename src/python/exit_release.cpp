#include "python/exit_release.hpp"

#include <pybind11/pybind11.h>

#include <vector>

#include "graph/opaque_release.hpp"
#include "python/live_stores.hpp"
#include "python/py_errors.hpp"
#include "python/releases.hpp"
#include "python/without_gil.hpp"

namespace korvale::python {

namespace py = pybind11;

namespace {

// atexit runs it while the interpreter is whole, once the threads that exit
// waits for have ended; daemon threads may still use the stores meanwhile,
// but no longer drain. Each store's release is a writing call: it waits for
// the calls that such threads run on it, without the interpreter lock, and
// Ctrl-C ends the wait (the stores not yet released then keep their objects).
void release_held_objects() {
  drain_on_this_thread_only();
  try {
    const std::vector<GraphPtr> stores = live_stores();
    for (const GraphPtr& store : stores) {
      into_py_result(without_gil([&] { return let_go_of_opaque_values(*store); }));
    }
  } catch (...) {
    drain_released_opaques();
    throw;
  }
  // Also what was queued before, and what the stores freed just now held.
  drain_released_opaques();
}

}  // namespace

void release_at_exit() {
  py::module_::import("atexit").attr("register")(py::cpp_function(&release_held_objects));
}

}  // namespace korvale::python
