// Reading a type identifier back from its hexadecimal text (either case).
#pragma once

#include <string_view>

#include "base/uid.hpp"
#include "errors/report.hpp"

namespace korvale {

// Fails with HexConversionError (context "hex str to uid", no context line) for
// an odd length, a non-digit byte, or a byte count other than 32.
Result<Uid> hex_str_to_uid(std::string_view text);

}  // namespace korvale
