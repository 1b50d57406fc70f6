#include "python/fork_hooks.hpp"

#include <pybind11/pybind11.h>

#include <utility>
#include <vector>

#include "graph/store_call.hpp"
#include "python/live_stores.hpp"
#include "python/py_errors.hpp"
#include "python/reentry.hpp"
#include "python/without_gil.hpp"

namespace korvale::python {

namespace {

namespace py = pybind11;

struct HeldStore {
  GraphPtr graph;
  StoreCall call;  // let go before the handle
};

// Per thread: two threads may fork at once, each waiting for the other's
// stores in turn.
thread_local std::vector<HeldStore> held;

void before_fork() {
  held.clear();
  if (detail::checking_signals) return;  // this thread's own call may hold one
  for (GraphPtr& graph : live_stores()) {
    StoreCall call =
        into_py_result(without_gil([&] { return StoreCall::enter(*graph, StoreAccess::kWrite); }));
    held.push_back(HeldStore{std::move(graph), std::move(call)});
  }
}

void after_fork_in_parent() {
  held.clear();
}

void after_fork_in_child() {
  for (HeldStore& store : held) store.graph->call_lock.forget_other_threads();
  held.clear();
  note_main_thread();
}

}  // namespace

void hold_stores_across_fork() {
  py::module_::import("os").attr("register_at_fork")(
      py::arg("before") = py::cpp_function(&before_fork),
      py::arg("after_in_parent") = py::cpp_function(&after_fork_in_parent),
      py::arg("after_in_child") = py::cpp_function(&after_fork_in_child));
}

}  // namespace korvale::python
