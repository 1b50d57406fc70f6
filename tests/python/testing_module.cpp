// Test-only module: exposes the binding layer's conversions to pytest. Never
// part of korvale. Every function opens a ReleaseGuard, like module methods.
#include <pybind11/pybind11.h>

#include <optional>
#include <vector>

#include "concurrency/parallel.hpp"
#include "properties/cmp.hpp"
#include "python/conversions.hpp"
#include "python/py_errors.hpp"
#include "python/releases.hpp"

namespace py = pybind11;
using namespace korvale;
using namespace korvale::python;

namespace {

// A value kept between calls, to release it later in the way a test asks for.
std::optional<Dynamic> held;

Dynamic to_value(py::handle object) {
  return into_py_result(py_to_rhai(object));
}

}  // namespace

PYBIND11_MODULE(korvale_testing, module) {
  module.def("roundtrip", [](py::handle object) {
    ReleaseGuard guard;
    return into_py_result(rhai_to_py(to_value(object)));
  });
  module.def("text", [](py::handle object) {
    ReleaseGuard guard;
    return to_value(object).to_string();
  });
  module.def("compare", [](py::handle first, py::handle second) {
    ReleaseGuard guard;
    return compare_values(to_value(first), to_value(second));
  });
  module.def("map_text", [](py::handle object) {
    ReleaseGuard guard;
    return into_py_result(into_py_result(property_map_new(object)).to_string());
  });
  module.def("map_to_dict", [](py::handle object) {
    ReleaseGuard guard;
    return property_map_to_dict(into_py_result(property_map_new(object)));
  });
  module.def("hold", [](py::handle object) {
    ReleaseGuard guard;
    held = to_value(object);
  });
  // Drops the held value without the guard: its references stay queued.
  module.def("release_held_without_drain", [] { held.reset(); });
  // Drops copies of the held value on pool threads; the guard gives the
  // references back before returning.
  module.def("release_held_on_pool", [] {
    ReleaseGuard guard;
    std::vector<std::optional<Dynamic>> copies(64, held);
    held.reset();
    into_py_result(try_par_for(copies.size(), [&](std::size_t i) -> Status {
      copies[i].reset();
      return {};
    }));
  });
  module.def("noop", [] { ReleaseGuard guard; });
  module.def("drain", [] { drain_released_opaques(); });
}
