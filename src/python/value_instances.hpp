// Instances of the module's classes made and read without pybind11's per-call
// lookups.
//
// pybind11 finds a class's record by hashing the C++ type's name, for every
// argument it loads and every value it returns. In a call that runs after the
// program did other work, those tables, the name strings and the code that
// walks them are out of the caches, and they are a good part of what a short
// call touches. The classes here are final and each instance owns its one
// value, so the record is looked up once per process.
//
// Values returned through the caster are entered in pybind11's registry of
// C++ pointers, as pybind11's own instances are: an object that only a daemon
// thread's frames hold when the interpreter exits stays reachable from there,
// where the leak checker of the sanitizer builds finds it. Result references
// made in bulk (reference_objects.hpp) stay out of it, which halves the cost
// of making and dropping one.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <new>
#include <typeinfo>
#include <utility>

#include "constants/constant.hpp"
#include "python/instance_checks.hpp"
#include "query/reference.hpp"

namespace korvale::python {

// The pybind11 record of the bound class T; the class must be registered.
template <class T>
const pybind11::detail::type_info* record_of() {
  static const pybind11::detail::type_info* const record =
      pybind11::detail::get_type_info(typeid(T), /*throw_if_missing=*/true);
  return record;
}

// The value that an object of exactly T's class holds; TypeError for an
// instance without one (instance_checks.hpp).
template <class T>
T& held_value(PyObject* object) {
  if (!has_value(object)) refuse_instance_without_value(object);
  return *static_cast<T*>(
      reinterpret_cast<pybind11::detail::instance*>(object)->simple_value_holder[0]);
}

// What pybind11 does when it takes ownership of a new value (make the
// instance, build its default holder), minus the lookups, and minus the
// registry unless `registered`. The classes are final, so the instance has
// the simple layout with one value and one holder.
template <class T>
pybind11::object new_instance(const pybind11::detail::type_info* record, T value,
                              bool registered = false) {
  namespace detail = pybind11::detail;
  auto object =
      pybind11::reinterpret_steal<pybind11::object>(detail::make_new_instance(record->type));
  auto* instance = reinterpret_cast<detail::instance*>(object.ptr());
  detail::value_and_holder slot = instance->get_value_and_holder(record, true);
  slot.value_ptr() = new T(std::move(value));
  instance->owned = true;
  using Holder = std::unique_ptr<T>;
  new (std::addressof(slot.holder<Holder>())) Holder(slot.value_ptr<T>());
  slot.set_holder_constructed();
  if (registered) {
    detail::register_instance(instance, slot.value_ptr(), record);
    slot.set_instance_registered();
  }
  return object;
}

// The caster of such a class: loads an instance of exactly the class (see
// held_value) and returns values as new registered instances.
template <class T>
class __attribute__((visibility("hidden"))) ValueCaster
    : public pybind11::detail::type_caster_generic {
 public:
  static constexpr auto name = pybind11::detail::const_name<T>();
  template <class U>
  using cast_op_type = pybind11::detail::cast_op_type<U>;

  ValueCaster() : type_caster_generic(record_of<T>()) {}

  bool load(pybind11::handle source, bool /*convert*/) {
    PyObject* object = source.ptr();
    if (Py_TYPE(object) != typeinfo->type) return false;
    value = std::addressof(held_value<T>(object));
    return true;
  }
  operator T*() { return static_cast<T*>(value); }   // NOLINT(google-explicit-constructor)
  operator T&() { return *static_cast<T*>(value); }  // NOLINT(google-explicit-constructor)

  static pybind11::handle cast(T&& value, pybind11::return_value_policy, pybind11::handle) {
    return new_instance(record_of<T>(), std::move(value), /*registered=*/true).release();
  }
};

}  // namespace korvale::python

// Gives the class (named with its namespaces, at global scope) the caster above.
#define KORVALE_VALUE_CASTER(Class)                                           \
  namespace pybind11::detail {                                                \
  template <>                                                                 \
  class type_caster<Class> : public ::korvale::python::ValueCaster<Class> {}; \
  }                                                                           \
  static_assert(true, "a use ends with a semicolon")

KORVALE_VALUE_CASTER(korvale::Constant);
KORVALE_VALUE_CASTER(korvale::EdgeRef);
KORVALE_VALUE_CASTER(korvale::NodeRef);
KORVALE_VALUE_CASTER(korvale::TermRef);
KORVALE_VALUE_CASTER(korvale::TypeRef);
