// The value language of property blocks: one value, and a whole block; what
// parses must also print.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/orderly.hpp"
#include "patterns/property_block.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace korvale;
  const std::string text(reinterpret_cast<const char*>(data), size);
  Result<Dynamic> value = parse_property_value(text);
  fuzz::expect_orderly(value, false);
  if (value) fuzz::expect(!value->to_string().empty(), "a value has a text form");
  Result<PropertyMap> block = parse_properties(text);
  fuzz::expect_orderly(block, false);
  if (block) fuzz::expect(block->to_string().has_value(), "a fresh map prints");
  return 0;
}
