// Identifiers of types (and so of nodes and terms) and of edges.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <string>

namespace korvale {

// The SHA-256 digest of a type's stored form; names the type, its node and its term.
using Uid = std::array<std::uint8_t, 32>;

// An edge is named by the identifiers of its end nodes: the domain and the
// codomain of the edge term's arrow type.
struct EdgeUid {
  Uid start{};
  Uid end{};
  friend auto operator<=>(const EdgeUid&, const EdgeUid&) = default;
};

// 64 lowercase hexadecimal digits, high half of each byte first.
std::string uid_to_hex(const Uid& uid);

}  // namespace korvale
