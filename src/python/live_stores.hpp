// The stores made from Python that may still be alive, so that at interpreter
// exit each can let go of the Python objects it holds.
#pragma once

#include <vector>

#include "graph/graph.hpp"

namespace korvale::python {

// Kept beside a store's handle in the Python "Graph"; making one records the
// store. Nothing needs undoing: a store leaves the record when it is freed.
struct LiveStore {
  static LiveStore of(const GraphPtr& graph);
};

// A handle to every recorded store that is still alive, from any thread.
std::vector<GraphPtr> live_stores();

}  // namespace korvale::python
