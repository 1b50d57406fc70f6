#include "patterns/parsing.hpp"

#include <cassert>
#include <optional>
#include <utility>

#include "patterns/property_block.hpp"
#include "patterns/scanner.hpp"
#include "text/unicode.hpp"

namespace korvale {
namespace {

constexpr std::size_t npos = std::string_view::npos;

std::unexpected<Report> refuse(std::string_view pattern, std::string reason) {
  return fail(kind::InvalidPattern{std::string(pattern), std::move(reason)});
}

// The tokenizer's own notion of a blank; other white space is a character
// like any other there.
bool is_blank(char32_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Splits a path pattern into node and edge texts. Node texts end where Scanner
// says (find_closing_parenthesis); edges keep depths of their own, since they
// refuse, by name, every character outside their brackets but blanks and arrows
// and may end at the "]" that closes them, while Scanner passes over whatever
// stands inside brackets and stops only at separators outside all of them.
class Tokenizer {
 public:
  explicit Tokenizer(std::string_view text) : text_(text) {}

  Result<std::vector<Token>> run() {
    for (std::size_t i = 0; i < text_.size();) {
      const std::size_t start = i;
      const char32_t c = unicode::next(text_, i);
      Status step = state_ == State::Idle ? idle(c, start, i) : in_edge(c, i);
      if (!step) return fail(std::move(step.error()));
    }
    if (bracket_depth_ != 0) return refuse(text_, "Unmatched brackets in pattern");
    if (state_ == State::InEdge) return refuse(text_, "Pattern cannot end with an edge");
    return std::move(tokens_);
  }

 private:
  enum class State { Idle, InEdge };

  // `start` is the character's offset, `after` the offset after it; a node
  // text is taken whole, up to the ")" that closes it, and `after` moves past it.
  Status idle(char32_t c, std::size_t start, std::size_t& after) {
    if (is_blank(c)) return {};
    if (c == '(') {
      const std::size_t close = find_closing_parenthesis(text_, start);
      // Nothing after an open node text could fail first.
      if (close == npos) return refuse(text_, "Unmatched parentheses in pattern");
      tokens_.push_back({Token::Kind::Node, std::string(text_.substr(start, close + 1 - start))});
      after = close + 1;
    } else if (c == '-' || c == '<' || c == '>' || c == '[') {
      edge_start_ = start;
      if (c == '[') bracket_depth_ = 1;
      state_ = State::InEdge;
    } else {
      return unexpected(c, "outside of node or edge pattern");
    }
    return {};
  }

  // `end` is the offset just after the character.
  Status in_edge(char32_t c, std::size_t end) {
    bool check_end = false;
    if (c == '[' || c == ']') {
      bracket_depth_ += c == '[' ? 1 : -1;
      check_end = true;
    } else if (c == '(' || c == ')') {
      if (bracket_depth_ < 1) return unexpected(c, "in edge pattern");
      edge_paren_depth_ += c == '(' ? 1 : -1;
    } else if (is_blank(c) || c == '-' || c == '<' || c == '>') {
      check_end = true;
    } else if (bracket_depth_ < 1) {
      return unexpected(c, "in edge pattern");
    }
    if (check_end && bracket_depth_ == 0 && edge_paren_depth_ == 0 && node_follows(end)) {
      tokens_.push_back(
          {Token::Kind::Edge, std::string(text_.substr(edge_start_, end - edge_start_))});
      bracket_depth_ = 0;
      edge_paren_depth_ = 0;
      state_ = State::Idle;
    }
    return {};
  }

  // Whether the first non-blank character at or after `from` is "(". The end
  // of the last blank run is remembered: every character of a long run of
  // blanks asks again, and rescanning the run each time would be quadratic.
  bool node_follows(std::size_t from) {
    if (from < run_start_ || from > run_end_) {
      run_start_ = run_end_ = from;
      while (run_end_ < text_.size() && is_blank(static_cast<unsigned char>(text_[run_end_]))) {
        ++run_end_;
      }
    }
    return run_end_ < text_.size() && text_[run_end_] == '(';
  }

  std::unexpected<Report> unexpected(char32_t c, const char* where) {
    std::string reason = "Unexpected character '";
    unicode::append_utf8(reason, c);
    reason += "' ";
    reason += where;
    return refuse(text_, std::move(reason));
  }

  std::string_view text_;
  State state_ = State::Idle;
  std::vector<Token> tokens_;
  std::size_t edge_start_ = 0;
  long bracket_depth_ = 0;
  long edge_paren_depth_ = 0;
  std::size_t run_start_ = 1;  // empty remembered run: [1, 0]
  std::size_t run_end_ = 0;
};

// A property block begins at the first "{" outside all parentheses and
// brackets; braces do not nest here, and quotes mean nothing.
constexpr ScanRules kPropertyBlockScan({.brackets = "()[]",
                                        .separators = "{",
                                        .depths = Depths::PerPair});

// The element's parts stand between the colons outside all three kinds of
// bracket; a closer without its opener is refused.
constexpr ScanRules kColonScan({.brackets = "()[]{}",
                                .separators = ":",
                                .depths = Depths::PerPair,
                                .unbalanced = Unbalanced::Stop});

// What differs between the node and the edge parser: context lines and wording.
struct ElementRules {
  const char* properties_line;
  const char* split_line;
  const char* lone_type_line;  // nullptr: a lone part is always the variable
  const char* type_of_two_line;
  const char* type_of_three_line;
  const char* term_of_three_line;
  const char* too_many_parts;
};

constexpr ElementRules kNodeRules{
    "parse node pattern [src/patterns/parsing:732]",
    "parse node pattern [src/patterns/parsing:740]",
    "parse node pattern [src/patterns/parsing:750]",
    "parse node pattern [src/patterns/parsing:767]",
    "parse node pattern [src/patterns/parsing:783]",
    "parse node pattern [src/patterns/parsing:789]",
    "Node pattern has too many ':' separators. Expected format: (var:TypeSchema:TermSchema)",
};

constexpr ElementRules kEdgeRules{
    "parse edge pattern [src/patterns/parsing:857]",
    "parse edge pattern [src/patterns/parsing:865]",
    nullptr,
    "parse edge pattern [src/patterns/parsing:887]",
    "parse edge pattern [src/patterns/parsing:904]",
    "parse edge pattern [src/patterns/parsing:911]",
    "Edge pattern has too many ':' separators. Expected format: [var:TypeSchema:TermSchema]",
};

struct ElementParts {
  std::optional<std::string> variable;
  std::optional<TypeSchema> type_schema;
  std::optional<TermSchema> term_schema;
  std::optional<PropertyMap> properties;
};

std::optional<std::string> present(std::string part) {
  if (part.empty()) return std::nullopt;
  return part;
}

template <class Schema>
Result<std::optional<Schema>> compile_part(std::string part, const char* line) {
  if (part.empty()) return std::optional<Schema>();
  return std::optional<Schema>(KORVALE_TRY(Schema::new_(std::move(part)), line));
}

bool looks_like_type_schema(const std::string& part) {
  return part.find("->") != npos || part.find('*') != npos || part.front() == '(';
}

// Splits the trimmed inner text of an element into its parts. Schemas are
// compiled type first, then term; the variable is left to the pattern's
// constructor. `whole` is the element's text for the too-many-parts report.
Result<ElementParts> parse_element(std::string_view inner, std::string_view whole,
                                   const ElementRules& rules) {
  assert(unicode::trim(inner).size() == inner.size());
  ElementParts parts;
  if (const std::size_t brace = find_top_level(inner, kPropertyBlockScan); brace != npos) {
    parts.properties = KORVALE_TRY(parse_properties(inner.substr(brace)), rules.properties_line);
    inner = unicode::trim(inner.substr(0, brace));
  }
  auto texts = KORVALE_TRY(smart_split_colons(inner), rules.split_line);
  switch (texts.size()) {
    case 1:
      if (rules.lone_type_line && !texts[0].empty() && looks_like_type_schema(texts[0])) {
        parts.type_schema =
            KORVALE_PASS(compile_part<TypeSchema>(std::move(texts[0]), rules.lone_type_line));
      } else {
        parts.variable = present(std::move(texts[0]));
      }
      break;
    case 2:
      parts.type_schema =
          KORVALE_PASS(compile_part<TypeSchema>(std::move(texts[1]), rules.type_of_two_line));
      parts.variable = present(std::move(texts[0]));
      break;
    case 3:
      parts.type_schema =
          KORVALE_PASS(compile_part<TypeSchema>(std::move(texts[1]), rules.type_of_three_line));
      parts.term_schema =
          KORVALE_PASS(compile_part<TermSchema>(std::move(texts[2]), rules.term_of_three_line));
      parts.variable = present(std::move(texts[0]));
      break;
    default:
      return refuse(whole, rules.too_many_parts);
  }
  return parts;
}

}  // namespace

Result<std::vector<Token>> tokenize_pattern(std::string_view text) {
  return Tokenizer(text).run();
}

Result<std::vector<std::string>> smart_split_colons(std::string_view text) {
  // In the order of the pairs of kColonScan.
  static constexpr const char* kUnbalanced[3] = {"Unbalanced parentheses in pattern",
                                                 "Unbalanced brackets in pattern",
                                                 "Unbalanced braces in pattern"};
  std::vector<std::string> parts;
  std::size_t start = 0;
  Scanner scan(text, kColonScan);
  for (; scan.next(); start = scan.offset() + 1) {
    parts.emplace_back(unicode::trim(text.substr(start, scan.offset() - start)));
  }
  if (scan.at_unbalanced()) return refuse(text, kUnbalanced[scan.unbalanced_pair()]);
  parts.emplace_back(unicode::trim(text.substr(start)));
  for (std::size_t k = 0; k < 3; ++k) {
    if (scan.depth(k) != 0) return refuse(text, kUnbalanced[k]);
  }
  return parts;
}

Result<NodePattern> parse_node_pattern(std::string_view text) {
  const std::string_view t = unicode::trim(text);
  if (t.empty() || t.front() != '(' || t.back() != ')') {
    return refuse(t, "Node pattern must be enclosed in parentheses");
  }
  const std::string_view inner = unicode::trim(t.substr(1, t.size() - 2));
  if (inner.empty())
    return NodePattern::new_(std::nullopt, std::nullopt, std::nullopt, std::nullopt);
  auto parts = KORVALE_PASS(parse_element(inner, t, kNodeRules));
  return NodePattern::new_(std::move(parts.variable), std::move(parts.type_schema),
                           std::move(parts.term_schema), std::move(parts.properties));
}

Result<EdgePattern> parse_edge_pattern(std::string_view text) {
  const std::string_view t = unicode::trim(text);
  const std::size_t first = t.find('[');
  if (first == npos) return refuse(t, "Edge pattern must contain brackets");
  const std::size_t last = t.rfind(']');
  if (last == npos) return refuse(t, "Edge pattern must contain closing bracket");
  if (last < first) return refuse(t, "Brackets are mismatched");

  const std::string_view left = t.substr(0, first);
  const std::string_view right = t.substr(last + 1);
  if (left.find("<-") != npos && right.find("->") != npos) {
    return refuse(t, "Cannot have both <- and -> in same edge");
  }
  const char* direction = left.find('<') != npos    ? "backward"
                          : right.find('>') != npos ? "forward"
                                                    : "any";
  const std::string_view inner = unicode::trim(t.substr(first + 1, last - first - 1));
  if (inner.empty()) {
    return EdgePattern::new_(std::nullopt, std::nullopt, std::nullopt, direction, std::nullopt);
  }
  auto parts = KORVALE_PASS(parse_element(inner, t, kEdgeRules));
  return EdgePattern::new_(std::move(parts.variable), std::move(parts.type_schema),
                           std::move(parts.term_schema), direction, std::move(parts.properties));
}

}  // namespace korvale
