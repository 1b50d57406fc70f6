// Equality of property values as property filters use it.
#pragma once

#include "properties/dynamic.hpp"

namespace korvale {

// Deep, kind-by-kind equality, symmetric in its arguments; cannot fail.
// Opaque references are equal only when they refer to the same object (no
// interpreter call); integers equal integers, floats equal floats closer than
// 2^-52 (absolute), booleans and texts compare exactly, dicts and lists
// element-wise; every other pair, two nulls included, is unequal.
bool compare_values(const Dynamic& first, const Dynamic& second);

}  // namespace korvale
