// Letting go of the Python objects a store holds, for the binding layer at
// interpreter exit: a store that is still alive then would otherwise keep its
// objects (and their finalisers) beyond the interpreter's end.
#pragma once

#include "graph/graph.hpp"

namespace korvale {

// Replaces every opaque reference in the properties of the store's nodes and
// edges (also inside lists and dicts) with null, element by element under the
// write lock of its entry, and refreshes the node's summary there. Every node,
// edge, type and term stays, and so does every other property value: the
// store stays consistent, and other threads using it meanwhile see each map
// before or after its change. The references go to the release queue; values
// stored after an element was passed keep theirs. One writing call on the
// store (store_call.hpp), so it fails only as StoreCall::enter does, having
// changed nothing; once it has the store it runs whole, with the key listing
// on the pool (a poisoned map keeps its references).
Status let_go_of_opaque_values(Graph& graph);

}  // namespace korvale
