// Property values: null, bool, int64, double, string, list, dict (keys in
// ascending UTF-8 byte order) or an opaque reference to any other Python
// object. Values are immutable; copies share their storage, so copying one is
// cheap and safe on any thread (an opaque reference is copied without the
// interpreter).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include <absl/container/btree_map.h>

#include "properties/opaque.hpp"

namespace korvale {

// The deepest nesting of lists and dicts that a value may have: a list of
// scalars has depth 1, a list holding such a list depth 2. Whoever builds values from outside input
// (Python objects, pattern text) refuses deeper ones. The text form, comparison and release do not
// recurse; the parsers and the conversions to and from Python objects do, and also check the
// thread's stack.
inline constexpr std::size_t kMaxValueDepth = 256;

class Dynamic {
 public:
  // Order of the alternatives as the system names them.
  enum class Kind { Null, Bool, String, Int, Float, List, Dict, Opaque };

  using List = std::vector<Dynamic>;
  // std::string orders its bytes as unsigned chars: the required key order.
  using Dict = absl::btree_map<std::string, Dynamic>;

  Dynamic() = default;  // null
  Dynamic(const Dynamic&) = default;
  Dynamic(Dynamic&&) noexcept = default;
  Dynamic& operator=(const Dynamic&) = default;
  Dynamic& operator=(Dynamic&&) noexcept = default;
  // Releases nested lists and dicts one after the other, not one nested
  // destructor call per level: a deep value may go on a small stack.
  ~Dynamic() {
    if (kind() == Kind::List || kind() == Kind::Dict) release_container();
  }

  static Dynamic null() { return Dynamic(); }
  static Dynamic boolean(bool value);
  static Dynamic integer(std::int64_t value);
  static Dynamic floating(double value);
  static Dynamic string(std::string value);
  static Dynamic list(List items);
  static Dynamic dict(Dict entries);
  static Dynamic opaque(PyOpaque object);

  Kind kind() const { return static_cast<Kind>(value_.index()); }

  // Accessors; each requires the matching kind.
  bool as_bool() const { return std::get<bool>(value_); }
  const std::string& as_string() const { return *std::get<StringPtr>(value_); }
  std::int64_t as_int() const { return std::get<std::int64_t>(value_); }
  double as_float() const { return std::get<double>(value_); }
  const List& as_list() const { return *std::get<ListPtr>(value_); }
  const Dict& as_dict() const { return *std::get<DictPtr>(value_); }
  const PyOpaque& as_opaque() const { return std::get<PyOpaque>(value_); }

  // The text form ("()", "true", "42", "2.0", "\"a\"", "[1, 2]", "#{\"k\": 1}",
  // "korvale::properties::PyOpaque"). Never touches a Python object. Does not
  // recurse.
  std::string to_string() const;
  void append_text(std::string& out) const;

 private:
  void release_container() noexcept;

  using StringPtr = std::shared_ptr<const std::string>;
  using ListPtr = std::shared_ptr<const List>;
  using DictPtr = std::shared_ptr<const Dict>;
  std::variant<std::monostate, bool, StringPtr, std::int64_t, double, ListPtr, DictPtr, PyOpaque>
      value_;
};

// Text helpers shared with the map's text form.
void append_float_text(std::string& out, double value);
void append_quoted_text(std::string& out, const std::string& text);

}  // namespace korvale
