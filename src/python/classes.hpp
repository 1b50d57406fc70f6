// Registration of the module's classes. Each function creates its class on
// the module and appends the class's name to the module's __all__.
#pragma once

#include <pybind11/pybind11.h>

namespace korvale::python {

// "Constant": Constant(name, type_schema), read-only attribute `name`.
void register_constant_class(pybind11::module_& module);

}  // namespace korvale::python
