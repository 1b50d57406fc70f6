// The check every fuzz target makes: a parser may accept or refuse any input,
// but a refusal must be a report of a kind that parser makes, with a text.
// Anything else aborts, which libFuzzer records as a crash with its input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>

#include "errors/report.hpp"

namespace korvale::fuzz {

// `schema_kinds`: the parser compiles schemas or names, so SchemaValidation
// and InvalidIdentifier are its own kinds too. Every parser may run short of
// stack on deep input.
template <class T>
void expect_orderly(const Result<T>& result, bool schema_kinds) {
  if (result) return;
  const KorvaleError& error = result.error().kind();
  const bool own_kind = std::holds_alternative<kind::InvalidPattern>(error) ||
                        std::holds_alternative<kind::StackExhausted>(error) ||
                        (schema_kinds && (std::holds_alternative<kind::SchemaValidation>(error) ||
                                          std::holds_alternative<kind::InvalidIdentifier>(error)));
  const std::string text = format_report(result.error());
  if (!own_kind || text.empty()) {
    std::fprintf(stderr, "unexpected report:\n%s\n", text.c_str());
    std::abort();
  }
}

// Aborts with the message when `holds` is false.
inline void expect(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "broken: %s\n", what);
  std::abort();
}

}  // namespace korvale::fuzz
