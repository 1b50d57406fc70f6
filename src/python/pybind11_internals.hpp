// The one place of the module that reaches into pybind11's internals
// (pybind11::detail). Nothing else names them: the other files use the small
// functions and types below.
//
// pybind11 changes these between releases without notice, and a change may
// still compile and then misread an instance. Each one relied on, and why:
//
//  - detail::type_info, get_type_info(std::type_index, throw_if_missing) and
//    type_info::type: a bound class's record and its Python class, looked up
//    once per class instead of by hashing the C++ type's name on every call
//    (value_instances.hpp).
//  - detail::instance: the flags simple_layout, simple_holder_constructed and
//    owned, simple_value_holder[0] (the value's pointer in the simple layout)
//    and nonsimple.values_and_holders: reading the value of an instance, and
//    telling an instance pybind11 laid out from zeroed memory made by the
//    interpreter alone (instance_checks.hpp).
//  - detail::make_new_instance, instance::get_value_and_holder,
//    detail::value_and_holder (value_ptr, holder, set_holder_constructed,
//    set_instance_registered) and detail::register_instance: what pybind11
//    does when it takes ownership of a new value, without its lookups and,
//    for result references, without its registry of instances
//    (value_instances.hpp, reference_objects.cpp).
//  - detail::type_caster_generic (its members typeinfo and value),
//    detail::const_name, detail::cast_op_type and specialising
//    detail::type_caster: the module's own caster of each of its classes.
//  - detail::apply_exception_translators over
//    get_local_internals().registered_exception_translators, then
//    get_internals().registered_exception_translators, and the text of the
//    SystemError that follows when none takes the exception: a plain method
//    raises what a pybind11 method would (plain_methods.hpp).
//  - get_internals().default_metaclass: the metaclass that the module's
//    classes are made with, or derive theirs from (final_classes.cpp).
//  - detail::pybind11_object_dealloc: the teardown of an instance, called by
//    the module's own dealloc hook (instance_dealloc.cpp).
//
// Before the range checked below is widened, each of these is to be read
// again in the new release's headers (pybind11/detail/common.h, class.h,
// type_caster_base.h, descr.h, internals.h, and pybind11/cast.h and
// pybind11.h) and the whole test suite run on CPython and PyPy.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <new>
#include <typeinfo>
#include <utility>

#if !defined(PYBIND11_VERSION_MAJOR) || !defined(PYBIND11_VERSION_MINOR) || \
    PYBIND11_VERSION_MAJOR != 2 || PYBIND11_VERSION_MINOR != 10
// clang-format off
#error "korvale is known to work with pybind11 2.10.x only (>= 2.10.0, < 2.11.0). For another \
release, check each internal listed at the top of src/python/pybind11_internals.hpp against that \
release's headers, run the tests on CPython and PyPy, then widen this range."
// clang-format on
#endif

namespace korvale::python {

// pybind11's record of a bound class.
using TypeRecord = pybind11::detail::type_info;

// The record of the class bound for `cpp_type`; pybind11's error when there
// is none.
inline const TypeRecord* type_record(const std::type_info& cpp_type) {
  return pybind11::detail::get_type_info(cpp_type, /*throw_if_missing=*/true);
}

// The Python class of a record.
inline PyTypeObject* python_type(const TypeRecord* record) {
  return record->type;
}

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

// The value's pointer in an instance of the simple layout that has_value.
inline void* simple_value(PyObject* object) {
  return reinterpret_cast<pybind11::detail::instance*>(object)->simple_value_holder[0];
}

// What pybind11 does when it takes ownership of a new value (make the
// instance, build its default holder), minus the lookups, and minus the
// registry unless `registered`. The classes are final, so the instance has
// the simple layout with one value and one holder.
template <class T>
pybind11::object new_instance(const TypeRecord* record, T value, bool registered = false) {
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

// The base of a caster of the bound class T: what pybind11 expects of a
// class's caster (its name in signatures, how a loaded argument is handed to
// the function), over a given record. The caster itself loads and casts.
template <class T>
class __attribute__((visibility("hidden"))) ClassCasterBase
    : public pybind11::detail::type_caster_generic {
 public:
  static constexpr auto name = pybind11::detail::const_name<T>();
  template <class U>
  using cast_op_type = pybind11::detail::cast_op_type<U>;

  operator T*() { return static_cast<T*>(value); }   // NOLINT(google-explicit-constructor)
  operator T&() { return *static_cast<T*>(value); }  // NOLINT(google-explicit-constructor)

 protected:
  explicit ClassCasterBase(const TypeRecord* record) : type_caster_generic(record) {}

  // The Python class of the record.
  PyTypeObject* bound_type() const { return typeinfo->type; }
  // What the function receives.
  void set_loaded(T& loaded) { value = std::addressof(loaded); }
};

// Sets the Python error that a pybind11 function sets for the C++ exception
// being handled: the first of the module's translators, then of the global
// ones, that takes it, else SystemError. Call inside a catch block only.
inline void translate_active_exception() {
  namespace detail = pybind11::detail;
  if (detail::apply_exception_translators(
          detail::get_local_internals().registered_exception_translators) ||
      detail::apply_exception_translators(
          detail::get_internals().registered_exception_translators)) {
    return;
  }
  PyErr_SetString(PyExc_SystemError, "Exception escaped from default exception translator!");
}

// The metaclass of pybind11's classes.
inline PyTypeObject* default_metaclass() {
  return pybind11::detail::get_internals().default_metaclass;
}

// pybind11's deallocation of an instance it laid out: destroys the value and
// its holder, leaves the registry, frees the object.
inline void dealloc_laid_out_instance(PyObject* self) {
  pybind11::detail::pybind11_object_dealloc(self);
}

}  // namespace korvale::python

// Makes `Caster` (named with its namespaces) pybind11's caster of `Class`
// (named with its namespaces); at global scope.
#define KORVALE_PYBIND11_CASTER(Class, Caster) \
  namespace pybind11::detail {                 \
  template <>                                  \
  class type_caster<Class> : public Caster {}; \
  }                                            \
  static_assert(true, "a use ends with a semicolon")
