// Instances of the module's classes made and read without pybind11's per-call
// lookups.
//
// pybind11 finds a class's record by hashing the C++ type's name, for every
// argument it loads and every value it returns. In a call that runs after the
// program did other work, those tables, the name strings and the code that
// walks them are out of the caches, and they are a good part of what a short
// call touches. The classes here are final and each instance owns its one
// value, so the record is looked up once per process. How an instance is
// made and read is pybind11's own (pybind11_internals.hpp).
//
// Values returned through the caster are entered in pybind11's registry of
// C++ pointers, as pybind11's own instances are: an object that only a daemon
// thread's frames hold when the interpreter exits stays reachable from there,
// where the leak checker of the sanitizer builds finds it. Result references
// made in bulk (reference_objects.hpp) stay out of it, which halves the cost
// of making and dropping one.
#pragma once

#include <pybind11/pybind11.h>

#include <typeinfo>
#include <utility>

#include "constants/constant.hpp"
#include "python/instance_checks.hpp"
#include "python/pybind11_internals.hpp"
#include "query/reference.hpp"

namespace korvale::python {

// The pybind11 record of the bound class T; the class must be registered.
template <class T>
const TypeRecord* record_of() {
  static const TypeRecord* const record = type_record(typeid(T));
  return record;
}

// The value that an object of exactly T's class holds; TypeError for an
// instance without one (instance_checks.hpp).
template <class T>
T& held_value(PyObject* object) {
  if (!has_value(object)) refuse_instance_without_value(object);
  return *static_cast<T*>(simple_value(object));
}

// The caster of such a class: loads an instance of exactly the class (see
// held_value) and returns values as new registered instances (new_instance,
// pybind11_internals.hpp).
template <class T>
class __attribute__((visibility("hidden"))) ValueCaster : public ClassCasterBase<T> {
 public:
  ValueCaster() : ClassCasterBase<T>(record_of<T>()) {}

  bool load(pybind11::handle source, bool /*convert*/) {
    PyObject* object = source.ptr();
    if (Py_TYPE(object) != this->bound_type()) return false;
    this->set_loaded(held_value<T>(object));
    return true;
  }

  static pybind11::handle cast(T&& value, pybind11::return_value_policy, pybind11::handle) {
    return new_instance(record_of<T>(), std::move(value), /*registered=*/true).release();
  }
};

}  // namespace korvale::python

// Gives the class (named with its namespaces, at global scope) the caster above.
#define KORVALE_VALUE_CASTER(Class) \
  KORVALE_PYBIND11_CASTER(Class, ::korvale::python::ValueCaster<Class>)

KORVALE_VALUE_CASTER(korvale::Constant);
KORVALE_VALUE_CASTER(korvale::EdgeRef);
KORVALE_VALUE_CASTER(korvale::NodeRef);
KORVALE_VALUE_CASTER(korvale::TermRef);
KORVALE_VALUE_CASTER(korvale::TypeRef);
