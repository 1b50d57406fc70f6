#include "constants/constant_table.hpp"

#include <utility>

namespace korvale {

ConstantTable::ConstantTable(std::vector<Constant> declared) {
  // First the last index each name is given at; then the constants at those
  // indexes, in order, each name's entry turned into its place in the table.
  // A name's entry still holds its last index until that index is reached.
  position_by_name_.reserve(declared.size());
  for (std::size_t i = 0; i < declared.size(); ++i) {
    position_by_name_.insert_or_assign(declared[i].name, i);
  }
  in_order_.reserve(position_by_name_.size());
  for (std::size_t i = 0; i < declared.size(); ++i) {
    std::size_t& position = position_by_name_.find(declared[i].name)->second;
    if (position != i) continue;
    position = in_order_.size();
    in_order_.push_back(std::move(declared[i]));
  }
}

const Constant* ConstantTable::find(const std::string& name) const {
  const auto found = position_by_name_.find(name);
  return found == position_by_name_.end() ? nullptr : &in_order_[found->second];
}

}  // namespace korvale
