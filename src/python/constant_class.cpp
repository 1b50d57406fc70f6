// The Python class "Constant": a declared constant made from a name and a type
// schema text. The class only converts; the core compiles the schema.
#include <string>
#include <utility>

#include "constants/constant.hpp"
#include "python/classes.hpp"
#include "python/final_classes.hpp"
#include "python/py_errors.hpp"
#include "python/releases.hpp"

namespace korvale::python {

namespace {

// The interpreter reads a signature from the start of a docstring: the name,
// the parameter list, then "\n--\n\n". The class carries the constructor's
// signature text; inspect.signature reads the one of __init__, whose first
// parameter it drops.
constexpr const char* kConstantDoc = "Constant(name, type_schema)\n--\n\n";
constexpr const char* kInitDoc = "__init__(self, name, type_schema)\n--\n\n";

Constant make_constant(const py::object& name, const py::object& type_schema) {
  ReleaseGuard guard;
  // Both arguments are converted before anything is compiled, in order.
  std::string name_text = str_argument(name, "name");
  std::string schema_text = str_argument(type_schema, "type_schema");
  return into_py_result(Constant::new_(std::move(name_text), std::move(schema_text)));
}

}  // namespace

void register_constant_class(py::module_& module) {
  // pybind11 would prepend its own signature lines to the docstrings.
  py::options options;
  options.disable_function_signatures();

  py::class_<Constant>(module, "Constant", py::is_final(), final_metaclass(), kConstantDoc)
      .def(py::init(&make_constant), py::arg("name"), py::arg("type_schema"), kInitDoc)
      .def_property_readonly("name", [](const Constant& constant) {
        ReleaseGuard guard;
        return py::str(constant.name);
      });
  module.attr("__all__").cast<py::list>().append("Constant");
}

}  // namespace korvale::python
