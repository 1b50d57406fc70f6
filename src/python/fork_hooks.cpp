#include "python/fork_hooks.hpp"

#include <pybind11/pybind11.h>

#include <utility>
#include <vector>

#include "concurrency/polled_call.hpp"
#include "graph/store_call.hpp"
#include "python/classes.hpp"
#include "python/live_stores.hpp"
#include "python/reentry.hpp"

namespace korvale::python {

namespace {

namespace py = pybind11;

struct HeldStore {
  GraphPtr graph;
  StoreCall call;  // let go before the handle
};

// Per thread: two threads may fork at once, each waiting for the other's
// stores in turn.
struct ForkHolds {
  std::vector<HeldStore> stores;
  // The call the forking thread itself is making, when a signal handler
  // forks from inside it; its store is not taken again.
  StoreCall::ThisThreadsCall own;
  GraphPtr own_graph;  // kept alive across the fork
  bool alone = false;  // own store held shared, others held back
};
thread_local ForkHolds holds;

bool is_own(const GraphPtr& graph) {
  return holds.own.holding && graph.get() == holds.own.graph;
}

// Runs without the interpreter lock, and runs no Python code: a hook before
// a fork cannot stop the fork, so a signal that arrives meanwhile stays
// pending until os.fork() returns, and the stores are held whatever happens.
void hold_every_store(std::vector<GraphPtr> graphs) {
  if (holds.own.holding) {
    // A signal handler forks from inside this thread's call: its pool work
    // ends its items first, so that no pool thread is inside the store at
    // the fork, and a reading call waits until it reads alone.
    settle_loops_of_this_thread();
    for (const GraphPtr& graph : graphs) {
      if (!is_own(graph)) continue;
      holds.own_graph = graph;
      if (holds.own.mode == CallLock::Mode::kShared) {
        graph->call_lock.wait_to_be_alone();
        holds.alone = true;
      }
    }
  }
  for (GraphPtr& graph : graphs) {
    if (is_own(graph)) continue;
    StoreCall call = StoreCall::enter_for_fork(*graph);
    holds.stores.push_back(HeldStore{std::move(graph), std::move(call)});
  }
  wait_until_helpers_are_done();
}

void before_fork() {
  holds = ForkHolds{};
  holds.own = StoreCall::this_threads_call();
  std::vector<GraphPtr> graphs = live_stores();
  PyThreadState* state = PyEval_SaveThread();
  hold_every_store(std::move(graphs));
  PyEval_RestoreThread(state);
}

void after_fork_in_parent() {
  if (holds.alone) holds.own_graph->call_lock.let_others_in();
  holds = ForkHolds{};
}

void after_fork_in_child() {
  // This thread's own call, if it waits to take a store exclusively, is
  // counted among that store's waiting writers.
  const auto waits_for = [](const GraphPtr& graph) {
    return !holds.own.holding && holds.own.graph == graph.get() &&
           holds.own.mode == CallLock::Mode::kExclusive;
  };
  for (HeldStore& store : holds.stores) {
    store.graph->call_lock.forget_other_threads(CallLock::Mode::kExclusive, waits_for(store.graph));
  }
  if (holds.own_graph) holds.own_graph->call_lock.forget_other_threads(holds.own.mode);
  holds = ForkHolds{};
  keep_only_this_threads_query_uses();
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
