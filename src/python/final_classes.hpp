// Final classes on every interpreter: the module's classes cannot be
// subclassed (pybind11's is_final clears the base-type flag, which not every
// interpreter honours).
#pragma once

#include <pybind11/pybind11.h>

namespace korvale::python {

namespace py = pybind11;

// Makes every class named in the module's __all__ refuse subclasses with
// TypeError "type 'korvale.Name' is not an acceptable base type", where the
// interpreter would not. Call once, after the classes are registered.
void refuse_subclasses(py::module_& module);

}  // namespace korvale::python
