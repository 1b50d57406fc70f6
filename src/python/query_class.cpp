// The Python class "Query": converts the clause arguments, hands them to the
// core query and turns result rows into lists of dicts of references.
#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "python/classes.hpp"
#include "python/conversions.hpp"
#include "python/final_classes.hpp"
#include "python/plain_methods.hpp"
#include "python/py_errors.hpp"
#include "python/reference_objects.hpp"
#include "python/releases.hpp"
#include "python/value_instances.hpp"
#include "python/without_gil.hpp"
#include "query/query.hpp"

namespace korvale::python {

namespace {

constexpr const char* kCreateDoc = "create(self, pattern)\n--\n\n";
constexpr const char* kMatchDoc = "match(self, pattern)\n--\n\n";
constexpr const char* kRemoveDoc = "remove(self, *variables)\n--\n\n";
constexpr const char* kSetDoc = "set(self, variable, properties, overwrite=True)\n--\n\n";
constexpr const char* kExecuteDoc = "execute(self)\n--\n\n";
constexpr const char* kReturnDoc = "return_(self, *variables)\n--\n\n";

// The Python-side query: the core query plus the record of current uses.
// Clause methods append to the query and need the object to themselves;
// execute, return_ and the text form only read it and share it (several
// threads may run one query at once, since the run gives up the interpreter
// lock). A call that overlaps an incompatible use (another thread's, or a
// finaliser's run while the module gives back released references) is
// refused instead of seeing a half-made change.
//
// The uses are counted under the interpreter lock. A fork copies the counts
// of calls that other threads were making, which the child never ends: the
// counts belong to a generation of uses, and the child starts a new one that
// holds only the forking thread's own uses.
struct PyQuery {
  Query query;
  int shared_uses = 0;
  bool in_exclusive_use = false;
  std::uint64_t generation = 0;  // of the counts above
};

// The generation of uses of this process (under the interpreter lock).
std::uint64_t use_generation = 0;

}  // namespace
}  // namespace korvale::python

KORVALE_VALUE_CASTER(korvale::python::PyQuery);

namespace korvale::python {
namespace {

class Use {
 public:
  enum Kind { kShared, kExclusive };
  Use(PyQuery& self, Kind kind) : self_(self), kind_(kind), outer_(innermost) {
    refresh(self);
    if (self.in_exclusive_use || (kind == kExclusive && self.shared_uses > 0)) {
      PyErr_SetString(PyExc_RuntimeError, "the query is already in use by another call");
      throw py::error_already_set();
    }
    count(+1);
    innermost = this;
  }
  ~Use() {
    innermost = outer_;
    if (generation_ == self_.generation) count(-1);
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

  // In a child of fork(): a new generation, holding the uses of this thread,
  // the only one the child has.
  static void keep_only_this_threads() {
    ++use_generation;
    for (Use* use = innermost; use != nullptr; use = use->outer_) {
      refresh(use->self_);
      use->generation_ = use_generation;
      use->count(+1);
    }
  }

 private:
  // Counts of an earlier generation belong to calls the process no longer has.
  static void refresh(PyQuery& query) {
    if (query.generation == use_generation) return;
    query.shared_uses = 0;
    query.in_exclusive_use = false;
    query.generation = use_generation;
  }
  void count(int step) {
    if (kind_ == kExclusive) {
      self_.in_exclusive_use = step > 0;
    } else {
      self_.shared_uses += step;
    }
  }

  // This thread's uses, innermost first.
  static thread_local Use* innermost;

  PyQuery& self_;
  Kind kind_;
  std::uint64_t generation_ = use_generation;
  Use* outer_;
};

thread_local Use* Use::innermost = nullptr;

// The items of a tuple of variable names from position `first` on.
std::vector<std::string> names_of(PyObject* variables, Py_ssize_t first = 0) {
  const Py_ssize_t count = PyTuple_GET_SIZE(variables);
  std::vector<std::string> names;
  names.reserve(static_cast<std::size_t>(std::max<Py_ssize_t>(0, count - first)));
  for (Py_ssize_t i = first; i < count; ++i) {
    names.push_back(str_argument(PyTuple_GET_ITEM(variables, i), "variables"));
  }
  return names;
}

PyQuery record_pattern(PyQuery& self, const py::object& pattern, bool create) {
  Use use(self, Use::kExclusive);
  ReleaseGuard guard;
  std::string text = str_argument(pattern, "pattern");
  Result<Query> next =
      create ? self.query.create(std::move(text)) : self.query.match(std::move(text));
  return PyQuery{into_py_result(std::move(next))};
}

PyQuery record_set(PyQuery& self, const py::object& variable, const py::object& properties,
                   const py::object& overwrite) {
  Use use(self, Use::kExclusive);
  ReleaseGuard guard;
  std::string name = str_argument(variable, "variable");
  const bool replace = bool_argument(overwrite, "overwrite");
  Result<PropertyMap> map = property_map_new(properties);
  if (!map) raise_report(std::move(map.error()).attach("query - set [src/query/base:286]"));
  return PyQuery{self.query.set(std::move(name), std::move(*map), replace)};
}

// One dict per row; the keys are made once and shared by all rows.
py::list rows_to_list(const GraphPtr& graph, const ResultTable& table) {
  const ReferenceMaker make_reference;
  std::vector<py::str> keys(table.names.begin(), table.names.end());
  auto list = py::reinterpret_steal<py::list>(PyList_New(0));
  if (!list) throw py::error_already_set();
  for (std::size_t row = 0; row < table.row_count; ++row) {
    auto dict = py::reinterpret_steal<py::dict>(PyDict_New());
    if (!dict) throw py::error_already_set();
    for (std::size_t column = 0; column < keys.size(); ++column) {
      py::object reference = make_reference(graph, table.at(row, column));
      if (PyDict_SetItem(dict.ptr(), keys[column].ptr(), reference.ptr()) < 0) {
        throw py::error_already_set();
      }
    }
    if (PyList_Append(list.ptr(), dict.ptr()) < 0) throw py::error_already_set();
  }
  return list;
}

py::none execute_query(PyQuery& query) {
  Use use(query, Use::kShared);
  ReleaseGuard guard;
  // Without clauses there is nothing to wait for.
  if (!query.query.operations().empty()) {
    into_py_result(without_gil([&] { return query.query.execute(); }));
  }
  return py::none();
}

// `arguments` is (self, *variables).
py::list return_rows(PyQuery& query, PyObject* arguments) {
  Use use(query, Use::kShared);
  ReleaseGuard guard;
  const std::vector<std::string> names = names_of(arguments, 1);
  const ResultTable table = into_py_result(without_gil([&] { return query.query.return_(names); }));
  return rows_to_list(query.query.graph(), table);
}

}  // namespace

void register_query_class(py::module_& module) {
  // pybind11 would prepend its own signature lines to the docstrings.
  py::options options;
  options.disable_function_signatures();

  py::class_<PyQuery> cls(module, "Query", py::is_final(), final_metaclass(), "");
  cls.def(
         "create",
         [](PyQuery& self, const py::object& pattern) {
           return record_pattern(self, pattern, true);
         },
         py::arg("pattern"), kCreateDoc)
      .def(
          "match",
          [](PyQuery& self, const py::object& pattern) {
            return record_pattern(self, pattern, false);
          },
          py::arg("pattern"), kMatchDoc)
      .def(
          "remove",
          [](PyQuery& self, const py::args& variables) {
            Use use(self, Use::kExclusive);
            ReleaseGuard guard;
            return PyQuery{self.query.remove(names_of(variables.ptr()))};
          },
          kRemoveDoc)
      .def("set", &record_set, py::arg("variable"), py::arg("properties"),
           py::arg("overwrite") = py::bool_(true), kSetDoc)
      .def("__str__", [](PyQuery& self) {
        Use use(self, Use::kShared);
        ReleaseGuard guard;
        return py::str(self.query.to_string());
      });
  // Every query ends with one of these: plain methods (plain_methods.hpp).
  set_plain_method<"execute", PlainArguments::kSelf, &execute_query>(cls, kExecuteDoc);
  set_plain_method<"return_", PlainArguments::kSelfAndVariadic, &return_rows>(cls, kReturnDoc);
  module.attr("__all__").cast<py::list>().append("Query");
}

void keep_only_this_threads_query_uses() {
  Use::keep_only_this_threads();
}

// Made by the "Graph" class: an empty query over its store.
py::object new_query_object(GraphPtr graph) {
  return py::cast(PyQuery{Query(std::move(graph))});
}

}  // namespace korvale::python
