// Every module class refuses an instance that has no C++ value behind it.
//
// The interpreter can make one without the module: PyPy's object.__new__
// gives an instance of zeroed memory, which pybind11 would read as a layout
// of null pointers. Each class's caster (value_instances.hpp) therefore looks
// at the instance whenever a method, slot or cast loads it (self and other
// arguments alike), and raises TypeError instead. The looks themselves,
// has_value and is_laid_out, read pybind11's layout (pybind11_internals.hpp).
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "python/pybind11_internals.hpp"

namespace korvale::python {

// "korvale.Name" for the module's class `type`, on every interpreter.
std::string module_class_name(PyTypeObject* type);

// "korvale.Name object has no value: instances are made by the module", for
// the instance's class.
std::string no_value_text(PyObject* object);

// Throws TypeError with no_value_text(object).
[[noreturn]] void refuse_instance_without_value(PyObject* object);

}  // namespace korvale::python
