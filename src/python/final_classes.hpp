// Final classes on every interpreter: the module's classes cannot be
// subclassed (pybind11's is_final clears the base-type flag, which not every
// interpreter honours).
#pragma once

#include <pybind11/pybind11.h>

namespace korvale::python {

namespace py = pybind11;

// The metaclass to make each of the module's classes with, next to
// py::is_final(). Where the interpreter ignores the base-type flag, it refuses
// a class statement naming one of them as a base with TypeError "type
// 'korvale.Name' is not an acceptable base type", before the class exists:
// an instance of such a class would lack the C++ object its methods expect.
// Elsewhere it is pybind11's own metaclass.
py::metaclass final_metaclass();

// Makes a class made with final_metaclass() refuse every later change of its
// attributes where the interpreter ignores Py_TPFLAGS_IMMUTABLETYPE.
void seal_class(py::handle cls);

}  // namespace korvale::python
