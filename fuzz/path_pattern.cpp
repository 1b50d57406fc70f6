// The whole path language at once: tokenizer, node and edge patterns, property
// blocks, type and term schemas, as match and create parse their text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/orderly.hpp"
#include "patterns/path.hpp"
#include "text/unicode.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace korvale;
  const std::string text(reinterpret_cast<const char*>(data), size);
  Result<PathPattern> path = PathPattern::new_(text);
  fuzz::expect_orderly(path, true);
  if (path) {
    fuzz::expect(path->pattern == unicode::trim(text), "the pattern keeps the trimmed text");
    fuzz::expect(path->edges.size() < path->nodes.size(), "fewer edges than nodes");
    fuzz::expect_orderly(path->validate(), false);
  }
  return 0;
}
