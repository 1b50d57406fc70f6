#include "python/instance_dealloc.hpp"

#include <pybind11/pybind11.h>

#include "python/instance_checks.hpp"
#include "python/pybind11_internals.hpp"
#include "python/releases.hpp"

namespace korvale::python {

namespace {

// What pybind11_object_dealloc does after its teardown of the value.
void free_bare_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

extern "C" void dealloc_and_release(PyObject* self) {
  if (is_laid_out(self)) {
    dealloc_laid_out_instance(self);
  } else {
    free_bare_instance(self);
  }
  // Cheap when nothing is queued, which is the rule: result rows free their
  // reference objects by the thousand.
  drain_released_opaques();
}

}  // namespace

void release_on_dealloc(PyTypeObject* type) {
  // Read by the interpreter at each deallocation, on PyPy too.
  type->tp_dealloc = &dealloc_and_release;
}

}  // namespace korvale::python
