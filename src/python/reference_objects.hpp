// Python reference objects made in bulk, for result rows, without pybind11's
// per-object lookups (see value_instances.hpp).
#pragma once

#include <pybind11/pybind11.h>

#include "graph/graph.hpp"
#include "matches/match_element.hpp"
#include "python/pybind11_internals.hpp"

namespace korvale::python {

class __attribute__((visibility("hidden"))) ReferenceMaker {
 public:
  // Needs the interpreter lock and the reference classes registered.
  ReferenceMaker();

  // A new "Edge", "Node", "Term" or "Type" for the element, holding a new
  // handle to `graph`. Raises when the interpreter cannot make the object.
  pybind11::object operator()(const GraphPtr& graph, const MatchElement& element) const;

 private:
  const TypeRecord* edge_;
  const TypeRecord* node_;
  const TypeRecord* term_;
  const TypeRecord* type_;
};

}  // namespace korvale::python
