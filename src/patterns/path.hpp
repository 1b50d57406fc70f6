// Path patterns: node patterns joined by edge patterns, as in
// "(a:A)-[f:A -> B]->(b:B {name: 'x'})", the text that match and create take.
#pragma once

#include <string>
#include <vector>

#include "errors/report.hpp"
#include "patterns/edge.hpp"
#include "patterns/node.hpp"

namespace korvale {

// A plain value, not changed after it is built. Node i and node i + 1 are the
// ends of edge i; how node and edge texts alternated in the text is not kept.
// Copies share the elements' property maps.
struct PathPattern {
  std::string pattern;  // the text as given, trimmed of white space at both ends
  std::vector<NodePattern> nodes;
  std::vector<EdgePattern> edges;

  // Trims, tokenizes and parses every node and edge text, then refuses as many
  // edges as nodes or more. Every failure gets "path pattern - new
  // [src/patterns/path:50]" last. Fewer edges than nodes minus one pass here
  // and are refused by validate.
  static Result<PathPattern> new_(std::string pattern);

  // InvalidPattern unless there is at least one node and exactly one more node
  // than edges. Consumers call it before they use the pattern.
  Status validate() const;

  // The text form: the trimmed text.
  const std::string& to_string() const { return pattern; }
};

}  // namespace korvale
