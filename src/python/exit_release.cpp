#include "python/exit_release.hpp"

#include <pybind11/pybind11.h>

#include <vector>

#include "graph/opaque_release.hpp"
#include "python/live_stores.hpp"
#include "python/releases.hpp"

namespace korvale::python {

namespace py = pybind11;

namespace {

// atexit runs it while the interpreter is whole, once the threads that exit
// waits for have ended; daemon threads may still use the stores meanwhile,
// which the release allows, but no longer drain.
void release_held_objects() {
  drain_on_this_thread_only();
  {
    const std::vector<GraphPtr> stores = live_stores();
    // The key listing runs on the pool: other Python threads may run meanwhile.
    py::gil_scoped_release unlocked;
    for (const GraphPtr& store : stores) let_go_of_opaque_values(*store);
  }
  // Also what was queued before, and what the stores freed just now held.
  drain_released_opaques();
}

}  // namespace

void release_at_exit() {
  py::module_::import("atexit").attr("register")(py::cpp_function(&release_held_objects));
}

}  // namespace korvale::python
