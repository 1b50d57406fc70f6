#include "python/releases.hpp"

#include <Python.h>

#include <vector>

#include "properties/opaque.hpp"

namespace korvale::python {

void drain_released_opaques() {
  std::vector<void*> released = take_released_opaques();
  if (released.empty()) return;
  // A finaliser must not see (or clobber) the exception on its way to Python.
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  while (!released.empty()) {
    for (void* object : released) Py_DECREF(static_cast<PyObject*>(object));
    released = take_released_opaques();
  }
  PyErr_Restore(type, value, traceback);
}

}  // namespace korvale::python
