#include "patterns/term_schema.hpp"

#include <cassert>
#include <utility>

#include "patterns/scanner.hpp"
#include "text/unicode.hpp"
#include "text/validation.hpp"

namespace korvale {
namespace {

constexpr const char* kNewLine = "term schema - new [src/patterns/term_schema:38]";
constexpr const char* kFunctionLine = "term schema - parse pattern [src/patterns/term_schema:69]";
constexpr const char* kArgumentLine = "term schema - parse pattern [src/patterns/term_schema:72]";
constexpr const char* kConstantLine = "term schema - parse pattern [src/patterns/term_schema:81]";
constexpr const char* kNameLine = "term schema - parse pattern [src/patterns/term_schema:93]";
constexpr const char* kUnmatchedLine =
    "term pattern - parse constant pattern [src/patterns/term_schema:144]";
constexpr const char* kTypeArgumentLine =
    "term pattern - parse constant pattern [src/patterns/term_schema:169]";

TermPatternPtr make(TermPattern pattern) {
  return std::make_shared<const TermPattern>(std::move(pattern));
}

std::unexpected<Report> refuse(std::string_view pattern, std::string reason) {
  return fail(kind::InvalidPattern{std::string(pattern), std::move(reason)});
}

// A trimmed, non-empty piece without a blank at depth 0: "*", a constant or a name.
Result<TermPatternPtr> parse_atom(std::string_view t) {
  assert(!t.empty());
  if (t == "*") return make({TermPattern::Wildcard{}});
  if (t.front() == '@') {
    return KORVALE_TRY(TermSchema::parse_constant_pattern(t), kConstantLine);
  }
  KORVALE_CHECK(validate_variable_name(t), kNameLine);
  return make({TermPattern::Variable{std::string(t)}});
}

// The lines that the split-at-the-last-blank recursion would attach to a piece
// that fails `levels` applications deep: the argument side adds its own line,
// then every enclosing application the line of its function side.
Report nest(Report report, bool is_argument, std::size_t levels) {
  if (is_argument) report.attach(kArgumentLine);
  for (std::size_t i = 0; i < levels; ++i) report.attach(kFunctionLine);
  return report;
}

// Only parentheses nest in a term schema, and quotes mean nothing.
constexpr ScanRules kBlankScan({.brackets = "()", .separators = " "});
constexpr ScanRules kTypeArgumentScan({.brackets = "()", .separators = ","});

// Byte offsets of the blanks (U+0020) that stand at parenthesis depth 0.
std::vector<std::size_t> top_level_blanks(std::string_view t) {
  std::vector<std::size_t> blanks;
  for (Scanner scan(t, kBlankScan); scan.next();) blanks.push_back(scan.offset());
  return blanks;
}

}  // namespace

Result<TermSchema> TermSchema::new_(std::string pattern) {
  auto compiled = KORVALE_TRY(parse_pattern(pattern), kNewLine);
  return TermSchema{std::move(pattern), std::move(compiled)};
}

// Splitting at the last top-level blank and recursing into the left side gives
// a left-nested chain head a1 ... ak whose pieces are exactly the texts between
// the top-level blanks (trimmed, blank-only ones vanishing). The chain is peeled
// here in one pass instead, so a long chain costs linear time and no stack; the
// reports carry the same lines as the recursion would attach.
Result<TermPatternPtr> TermSchema::parse_pattern(std::string_view text) {
  const std::string_view t = unicode::trim(text);
  if (t == "*") return make({TermPattern::Wildcard{}});
  std::vector<std::size_t> blanks = top_level_blanks(t);
  if (blanks.empty()) {
    if (t.empty()) return refuse(text, "Invalid pattern: empty string");
    return parse_atom(t);
  }
  // arguments[m] is the argument side of the application m levels down the
  // function side; arguments[0] is the rightmost piece.
  std::vector<std::string_view> arguments;
  std::string_view head = t;
  while (true) {
    head = unicode::trim(head);
    while (!blanks.empty() && blanks.back() >= head.size()) blanks.pop_back();
    if (blanks.empty()) break;
    const std::size_t split = blanks.back();
    blanks.pop_back();
    arguments.push_back(unicode::trim(head.substr(split + 1)));
    head = head.substr(0, split);
  }
  if (arguments.size() > kMaxTermApplications) {
    return refuse(t, "Term schema has too many applications (more than " +
                         std::to_string(kMaxTermApplications) + ")");
  }
  auto function = parse_atom(head);
  if (!function) return fail(nest(std::move(function.error()), false, arguments.size()));
  TermPatternPtr result = std::move(*function);
  for (std::size_t m = arguments.size(); m-- > 0;) {
    auto argument = parse_atom(arguments[m]);
    if (!argument) return fail(nest(std::move(argument.error()), true, m));
    result = make({TermPattern::Application{std::move(result), std::move(*argument)}});
  }
  return result;
}

Result<TermPatternPtr> TermSchema::parse_constant_pattern(std::string_view text) {
  assert(text.starts_with('@'));
  const std::string_view t = unicode::trim(text);
  const std::size_t open = t.find('(');
  if (open == std::string_view::npos) {
    return refuse(t, "Constant pattern must have parentheses with type arguments");
  }
  std::string name(unicode::trim(t.substr(1, open - 1)));
  if (name.empty()) return refuse(t, "Constant name cannot be empty");

  const std::size_t close = find_closing_parenthesis(t, open);
  if (close == std::string_view::npos) {
    return fail(Report(kind::InvalidPattern{std::string(t),
                                            "Constant pattern has unmatched opening parenthesis"})
                    .attach(kUnmatchedLine));
  }
  if (close != t.size() - 1) {
    return refuse(t,
                  "Constant pattern has unexpected content after closing parenthesis at position " +
                      std::to_string(close));
  }

  // The argument list: pieces between the commas outside inner parentheses.
  const std::string_view inner = unicode::trim(t.substr(open + 1, close - open - 1));
  std::vector<TypeSchema> type_arguments;
  Scanner scan(inner, kTypeArgumentScan);
  std::size_t start = 0;
  for (bool more = true; more; start = scan.offset() + 1) {
    more = scan.next();  // at the end, the offset is the text's size
    const std::string_view piece = unicode::trim(inner.substr(start, scan.offset() - start));
    if (piece.empty()) continue;
    type_arguments.push_back(KORVALE_TRY(TypeSchema::new_(std::string(piece)), kTypeArgumentLine));
  }
  return make({TermPattern::Constant{std::move(name), std::move(type_arguments)}});
}

}  // namespace korvale
