// Term schemas: patterns over terms ("*", names, application written as
// juxtaposition "f x", declared constants "@name(TypeSchema, ...)"), compiled
// from text into an immutable tree.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "errors/report.hpp"
#include "patterns/type_schema.hpp"

namespace korvale {

struct TermPattern;
// Compiled trees never change, so copies share them.
using TermPatternPtr = std::shared_ptr<const TermPattern>;

struct TermPattern {
  struct Wildcard {};
  struct Variable {
    std::string name;  // passed validate_variable_name
  };
  struct Application {
    TermPatternPtr function;
    TermPatternPtr argument;
  };
  struct Constant {
    std::string name;  // not validated: it is only looked up later
    std::vector<TypeSchema> type_arguments;
  };
  std::variant<Wildcard, Variable, Application, Constant> value;
};

// A schema with more applications than this is refused with InvalidPattern:
// the compiled tree is as deep as its application chain, and every consumer
// walks it recursively.
inline constexpr std::size_t kMaxTermApplications = 256;

struct TermSchema {
  std::string pattern;      // the text as given, surrounding blanks included
  TermPatternPtr compiled;  // never null

  // Compiles `pattern` with parse_pattern; every failure gets the line
  // "term schema - new [src/patterns/term_schema:38]".
  static Result<TermSchema> new_(std::string pattern);

  // Compiles one piece. An application splits at the last U+0020 blank that
  // stands outside all parentheses, so "f x y" reads as (f x) y. Fails with
  // InvalidPattern (empty piece, constant shapes, too many applications),
  // InvalidIdentifier (refused name) or the report of a type argument.
  static Result<TermPatternPtr> parse_pattern(std::string_view text);

  // Compiles a trimmed piece beginning with "@": "@name(T1, T2, ...)".
  static Result<TermPatternPtr> parse_constant_pattern(std::string_view text);
};

}  // namespace korvale
