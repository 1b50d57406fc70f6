#include "patterns/path.hpp"

#include <utility>

#include "patterns/parsing.hpp"
#include "text/unicode.hpp"

namespace korvale {
namespace {

std::unexpected<Report> refuse(std::string_view pattern, std::string reason) {
  return fail(kind::InvalidPattern{std::string(pattern), std::move(reason)});
}

// Everything of new_ but its last context line; `t` is trimmed.
Result<PathPattern> parse_path(std::string_view t) {
  if (t.empty()) return refuse("", "Pattern cannot be empty");
  const auto tokens =
      KORVALE_TRY(tokenize_pattern(t), "path pattern - parse [src/patterns/path:69]");
  PathPattern path;
  for (const Token& token : tokens) {
    if (token.kind == Token::Kind::Node) {
      path.nodes.push_back(KORVALE_TRY(parse_node_pattern(token.text),
                                       "path pattern - parse [src/patterns/path:79]"));
    } else {
      path.edges.push_back(KORVALE_TRY(parse_edge_pattern(token.text),
                                       "path pattern - parse [src/patterns/path:83]"));
    }
  }
  if (path.edges.size() >= path.nodes.size()) {
    return refuse(t, "Invalid pattern: too many edges for the number of nodes");
  }
  path.pattern = std::string(t);
  return path;
}

}  // namespace

Result<PathPattern> PathPattern::new_(std::string pattern) {
  return KORVALE_TRY(parse_path(unicode::trim(pattern)),
                     "path pattern - new [src/patterns/path:50]");
}

Status PathPattern::validate() const {
  if (nodes.empty()) return refuse(pattern, "a path pattern cannot be empty");
  if (nodes.size() != edges.size() + 1) {
    return refuse(pattern, "the number of nodes should be the number of edges plus 1");
  }
  return {};
}

}  // namespace korvale
