// Conversions between Python objects and property values and maps. All of
// them need the interpreter lock and run on the calling thread.
#pragma once

#include <pybind11/pybind11.h>

#include "errors/report.hpp"
#include "properties/dynamic.hpp"
#include "properties/property_map.hpp"

namespace korvale::python {

namespace py = pybind11;

// The value of a Python object. Tests, first match wins: exactly bool; int or
// a subclass (signed 64-bit range, else the interpreter's OverflowError); exactly
// float; str or a subclass (its UTF-8 text); list or a subclass; dict or a
// subclass with str keys; anything else becomes an opaque reference to the
// object itself. Overridden methods of subclasses are not called. Fails with a
// PythonError report carrying the context lines of the levels it passed; a
// list or dict that contains itself or nests deeper than kMaxValueDepth fails
// the same way. Whatever was converted before a failure is released.
Result<Dynamic> py_to_rhai(py::handle object);

// A new Python object for the value: the referred object itself for an opaque
// reference, None for null, new objects otherwise (dicts in key order). Fails
// only when the interpreter cannot make an object.
Result<py::object> rhai_to_py(Dynamic value);

// PropertyMap::new: a new map from a Python dict (converted whole first, so a
// failure anywhere inside is reported even when the root is no dict).
Result<PropertyMap> property_map_new(py::handle object);

// A new dict with the map's entries in key order. Raises (throws
// py::error_already_set with the exception set): a report as its Python
// exception class, an interpreter failure unchanged.
py::dict property_map_to_dict(const PropertyMap& map);

}  // namespace korvale::python
