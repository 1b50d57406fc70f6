// The one rule that every user-given name (type names, term names, pattern
// variables, capture names) must follow.
#pragma once

#include <string_view>

#include "errors/report.hpp"

namespace korvale {

inline constexpr std::size_t kMaxNameBytes = 255;

// Fails with InvalidIdentifier (no context line) at the first of five tests:
// length in bytes, white space, allowed characters, first character, reserved word.
Status validate_variable_name(std::string_view name);

}  // namespace korvale
