// The module's entry point: registers the classes, in order, and lists them
// in __all__, has the objects still held at interpreter exit given back and
// keeps forks from copying a store in the middle of a call.
// Nothing else happens at import: no store, no worker thread.
#include <pybind11/pybind11.h>

#include "python/class_guards.hpp"
#include "python/classes.hpp"
#include "python/exit_release.hpp"
#include "python/fork_hooks.hpp"
#include "python/reentry.hpp"

namespace py = pybind11;

PYBIND11_MODULE(korvale, module) {
  module.doc() = "";
  module.attr("__all__") = py::list();
  korvale::python::register_graph_class(module);
  korvale::python::register_query_class(module);
  korvale::python::register_reference_classes(module);
  korvale::python::register_constant_class(module);
  korvale::python::guard_classes(module);
  korvale::python::release_at_exit();
  korvale::python::hold_stores_across_fork();
  korvale::python::note_main_thread();
  korvale::python::prepare_signal_checks();
}
