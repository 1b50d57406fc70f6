// Every module class refuses an instance that has no C++ value behind it.
//
// The interpreter can make one without the module: PyPy's object.__new__
// gives an instance of zeroed memory, which pybind11 would read as a layout
// of null pointers. Each class's caster (value_instances.hpp) therefore looks
// at the instance whenever a method, slot or cast loads it (self and other
// arguments alike), and raises TypeError instead.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace korvale::python {

// True when the instance holds its value. The module's classes are final and
// hold one value each, so every instance the module made has pybind11's simple
// layout, and its holder is made together with the value.
inline bool has_value(PyObject* object) {
  const auto* instance = reinterpret_cast<const pybind11::detail::instance*>(object);
  return instance->simple_layout && instance->simple_holder_constructed;
}

// True when pybind11 laid the instance out (made or about to be made by its
// __init__); false for the zeroed memory of an instance made elsewhere.
inline bool is_laid_out(PyObject* object) {
  const auto* instance = reinterpret_cast<const pybind11::detail::instance*>(object);
  return instance->simple_layout || instance->nonsimple.values_and_holders != nullptr;
}

// "korvale.Name object has no value: instances are made by the module", for
// the instance's class.
std::string no_value_text(PyObject* object);

// Throws TypeError with no_value_text(object).
[[noreturn]] void refuse_instance_without_value(PyObject* object);

}  // namespace korvale::python
