// Keeps Python from ever reaching an instance whose C++ value was not made.
// pybind11's __new__ only allocates; the value is made by __init__, and a
// method called on an instance that skipped __init__ would read raw memory.
#pragma once

#include <pybind11/pybind11.h>

namespace korvale::python {

// Run once the module's classes are registered: the classes without a
// constructor lose __new__ altogether (their instances come only from the
// module's own methods), the others make their value within __new__, and no
// class attribute can be changed afterwards, so neither can be undone. Every
// class also deallocates through release_on_dealloc.
void guard_classes(pybind11::module_& module);

}  // namespace korvale::python
