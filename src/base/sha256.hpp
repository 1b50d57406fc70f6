// SHA-256 of a byte string, the digest that type identifiers are made of.
#pragma once

#include <string_view>

#include "base/uid.hpp"

namespace korvale {

// The 32-byte digest, in the standard's output order. Cannot fail.
Uid sha256(std::string_view bytes);

}  // namespace korvale
