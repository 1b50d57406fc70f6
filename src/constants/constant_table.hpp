// The constants a store declares, one per name, kept in the order they were
// given: when several schemas fit a type, that order picks the constant whose
// term the type gets, so it must not depend on hashing (whose seed differs
// from process to process). Lookups by name go through an index.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "constants/constant.hpp"

namespace korvale {

class ConstantTable {
 public:
  ConstantTable() = default;
  // A name given twice keeps its last constant, and that constant stands where
  // it was given: the earlier declaration is dropped as if never written, so
  // a replaced constant does not keep the earlier one's place ahead of others.
  explicit ConstantTable(std::vector<Constant> declared);

  // nullptr when no constant has the name.
  const Constant* find(const std::string& name) const;

  // Declaration order, each name once.
  const Constant& operator[](std::size_t position) const { return in_order_[position]; }
  std::vector<Constant>::const_iterator begin() const { return in_order_.begin(); }
  std::vector<Constant>::const_iterator end() const { return in_order_.end(); }
  std::size_t size() const { return in_order_.size(); }
  bool empty() const { return in_order_.empty(); }

 private:
  std::vector<Constant> in_order_;
  absl::flat_hash_map<std::string, std::size_t> position_by_name_;
};

}  // namespace korvale
