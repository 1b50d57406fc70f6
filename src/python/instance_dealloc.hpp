// The deallocation of the module's instances: gives back the Python objects
// that the freed value held, and frees an instance without a value safely.
#pragma once

#include <Python.h>

namespace korvale::python {

// Makes the class's instances, once pybind11 has destroyed their value (and
// with it maybe the last handle to a store), give back the references queued
// meanwhile, with no lock held. An instance that pybind11 never laid out
// (PyPy's object.__new__ makes one of zeroed memory) is freed without
// pybind11's teardown, which would read its null layout.
void release_on_dealloc(PyTypeObject* type);

}  // namespace korvale::python
