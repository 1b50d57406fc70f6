// Registration of the module's classes. Each function creates its class(es)
// on the module and appends the class names to the module's __all__.
#pragma once

#include <pybind11/pybind11.h>

#include "python/live_stores.hpp"  // kept by the "Graph" class
#include "python/value_instances.hpp"
#include "query/reference.hpp"

namespace korvale::python {

// "Graph": Graph(constants=None), the one way to reach a store.
void register_graph_class(pybind11::module_& module);

// "Query": clause recording, execute and return_.
void register_query_class(pybind11::module_& module);

// "Edge", "Node", "Term" and "Type", in this order.
void register_reference_classes(pybind11::module_& module);

// "Constant": Constant(name, type_schema), read-only attribute `name`.
void register_constant_class(pybind11::module_& module);

// For the child of a fork: forgets the uses of queries that the parent's
// other threads were making (the child does not have those threads).
void keep_only_this_threads_query_uses();

// A new "Query" over the store with no clauses.
pybind11::object new_query_object(GraphPtr graph);

}  // namespace korvale::python
