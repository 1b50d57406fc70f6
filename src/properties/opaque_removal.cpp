#include "properties/opaque_removal.hpp"

#include <string>
#include <utility>

namespace korvale {

namespace {

// Copies the container only once an item needs replacing, so a value without
// opaque references costs a walk and no allocation.
std::optional<Dynamic> list_without_opaques(const Dynamic::List& items) {
  std::optional<Dynamic::List> changed;
  for (std::size_t i = 0; i < items.size(); ++i) {
    std::optional<Dynamic> item = without_opaques(items[i]);
    if (!item) continue;
    if (!changed) changed.emplace(items);
    (*changed)[i] = std::move(*item);
  }
  if (!changed) return std::nullopt;
  return Dynamic::list(std::move(*changed));
}

std::optional<Dynamic> dict_without_opaques(const Dynamic::Dict& entries) {
  std::optional<Dynamic::Dict> changed;
  for (const auto& [key, value] : entries) {
    std::optional<Dynamic> entry = without_opaques(value);
    if (!entry) continue;
    if (!changed) changed.emplace(entries);
    (*changed)[key] = std::move(*entry);
  }
  if (!changed) return std::nullopt;
  return Dynamic::dict(std::move(*changed));
}

}  // namespace

std::optional<Dynamic> without_opaques(const Dynamic& value) {
  switch (value.kind()) {
    case Dynamic::Kind::Opaque:
      return Dynamic::null();
    case Dynamic::Kind::List:
      return list_without_opaques(value.as_list());
    case Dynamic::Kind::Dict:
      return dict_without_opaques(value.as_dict());
    default:
      return std::nullopt;
  }
}

void remove_opaques(const PropertyMap& map) {
  Result<PropertyMap::Snapshot> entries = map.iter();
  if (!entries) return;
  for (auto& [key, value] : *entries) {
    std::optional<Dynamic> replacement = without_opaques(value);
    if (!replacement) continue;
    // Fails only on a map poisoned meanwhile, which then keeps the rest.
    if (!map.insert(std::move(key), std::move(*replacement))) return;
  }
}

}  // namespace korvale
