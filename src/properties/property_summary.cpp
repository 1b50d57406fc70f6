#include "properties/property_summary.hpp"

#include <optional>
#include <string_view>

#include <absl/hash/hash.h>

namespace korvale {
namespace {

// Keys take the low kKeyBits bits and values the rest, so that the bits of
// keys every node has (set on every summary) never stand in for a value's.
constexpr unsigned kKeyBits = 8;
constexpr unsigned kValueBits = 64 - kKeyBits;

std::uint64_t key_bit(std::uint64_t hash) {
  return std::uint64_t{1} << (hash % kKeyBits);
}

// Two bits from one well-mixed hash: fewer false candidates than one bit for
// maps of a few entries, the usual case.
std::uint64_t value_bits(std::uint64_t hash) {
  return std::uint64_t{1} << (kKeyBits + hash % kValueBits) |
         std::uint64_t{1} << (kKeyBits + (hash >> 32) % kValueBits);
}

// The hash of a value that compares exactly, tagged with its kind so that the
// integer 1, the boolean true and the text "1" set different bits; nullopt
// for the kinds that do not.
std::optional<std::uint64_t> exact_value_hash(const Dynamic& value) {
  switch (value.kind()) {
    case Dynamic::Kind::Int:
      return absl::HashOf(1, value.as_int());
    case Dynamic::Kind::Bool:
      return absl::HashOf(2, value.as_bool());
    case Dynamic::Kind::String:
      return absl::HashOf(3, std::string_view(value.as_string()));
    default:
      return std::nullopt;
  }
}

}  // namespace

std::uint64_t PropertySummary::entry_bits(const std::string& key, const Dynamic& value) {
  const std::uint64_t key_hash = absl::HashOf(std::string_view(key));
  std::uint64_t bits = key_bit(key_hash);
  if (const std::optional<std::uint64_t> value_hash = exact_value_hash(value)) {
    bits |= value_bits(absl::HashOf(key_hash, *value_hash));
  }
  return bits;
}

PropertySummary PropertySummary::of_map(const PropertyMap& map) {
  std::uint64_t bits = 0;
  const Status read = map.visit_locked(
      [&](const PropertyMap::Snapshot& entries) -> Status {
        for (const auto& [key, value] : entries) bits |= entry_bits(key, value);
        return {};
      },
      "property summary");
  return read ? PropertySummary(bits) : unknown();
}

PropertySummary PropertySummary::required_by(const PropertyMap::Snapshot& filter) {
  std::uint64_t bits = 0;
  for (const auto& [key, value] : filter) bits |= entry_bits(key, value);
  return PropertySummary(bits);
}

}  // namespace korvale
