// Type and term schemas compiled on their own, as "Constant" and the node and
// edge parsers hand them over.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/orderly.hpp"
#include "patterns/term_schema.hpp"
#include "patterns/type_schema.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace korvale;
  const std::string text(reinterpret_cast<const char*>(data), size);
  Result<TypeSchema> type = TypeSchema::new_(text);
  fuzz::expect_orderly(type, true);
  if (type) fuzz::expect(type->pattern == text, "a type schema keeps its text");
  Result<TermSchema> term = TermSchema::new_(text);
  fuzz::expect_orderly(term, true);
  if (term) fuzz::expect(term->pattern == text, "a term schema keeps its text");
  return 0;
}
