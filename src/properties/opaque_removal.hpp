// Property values with their opaque references replaced by null: how a store
// lets go of the Python objects it holds (at interpreter exit) while keeping
// every other value.
#pragma once

#include <optional>

#include "properties/dynamic.hpp"
#include "properties/property_map.hpp"

namespace korvale {

// The value with every opaque reference in it, also inside lists and dicts,
// replaced by null; nullopt when it holds none (nothing to change). Recurses
// once per level of nesting, which kMaxValueDepth bounds.
std::optional<Dynamic> without_opaques(const Dynamic& value);

// Replaces each entry of the map that holds an opaque reference with
// without_opaques(entry), under the map's write lock entry by entry; the
// references go to the release queue. A poisoned map refuses writes and
// keeps its references.
void remove_opaques(const PropertyMap& map);

}  // namespace korvale
