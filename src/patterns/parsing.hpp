// The element parsers of the path language: the tokenizer that cuts a path
// text into node and edge texts, the colon split of an element, and the
// parsers of node texts "(var:TypeSchema:TermSchema {...})" and edge texts
// "-[var:TypeSchema:TermSchema {...}]->".
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "errors/report.hpp"
#include "patterns/edge.hpp"
#include "patterns/node.hpp"

namespace korvale {

// One exact piece of a path text.
struct Token {
  enum class Kind { Node, Edge };
  Kind kind;
  std::string text;  // a node text with both parentheses, or an edge text

  friend bool operator==(const Token&, const Token&) = default;
};

// Cuts a path text into node and edge texts, in text order. Blanks (space,
// tab, line feed, carriage return) between tokens are skipped; quotes mean
// nothing here, so a ")" inside a quoted value can end a node text. An edge
// text ends where, outside its brackets, the next non-blank character is "(".
// Fails with InvalidPattern whose `pattern` is `text`.
Result<std::vector<Token>> tokenize_pattern(std::string_view text);

// The parts of an element's text between the colons that stand outside all
// parentheses, brackets and braces, each trimmed; at least one, empty ones
// kept. Fails with InvalidPattern on a closing character without its opening
// one, or an opening one left open.
Result<std::vector<std::string>> smart_split_colons(std::string_view text);

// Parses one node text from the tokenizer, parentheses included. Fails with
// InvalidPattern for its own shapes, or with the report of the property block,
// a schema or the variable's name, each with this parser's context line.
Result<NodePattern> parse_node_pattern(std::string_view text);

// Parses one edge text from the tokenizer. The direction comes from the arrow
// characters outside the brackets: "<" on the left is Backward, else ">" on
// the right is Forward, else Any; "<-" together with "->" is refused.
Result<EdgePattern> parse_edge_pattern(std::string_view text);

}  // namespace korvale
