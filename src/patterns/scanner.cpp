#include "patterns/scanner.hpp"

namespace korvale {
namespace {

constexpr ScanRules kParentheses({.brackets = "()", .unbalanced = Unbalanced::Stop});

}  // namespace

bool Scanner::next() {
  using Role = ScanRules::Role;
  // Locals, not members, in the loops: most bytes are plain and only advance.
  const std::string_view text = text_;
  const auto& roles = rules_.roles_;
  const std::uint64_t low = rules_.special_[0];
  const std::uint64_t high = rules_.special_[1];
  auto is_plain = [&](unsigned char byte) {
    return byte >= 128 || (((byte < 64 ? low : high) >> (byte % 64)) & 1) == 0;
  };
  for (std::size_t i = position_; i < text.size(); ++i) {
    while (is_plain(static_cast<unsigned char>(text[i]))) {
      if (++i == text.size()) return stop_at(i, false);
    }
    const ScanRules::ByteRole role = roles[static_cast<unsigned char>(text[i])];
    if (role.role == Role::Quote) {
      if (rules_.quotes_ == Quotes::Anywhere || at_top_level()) on_quote(text[i]);
      continue;
    }
    if (quote_ != 0) continue;
    if (role.role == Role::Opener) {
      ++depths_[role.pair];
    } else if (role.role == Role::Closer) {
      if (--depths_[role.pair] < 0 && rules_.unbalanced_ == Unbalanced::Stop) {
        unbalanced_ = true;
        unbalanced_pair_ = role.pair;
        return stop_at(i, false);
      }
    } else if (at_top_level()) {
      return stop_at(i, true);
    }
  }
  return stop_at(text.size(), false);
}

bool Scanner::stop_at(std::size_t offset, bool at_separator) {
  offset_ = offset;
  position_ = offset < text_.size() ? offset + 1 : offset;
  return at_separator;
}

void Scanner::on_quote(char c) {
  if (quote_ == 0) {
    quote_ = c;
  } else if (c == quote_) {
    quote_ = 0;
  }
}

std::size_t find_top_level(std::string_view text, const ScanRules& rules) {
  Scanner scan(text, rules);
  return scan.next() ? scan.offset() : std::string_view::npos;
}

std::size_t find_closing_parenthesis(std::string_view text, std::size_t open) {
  assert(open < text.size() && text[open] == '(');
  Scanner scan(text.substr(open + 1), kParentheses);
  scan.next();
  return scan.at_unbalanced() ? open + 1 + scan.offset() : std::string_view::npos;
}

}  // namespace korvale
