// Type schemas: patterns over types ("*", names, "A -> B", captures
// "(x: A)"), compiled from text into an immutable tree.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "errors/report.hpp"

namespace korvale {

struct TypePattern;
// Compiled trees never change, so copies share them.
using TypePatternPtr = std::shared_ptr<const TypePattern>;

struct TypePattern {
  struct Wildcard {};
  struct Variable {
    std::string name;
  };
  struct Arrow {
    TypePatternPtr domain;
    TypePatternPtr codomain;
  };
  struct Capture {
    std::string name;
    TypePatternPtr pattern;
  };
  std::variant<Wildcard, Variable, Arrow, Capture> value;
};

// Nesting deeper than this is refused with SchemaValidation.
inline constexpr std::size_t kMaxSchemaDepth = 256;

struct TypeSchema {
  std::string pattern;      // the text as given, surrounding blanks included
  TypePatternPtr compiled;  // never null

  // Checks the parentheses of the trimmed text, then compiles it.
  static Result<TypeSchema> new_(std::string pattern);
  // Compiles one piece; `depth` counts the enclosing pieces.
  static Result<TypePatternPtr> parse_pattern_recursive(std::string_view text,
                                                        std::size_t depth = 0);
  // Names the pattern captures: inner captures before their enclosing one,
  // domain before codomain, duplicates kept.
  static std::vector<std::string> get_pattern_free_variables_recursive(const TypePattern& pattern);
};

}  // namespace korvale
