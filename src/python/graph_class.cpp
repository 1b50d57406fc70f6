// The Python class "Graph": builds a store with its declared constants, opens
// queries on it, lists its nodes and edges and sets their properties in bulk.
// Python objects are read and made here, on the calling thread; the core does
// the per-element work on the pool.
#include <string>
#include <utility>
#include <vector>

#include "constants/constant.hpp"
#include "python/classes.hpp"
#include "python/conversions.hpp"
#include "python/final_classes.hpp"
#include "python/plain_methods.hpp"
#include "python/py_errors.hpp"
#include "python/releases.hpp"
#include "python/value_instances.hpp"
#include "python/without_gil.hpp"
#include "query/bulk_operations.hpp"
#include "text/hex_to_uid.hpp"

namespace korvale::python {

namespace {

// The interpreter reads a signature from the start of a docstring. The class
// carries the constructor's text; inspect.signature reads __init__'s.
constexpr const char* kGraphDoc = "Graph(constants=None)\n--\n\n";
constexpr const char* kInitDoc = "__init__(self, constants=None)\n--\n\n";
constexpr const char* kQueryDoc = "query(self)\n--\n\n";
constexpr const char* kNodesDoc = "nodes(self)\n--\n\n";
constexpr const char* kEdgesDoc = "edges(self)\n--\n\n";
constexpr const char* kSetNodeDoc = "set_node_properties(self, map, overwrite=True)\n--\n\n";
constexpr const char* kSetEdgeDoc = "set_edge_properties(self, map, overwrite=True)\n--\n\n";

struct PyGraph {
  GraphPtr graph;
  // A store still alive at interpreter exit lets go of its Python objects.
  [[no_unique_address]] LiveStore live = LiveStore::of(graph);
};

}  // namespace
}  // namespace korvale::python

KORVALE_VALUE_CASTER(korvale::python::PyGraph);

namespace korvale::python {
namespace {

bool is_sequence(py::handle object) {
  if (PySequence_Check(object.ptr())) return true;
  py::object abc = py::module_::import("collections.abc").attr("Sequence");
  const int is_instance = PyObject_IsInstance(object.ptr(), abc.ptr());
  if (is_instance < 0) throw py::error_already_set();
  return is_instance == 1;
}

// Copies of the given constants, in sequence order. A str is refused although
// it is a sequence: its items would be one-character strs.
std::vector<Constant> constants_argument(const py::object& constants) {
  if (constants.is_none()) return {};
  if (PyUnicode_Check(constants.ptr())) {
    raise_argument_error("constants", "Can't extract `str` to `Vec`");
  }
  if (!is_sequence(constants)) {
    raise_argument_error("constants", cast_reason(constants, "Sequence"));
  }
  std::vector<Constant> copies;
  try {
    for (py::handle item : py::iter(constants)) {
      if (!py::isinstance<Constant>(item)) {
        raise_argument_error("constants", cast_reason(item, "Constant"));
      }
      copies.push_back(item.cast<const Constant&>());
    }
  } catch (py::error_already_set& error) {
    // A sequence whose iteration fails with a TypeError gets the argument's
    // name like every other conversion failure of the argument.
    if (!error.matches(PyExc_TypeError)) throw;
    const std::string text = exception_text(error.value());
    if (text.rfind("argument 'constants': ", 0) == 0) throw;
    raise_argument_error("constants", text);
  }
  return copies;
}

PyGraph make_graph(const py::object& constants) {
  ReleaseGuard guard;
  return PyGraph{std::make_shared<Graph>(constants_argument(constants))};
}

template <class Refs>
py::list list_of(Refs refs) {
  py::list list;
  for (auto& ref : refs) list.append(py::cast(std::move(ref)));
  return list;
}

// A snapshot of the dict's items: converting values can make Python objects,
// and so run the collector, whose finalisers could change the dict.
py::list dict_items(const py::object& map) {
  if (!PyDict_Check(map.ptr())) {
    PyErr_SetString(PyExc_TypeError, cast_reason(map, "dict").c_str());
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::list>(PyDict_Items(map.ptr()));
}

Uid uid_of(const std::string& text, const char* line) {
  Result<Uid> uid = hex_str_to_uid(text);
  if (!uid) raise_report(std::move(uid.error()).attach(line));
  return *uid;
}

PropertyMap property_map_argument(py::handle value, const char* line) {
  Result<PropertyMap> map = property_map_new(value);
  if (!map) raise_report(std::move(map.error()).attach(line));
  return std::move(*map);
}

EdgeUid edge_key(py::handle key) {
  if (!PyTuple_Check(key.ptr())) {
    PyErr_SetString(PyExc_TypeError, cast_reason(key, "tuple").c_str());
    throw py::error_already_set();
  }
  const Py_ssize_t length = PyTuple_GET_SIZE(key.ptr());
  if (length != 2) {
    const std::string text =
        "expected tuple of length 2, but got tuple of length " + std::to_string(length);
    PyErr_SetString(PyExc_TypeError, text.c_str());
    throw py::error_already_set();
  }
  const std::string start = str_value(PyTuple_GET_ITEM(key.ptr(), 0));
  const std::string end = str_value(PyTuple_GET_ITEM(key.ptr(), 1));
  return EdgeUid{uid_of(start, "graph - set node properties [src/graph/base:961]"),
                 uid_of(end, "graph - set node properties [src/graph/base:964]")};
}

// Every key and value is converted before anything reaches the store: a bad
// entry anywhere in the dict leaves the store unchanged.
void set_node_properties(const PyGraph& self, const py::object& map, const py::object& overwrite) {
  ReleaseGuard guard;
  const bool replace = bool_argument(overwrite, "overwrite");
  const py::list items = dict_items(map);
  NodePropertyUpdates updates;
  for (py::handle item : items) {
    const std::string key = str_value(PyTuple_GET_ITEM(item.ptr(), 0));
    const Uid uid = uid_of(key, "graph - set node properties [src/graph/base:928]");
    updates.insert(uid, property_map_argument(PyTuple_GET_ITEM(item.ptr(), 1),
                                              "graph - set node properties [src/graph/base:931]"));
  }
  into_py_result(without_gil([&] { return apply_node_properties(*self.graph, updates, replace); }));
}

void set_edge_properties(const PyGraph& self, const py::object& map, const py::object& overwrite) {
  ReleaseGuard guard;
  const bool replace = bool_argument(overwrite, "overwrite");
  const py::list items = dict_items(map);
  EdgePropertyUpdates updates;
  for (py::handle item : items) {
    const EdgeUid edge = edge_key(PyTuple_GET_ITEM(item.ptr(), 0));
    updates.insert(edge, property_map_argument(PyTuple_GET_ITEM(item.ptr(), 1),
                                               "graph - set node properties [src/graph/base:967]"));
  }
  into_py_result(without_gil([&] { return apply_edge_properties(*self.graph, updates, replace); }));
}

py::object start_query(const PyGraph& self) {
  ReleaseGuard guard;
  return new_query_object(self.graph);
}

}  // namespace

void register_graph_class(py::module_& module) {
  // pybind11 would prepend its own signature lines to the docstrings.
  py::options options;
  options.disable_function_signatures();

  py::class_<PyGraph> cls(module, "Graph", py::is_final(), final_metaclass(), kGraphDoc);
  cls.def(py::init(&make_graph), py::arg("constants") = py::none(), kInitDoc);
  // Every query starts here: a plain method (plain_methods.hpp).
  set_plain_method<"query", PlainArguments::kSelf, &start_query>(cls, kQueryDoc);
  cls.def(
         "nodes",
         [](const PyGraph& self) {
           ReleaseGuard guard;
           return list_of(into_py_result(without_gil([&] { return list_nodes(self.graph); })));
         },
         kNodesDoc)
      .def(
          "edges",
          [](const PyGraph& self) {
            ReleaseGuard guard;
            return list_of(into_py_result(without_gil([&] { return list_edges(self.graph); })));
          },
          kEdgesDoc)
      .def("set_node_properties", &set_node_properties, py::arg("map"),
           py::arg("overwrite") = py::bool_(true), kSetNodeDoc)
      .def("set_edge_properties", &set_edge_properties, py::arg("map"),
           py::arg("overwrite") = py::bool_(true), kSetEdgeDoc);
  module.attr("__all__").cast<py::list>().append("Graph");
}

}  // namespace korvale::python
