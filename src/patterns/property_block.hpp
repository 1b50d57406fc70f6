// Property blocks in pattern text: "{key: value, ...}" after a node or edge
// pattern, and the small value language written in them (quoted strings with
// escapes, true/false, null/None, integers, finite floats, lists, dicts).
//
// The scans of this file (patterns/scanner.hpp) know no escapes: a backslash
// before a quote does not keep it from opening or closing a string; escapes
// are resolved only in string values, by unescape_string. Every failure made here is
// InvalidPattern; each level of nesting adds its own context line on the way out.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "errors/report.hpp"
#include "properties/dynamic.hpp"
#include "properties/property_map.hpp"

namespace korvale {

// A new map with one entry per key of the block, inserted in text order (a
// repeated key replaces the earlier value). `text` is the block from its "{".
// Keys are taken as written (trimmed), neither unquoted nor validated.
Result<PropertyMap> parse_properties(std::string_view text);

// One value: a quoted string, true/false, null/None, "{...}", "[...]", a signed
// 64-bit integer, or a finite float (integers beyond 64 bits become floats).
// `depth` counts the lists and dicts that enclose the value; a value nesting
// deeper than kMaxValueDepth is refused with InvalidPattern.
Result<Dynamic> parse_property_value(std::string_view text, std::size_t depth = 0);

// A dict value; `text` starts with "{" and ends with "}" (the caller checks).
Result<Dynamic> parse_dict_value(std::string_view text, std::size_t depth = 0);

// The key of one dict entry: quotes around it are removed and its escapes
// resolved; an unquoted key is taken as written.
Result<std::string> extract_dict_key(std::string_view text);

// Resolves \n \r \t \\ \" \' \0; any other escaped character keeps its
// backslash. Fails on a trailing lone backslash.
Result<std::string> unescape_string(std::string_view text);

}  // namespace korvale
