// Every module class refuses an instance that has no C++ value behind it.
//
// The interpreter can make one without the module: PyPy's object.__new__
// gives an instance of zeroed memory, which pybind11 would read as a layout
// of null pointers. Each class's caster therefore looks at the instance
// before pybind11 does, whenever a method, slot or cast loads it (self and
// other arguments alike), and raises TypeError instead.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <type_traits>

#include "constants/constant.hpp"
#include "query/reference.hpp"

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

// Whether the caster of T checks instances: T opts in with a function
// checks_instances_of(const T*) in its own namespace (found by argument
// dependent lookup; only named here, never called).
template <class T, class = void>
struct checks_instances : std::false_type {};
template <class T>
struct checks_instances<T,
                        std::void_t<decltype(checks_instances_of(static_cast<const T*>(nullptr)))>>
    : std::true_type {};

}  // namespace korvale::python

// Opts a bound class in, at namespace scope in the class's own namespace,
// before the class is bound.
#define KORVALE_CHECK_INSTANCES(Class)                                \
  [[maybe_unused]] constexpr bool checks_instances_of(const Class*) { \
    return true;                                                      \
  }                                                                   \
  static_assert(true, "a use ends with a semicolon")

namespace korvale {
KORVALE_CHECK_INSTANCES(Constant);
KORVALE_CHECK_INSTANCES(EdgeRef);
KORVALE_CHECK_INSTANCES(NodeRef);
KORVALE_CHECK_INSTANCES(TermRef);
KORVALE_CHECK_INSTANCES(TypeRef);
}  // namespace korvale

namespace pybind11::detail {

// pybind11's caster for the class, after one test of the instance: a pointer
// comparison and two bits for every object of the class.
template <class T>
class type_caster<T, std::enable_if_t<korvale::python::checks_instances<T>::value>>
    : public type_caster_base<T> {
 public:
  bool load(handle source, bool convert) {
    // The classes are final: an instance of one has exactly its type.
    if (this->typeinfo != nullptr && Py_TYPE(source.ptr()) == this->typeinfo->type &&
        !korvale::python::has_value(source.ptr())) {
      korvale::python::refuse_instance_without_value(source.ptr());
    }
    return type_caster_base<T>::load(source, convert);
  }
};

}  // namespace pybind11::detail
