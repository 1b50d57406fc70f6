#include "python/class_guards.hpp"

#include <string>

#include "python/final_classes.hpp"
#include "python/instance_checks.hpp"
#include "python/instance_dealloc.hpp"
#include "python/releases.hpp"

namespace korvale::python {

namespace py = pybind11;

namespace {

PyTypeObject* type_of(py::module_& module, const char* name) {
  return reinterpret_cast<PyTypeObject*>(module.attr(name).ptr());
}

// "Query()" then fails with the interpreter's TypeError, and the base's
// __new__ refuses the class as not safe.
void forbid_instantiation(PyTypeObject* type) {
  type->tp_new = nullptr;
#if defined(Py_TPFLAGS_DISALLOW_INSTANTIATION)  // not in every interpreter's headers
  type->tp_flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
#endif
}

// A second __init__ on a made instance is ignored by pybind11, so the call
// that follows from type.__call__ changes nothing.
PyObject* new_and_init(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* self = type->tp_base->tp_new(type, args, kwargs);
  if (self == nullptr) return nullptr;
  if (type->tp_init(self, args, kwargs) < 0) {
    Py_DECREF(self);
    return nullptr;
  }
  return self;
}

[[noreturn]] void raise_type_error(const std::string& text) {
  PyErr_SetString(PyExc_TypeError, text.c_str());
  throw py::error_already_set();
}

// PyPy's object.__new__ makes an instance that pybind11 never laid out, whose
// __init__ would read that null layout: there each constructor's __init__ is
// this function, which refuses such an instance first. It is a function of
// the C API, bound as pybind11 binds methods: pybind11 would take a function
// of its own named __init__ for a constructor and read the layout itself.
struct CheckedInit {
  PyTypeObject* type;
  PyObject* init;   // pybind11's
  std::string doc;  // the signature, made from the class's
  PyMethodDef method;
};

// `entry` is a capsule of the class's CheckedInit; `args` starts with self.
// The release guard is the __init__'s that this one calls.
PyObject* checked_init(PyObject* entry, PyObject* args, PyObject* kwargs) {
  const auto* checked = static_cast<const CheckedInit*>(PyCapsule_GetPointer(entry, nullptr));
  PyObject* self = PyTuple_GET_SIZE(args) > 0 ? PyTuple_GET_ITEM(args, 0) : nullptr;
  // Any other self is pybind11's to refuse.
  if (self != nullptr && Py_TYPE(self) == checked->type && !is_laid_out(self)) {
    PyErr_SetString(PyExc_TypeError, no_value_text(self).c_str());
    return nullptr;
  }
  return PyObject_Call(checked->init, args, kwargs);
}

[[maybe_unused]] void check_init_at_python_level(py::module_& module, py::handle set_attribute) {
  for (const char* name : {"Graph", "Constant"}) {
    py::object cls = module.attr(name);
    // Lives as long as the process, and so do its references (never given
    // back after the interpreter is gone).
    auto* entry = new CheckedInit{reinterpret_cast<PyTypeObject*>(cls.ptr()),
                                  py::object(cls.attr("__init__")).release().ptr(),
                                  "",
                                  {}};
    // PyPy shows no docstring of a method read from the class.
    const std::string parameters = cls.attr("__text_signature__").cast<std::string>();
    entry->doc = "__init__(self" + std::string(parameters.size() > 2 ? ", " : "") +
                 parameters.substr(1) + "\n--\n\n";
    entry->method = {"__init__",
                     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&checked_init)),
                     METH_VARARGS | METH_KEYWORDS, entry->doc.c_str()};
    py::capsule capsule(static_cast<void*>(entry));
    auto function = py::reinterpret_steal<py::object>(
        PyCFunction_NewEx(&entry->method, capsule.ptr(), module.attr("__name__").ptr()));
    if (!function) throw py::error_already_set();
    auto method = py::reinterpret_steal<py::object>(PyInstanceMethod_New(function.ptr()));
    if (!method) throw py::error_already_set();
    set_attribute(cls, "__init__", method);
  }
}

// PyPy keeps its own view of a type and ignores changes to tp_new and to the
// flags above; there the same guards are class attributes, set before the
// class is sealed.
[[maybe_unused]] void guard_at_python_level(py::module_& module) {
  py::object set_attribute = py::module_::import("builtins").attr("type").attr("__setattr__");
  for (const char* name : {"Query", "Edge", "Node", "Term", "Type"}) {
    const std::string text = std::string("cannot create 'korvale.") + name + "' instances";
    set_attribute(module.attr(name), "__new__",
                  py::staticmethod(py::cpp_function([text](const py::args&, const py::kwargs&) {
                    ReleaseGuard guard;
                    raise_type_error(text);
                  })));
  }
  for (const char* name : {"Graph", "Constant"}) {
    py::object cls = module.attr(name);
    py::object allocate = cls.attr("__mro__")[py::int_(1)].attr("__new__");
    set_attribute(cls, "__new__",
                  py::staticmethod(py::cpp_function(
                      [allocate](py::object type, const py::args& args, const py::kwargs& kwargs) {
                        ReleaseGuard guard;
                        py::object self = allocate(type);
                        type.attr("__init__")(self, *args, **kwargs);
                        return self;
                      })));
  }
  check_init_at_python_level(module, set_attribute);
  // Without an instance layout PyPy's copy and pickle would take the object
  // apart; CPython refuses them with this text.
  for (py::handle name : module.attr("__all__")) {
    const std::string text = "cannot pickle 'korvale." + name.cast<std::string>() + "' object";
    py::object cls = module.attr(name);
    set_attribute(cls, "__reduce_ex__",
                  py::cpp_function(
                      [text](py::handle, py::handle) {
                        ReleaseGuard guard;
                        raise_type_error(text);
                      },
                      py::is_method(cls)));
  }
}

}  // namespace

void guard_classes(py::module_& module) {
  for (const char* name : {"Query", "Edge", "Node", "Term", "Type"}) {
    forbid_instantiation(type_of(module, name));
  }
  for (const char* name : {"Graph", "Constant"}) type_of(module, name)->tp_new = &new_and_init;
#if defined(PYPY_VERSION)
  guard_at_python_level(module);
#endif
  for (const char* name : {"Graph", "Query", "Edge", "Node", "Term", "Type", "Constant"}) {
    PyTypeObject* type = type_of(module, name);
    release_on_dealloc(type);
#if defined(Py_TPFLAGS_IMMUTABLETYPE)
    type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
#endif
    PyType_Modified(type);
    seal_class(module.attr(name));
  }
}

}  // namespace korvale::python
