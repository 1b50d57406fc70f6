#include "patterns/type_schema.hpp"

#include <utility>

#include "base/stack_guard.hpp"
#include "base/tree_walks.hpp"
#include "patterns/scanner.hpp"
#include "text/unicode.hpp"
#include "text/validation.hpp"

namespace korvale {

namespace {

constexpr const char* kNewLine = "type schema - new [src/patterns/type_schema:38]";
constexpr const char* kParenthesesLine =
    "type schema - parse pattern [src/patterns/type_schema:46]";
constexpr const char* kCompileLine = "type schema - parse pattern [src/patterns/type_schema:48]";
constexpr const char* kDomainLine =
    "type schema - parse pattern recursive [src/patterns/type_schema:107]";
constexpr const char* kCodomainLine =
    "type schema - parse pattern recursive [src/patterns/type_schema:109]";
constexpr const char* kCaptureInnerLine =
    "type schema - parse pattern recursive [src/patterns/type_schema:129]";
constexpr const char* kCaptureNameLine =
    "type schema - parse pattern recursive [src/patterns/type_schema:139]";
constexpr const char* kGroupLine =
    "type schema - parse pattern recursive [src/patterns/type_schema:150]";
constexpr const char* kVariableLine =
    "type schema - parse pattern recursive [src/patterns/type_schema:163]";

std::string too_deep_reason() {
  return "Pattern nested too deeply (more than " + std::to_string(kMaxSchemaDepth) + " levels)";
}

[[gnu::cold, gnu::noinline]] std::unexpected<Report> stack_exhausted() {
  return fail(kind::StackExhausted{"Type schema"});
}

TypePatternPtr make_pattern(TypePattern::Wildcard w) {
  return std::make_shared<const TypePattern>(TypePattern{w});
}
TypePatternPtr make_pattern(TypePattern::Variable v) {
  return std::make_shared<const TypePattern>(TypePattern{std::move(v)});
}
TypePatternPtr make_pattern(TypePattern::Arrow a) {
  return std::make_shared<const TypePattern>(TypePattern{std::move(a)});
}
TypePatternPtr make_pattern(TypePattern::Capture c) {
  return std::make_shared<const TypePattern>(TypePattern{std::move(c)});
}

// Only parentheses nest in a type schema, and quotes mean nothing. Inside a
// piece the depth may go negative; only depth 0 counts.
constexpr ScanRules kCaptureColonScan({.brackets = "()", .separators = ":"});
constexpr ScanRules kArrowStartScan({.brackets = "()", .separators = "-"});
constexpr ScanRules kBalanceScan({.brackets = "()", .unbalanced = Unbalanced::Stop});

// Byte offset of the first "->" at parenthesis depth 0, or npos.
std::size_t find_arrow(std::string_view text) {
  for (Scanner scan(text, kArrowStartScan); scan.next();) {
    if (text.substr(scan.offset()).starts_with("->")) return scan.offset();
  }
  return std::string_view::npos;
}

Status check_parentheses(std::string_view text) {
  Scanner scan(text, kBalanceScan);
  scan.next();  // no separators: it stops only at a ")" too many, or at the end
  if (scan.at_unbalanced()) {
    return fail(kind::SchemaValidation{std::string(text),
                                       "Unbalanced parentheses: too many closing parentheses"});
  }
  if (scan.depth(0) > 0) {
    return fail(kind::SchemaValidation{std::string(text),
                                       "Unbalanced parentheses: too many opening parentheses"});
  }
  return {};
}

// A piece that begins with "(" and ends with ")": a capture when its inside
// holds a ":" at depth 0 before which a name stands, else a plain group.
Result<TypePatternPtr> parse_parenthesised(std::string_view inner, std::size_t depth) {
  const std::size_t colon = find_top_level(inner, kCaptureColonScan);
  if (colon == std::string_view::npos) {
    return KORVALE_TRY(TypeSchema::parse_pattern_recursive(inner, depth + 1), kGroupLine);
  }
  const std::string_view name = unicode::trim(inner.substr(0, colon));
  // The inner schema is compiled first, so its failure wins over a bad name.
  TypePatternPtr rest = KORVALE_TRY(
      TypeSchema::parse_pattern_recursive(inner.substr(colon + 1), depth + 1), kCaptureInnerLine);
  if (name.empty()) return rest;
  KORVALE_CHECK(validate_variable_name(name), kCaptureNameLine);
  return make_pattern(TypePattern::Capture{std::string(name), std::move(rest)});
}

}  // namespace

Result<TypeSchema> TypeSchema::new_(std::string pattern) {
  const std::string_view trimmed = unicode::trim(pattern);
  if (Status balanced = check_parentheses(trimmed); !balanced) {
    return fail(std::move(balanced.error()).attach(kParenthesesLine).attach(kNewLine));
  }
  Result<TypePatternPtr> compiled = parse_pattern_recursive(trimmed);
  if (!compiled) return fail(std::move(compiled.error()).attach(kCompileLine).attach(kNewLine));
  return TypeSchema{std::move(pattern), std::move(*compiled)};
}

Result<TypePatternPtr> TypeSchema::parse_pattern_recursive(std::string_view text,
                                                           std::size_t depth) {
  const std::string_view t = unicode::trim(text);
  // Every level costs a stack frame and the text has no length limit, so
  // nesting (parentheses or a chain of arrows) is bounded.
  if (depth > kMaxSchemaDepth)
    return fail(kind::SchemaValidation{std::string(t), too_deep_reason()});
  if (!stack_has_room()) return stack_exhausted();
  if (t == "*") return make_pattern(TypePattern::Wildcard{});
  if (t.empty()) return fail(kind::SchemaValidation{"", "Empty pattern"});

  if (const std::size_t arrow = find_arrow(t); arrow != std::string_view::npos) {
    TypePatternPtr domain =
        KORVALE_TRY(parse_pattern_recursive(t.substr(0, arrow), depth + 1), kDomainLine);
    TypePatternPtr codomain =
        KORVALE_TRY(parse_pattern_recursive(t.substr(arrow + 2), depth + 1), kCodomainLine);
    return make_pattern(TypePattern::Arrow{std::move(domain), std::move(codomain)});
  }
  if (t.size() >= 2 && t.front() == '(' && t.back() == ')') {
    return parse_parenthesised(t.substr(1, t.size() - 2), depth);
  }
  KORVALE_CHECK(validate_variable_name(t), kVariableLine);
  return make_pattern(TypePattern::Variable{std::string(t)});
}

// Iterative despite its name, which callers know: a capture's name is taken
// once its inner pattern is done, children first, whatever the tree's depth.
std::vector<std::string> TypeSchema::get_pattern_free_variables_recursive(
    const TypePattern& pattern) {
  std::vector<std::string> names;
  post_order<void>(
      &pattern,
      [](const TypePattern* part, PostOrderStep<const TypePattern*, void>& step) {
        if (part == nullptr) return;  // a missing part captures nothing
        if (const auto* arrow = std::get_if<TypePattern::Arrow>(&part->value)) {
          step.parts(arrow->domain.get(), arrow->codomain.get());
        } else if (const auto* capture = std::get_if<TypePattern::Capture>(&part->value)) {
          step.part(capture->pattern.get());
        }
      },
      [&](const TypePattern* part) {
        if (const auto* capture = std::get_if<TypePattern::Capture>(&part->value)) {
          names.push_back(capture->name);
        }
      });
  return names;
}

}  // namespace korvale
