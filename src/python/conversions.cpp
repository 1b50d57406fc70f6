#include "python/conversions.hpp"

#include <string>
#include <vector>

#include "base/stack_guard.hpp"
#include "python/py_errors.hpp"

namespace korvale::python {

namespace {

constexpr const char* kBoolLine = "py to rhai - bool [src/properties:189]";
constexpr const char* kIntLine = "py to rhai - int [src/properties:196]";
constexpr const char* kFloatLine = "py to rhai - float [src/properties:203]";
constexpr const char* kStringLine = "py to rhai - string [src/properties:210]";
constexpr const char* kListLine = "py to rhai - list [src/properties:217]";
constexpr const char* kDictLine = "py to rhai - dict [src/properties:228]";
constexpr const char* kDictValueLine = "rhai to py - dict [src/properties:278]";
constexpr const char* kDictStoreLine = "rhai to py - dict [src/properties:281]";
constexpr const char* kListItemLine = "rhai to py - list [src/properties:289]";
constexpr const char* kListStoreLine = "rhai to py - list [src/properties:291]";
constexpr const char* kMapNewLine = "property map - new [src/properties:87]";
constexpr const char* kMapNewContext = "property map new [src/properties:92]";
constexpr const char* kIntoPyLockContext = "property map - into py object [src/properties:58]";
constexpr const char* kIntoPyLine = "property map - into py object [src/properties:69]";

// Both walks recurse once per list or dict; the frames of the interpreter's
// calls below a level (a collection started by an allocation among them) fit
// in the guard's margin.
[[gnu::cold, gnu::noinline]] std::unexpected<Report> stack_exhausted() {
  return fail(kind::StackExhausted{"Property value"});
}

std::unexpected<Report> pending_error() {
  return fail(python_error_from_pending());
}

std::unexpected<Report> pending_error(const char* line) {
  return fail(Report(python_error_from_pending()).attach(line));
}

Result<std::string> utf8_text(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return pending_error();  // e.g. a lone surrogate
  return std::string(data, static_cast<std::size_t>(size));
}

// Walks a Python object recursively. Runs no Python code on its way (only the
// C-level storage of ints, strs, lists and dicts is read), so borrowed items
// stay valid; the chain of open containers catches self-containment and bounds
// the depth, and with it the recursion.
class PyToRhai {
 public:
  Result<Dynamic> convert(PyObject* object) {
    if (PyBool_Check(object)) return convert_bool(object);
    if (PyLong_Check(object)) {
      const long long value = PyLong_AsLongLong(object);
      if (value == -1 && PyErr_Occurred()) return pending_error(kIntLine);
      return Dynamic::integer(value);
    }
    if (PyFloat_CheckExact(object)) {
      const double value = PyFloat_AsDouble(object);
      if (value == -1.0 && PyErr_Occurred()) return pending_error(kFloatLine);
      return Dynamic::floating(value);
    }
    if (PyUnicode_Check(object)) {
      std::string text = KORVALE_TRY(utf8_text(object), kStringLine);
      return Dynamic::string(std::move(text));
    }
    if (PyList_Check(object)) return convert_list(object);
    if (PyDict_Check(object)) return convert_dict(object);
    Py_INCREF(object);
    return Dynamic::opaque(PyOpaque::adopt(object));
  }

 private:
  static Result<Dynamic> convert_bool(PyObject* object) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return pending_error(kBoolLine);
    return Dynamic::boolean(truth == 1);
  }

  Status enter(PyObject* container) {
    for (PyObject* open : open_) {
      if (open == container) {
        return fail(kind::PythonError{"a list or dict that contains itself cannot be converted",
                                      std::nullopt});
      }
    }
    if (open_.size() >= kMaxValueDepth) {
      return fail(kind::PythonError{"lists and dicts nested more than " +
                                        std::to_string(kMaxValueDepth) +
                                        " levels deep cannot be converted",
                                    std::nullopt});
    }
    if (!stack_has_room()) return stack_exhausted();
    open_.push_back(container);
    return {};
  }

  Result<Dynamic> convert_list(PyObject* list) {
    if (Status entered = enter(list); !entered) return fail(std::move(entered.error()));
    Dynamic::List items;
    const Py_ssize_t size = PyList_GET_SIZE(list);
    items.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      items.push_back(KORVALE_TRY(convert(PyList_GET_ITEM(list, i)), kListLine));
    }
    open_.pop_back();
    return Dynamic::list(std::move(items));
  }

  Result<Dynamic> convert_dict(PyObject* dict) {
    if (Status entered = enter(dict); !entered) return fail(std::move(entered.error()));
    Dynamic::Dict entries;
    Py_ssize_t position = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        return fail(kind::PythonError{"TypeError: " + cast_reason(key, "str"), std::nullopt});
      }
      std::string text = KORVALE_PASS(utf8_text(key));
      Dynamic converted = KORVALE_TRY(convert(value), kDictLine);
      // Equal texts come only from str subclasses; the later entry wins.
      entries.insert_or_assign(std::move(text), std::move(converted));
    }
    open_.pop_back();
    return Dynamic::dict(std::move(entries));
  }

  std::vector<PyObject*> open_;  // containers being converted, outermost first
};

Result<py::object> steal_or_fail(PyObject* object) {
  if (object == nullptr) return pending_error();
  return py::reinterpret_steal<py::object>(object);
}

py::object new_str(const std::string& text) {
  return py::reinterpret_steal<py::object>(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Result<py::object> dict_to_py(const Dynamic::Dict& entries) {
  if (!stack_has_room()) return stack_exhausted();
  py::object dict = py::reinterpret_steal<py::object>(PyDict_New());
  if (!dict) return pending_error(kDictStoreLine);
  for (const auto& [key, value] : entries) {
    py::object item = KORVALE_TRY(rhai_to_py(value), kDictValueLine);
    py::object text = new_str(key);
    if (!text || PyDict_SetItem(dict.ptr(), text.ptr(), item.ptr()) < 0) {
      return pending_error(kDictStoreLine);
    }
  }
  return dict;
}

Result<py::object> list_to_py(const Dynamic::List& items) {
  if (!stack_has_room()) return stack_exhausted();
  py::object list = py::reinterpret_steal<py::object>(PyList_New(0));
  if (!list) return pending_error(kListStoreLine);
  for (const Dynamic& value : items) {
    py::object item = KORVALE_TRY(rhai_to_py(value), kListItemLine);
    if (PyList_Append(list.ptr(), item.ptr()) < 0) return pending_error(kListStoreLine);
  }
  return list;
}

}  // namespace

Result<Dynamic> py_to_rhai(py::handle object) {
  return PyToRhai().convert(object.ptr());
}

Result<py::object> rhai_to_py(Dynamic value) {
  switch (value.kind()) {
    case Dynamic::Kind::Opaque:
      return py::reinterpret_borrow<py::object>(static_cast<PyObject*>(value.as_opaque().object()));
    case Dynamic::Kind::Int:
      return steal_or_fail(PyLong_FromLongLong(value.as_int()));
    case Dynamic::Kind::Float:
      return steal_or_fail(PyFloat_FromDouble(value.as_float()));
    case Dynamic::Kind::Bool:
      return py::reinterpret_borrow<py::object>(value.as_bool() ? Py_True : Py_False);
    case Dynamic::Kind::String:
      return steal_or_fail(PyUnicode_FromStringAndSize(
          value.as_string().data(), static_cast<Py_ssize_t>(value.as_string().size())));
    case Dynamic::Kind::Dict:
      return dict_to_py(value.as_dict());
    case Dynamic::Kind::List:
      return list_to_py(value.as_list());
    case Dynamic::Kind::Null:
      return py::reinterpret_borrow<py::object>(Py_None);
  }
  return py::reinterpret_borrow<py::object>(Py_None);
}

Result<PropertyMap> property_map_new(py::handle object) {
  Dynamic root = KORVALE_TRY(py_to_rhai(object), kMapNewLine);
  if (root.kind() != Dynamic::Kind::Dict) {
    return fail(kind::PythonError{"Root of PropertyMap should be a Dict", kMapNewContext});
  }
  return PropertyMap::from_dict(root.as_dict());
}

py::dict property_map_to_dict(const PropertyMap& map) {
  // Copy the entries out (the values share their storage) and build the dict
  // with the lock released: making Python objects may start the collector,
  // whose finalisers may call back into the module and write this very map.
  PropertyMap::Snapshot entries;
  Status copied = map.visit_locked(
      [&](const PropertyMap::Snapshot& locked) -> Status {
        entries = locked;
        return {};
      },
      kIntoPyLockContext);
  if (!copied) raise_report(copied.error());
  auto dict = py::reinterpret_steal<py::dict>(PyDict_New());
  if (!dict) throw py::error_already_set();
  for (const auto& [key, value] : entries) {
    Result<py::object> item = rhai_to_py(value);
    if (!item) raise_report(std::move(item.error()).attach(kIntoPyLine));
    py::object text = new_str(key);
    if (!text || PyDict_SetItem(dict.ptr(), text.ptr(), item->ptr()) < 0) {
      throw py::error_already_set();
    }
  }
  return dict;
}

}  // namespace korvale::python
