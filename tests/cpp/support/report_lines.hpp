// Helpers for asserting whole rendered reports in the pattern tests.
#pragma once

#include <string>
#include <string_view>

#include "errors/report.hpp"

namespace korvale::testing {

// One rendered context line: a line break, a blank, U+2192, a blank, the line.
inline std::string line(std::string_view text) {
  return "\n \u2192 " + std::string(text);
}

// The rendered report of a failed result, or a marker that makes the
// comparison fail readably when the result holds a value.
template <class T>
std::string rendered(const Result<T>& result) {
  return result ? std::string("<no error>") : format_report(result.error());
}

inline std::string repeat(std::string_view piece, std::size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

}  // namespace korvale::testing
