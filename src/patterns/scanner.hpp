// The one walk over pattern text that the parsers share: it keeps the depth of
// every bracket pair and whether a quoted string is open, and stops at the
// separators that stand outside both, so each parser only says what to do
// there. Each parser names its own syntax (ScanSyntax), since they differ in
// which brackets count, how quotes are read and what an unbalanced closer does.
//
// The walk is byte by byte: every character it knows is ASCII, and UTF-8 never
// reuses ASCII bytes inside a multi-byte character.
#pragma once

#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace korvale {

// How quotes are read. None knows escapes: a backslash before a quote does not
// keep it from opening or closing a string.
enum class Quotes : std::uint8_t {
  Plain,     // quotes are ordinary characters
  Anywhere,  // " or ' opens a string that only the same character closes
  TopLevel,  // as Anywhere, but inside brackets quotes are ordinary characters
};

// Whether each bracket pair keeps a depth of its own, so that "(]" leaves two
// pairs unbalanced, or all pairs share one depth, which "(]" brings back to 0.
enum class Depths : std::uint8_t { Shared, PerPair };

// What a closer does that takes its depth below 0: the depth goes negative and
// the text is top level again only where it comes back to 0, or the scan stops.
enum class Unbalanced : std::uint8_t { CountOn, Stop };

struct ScanSyntax {
  std::string_view brackets = {};    // opener and closer pairs, e.g. "()[]"; three at most
  std::string_view separators = {};  // where the scan stops at the top level
  Quotes quotes = Quotes::Plain;
  Depths depths = Depths::Shared;
  Unbalanced unbalanced = Unbalanced::CountOn;
};

// A syntax compiled into the role of every byte, once, at compile time.
class ScanRules {
 public:
  static constexpr std::size_t kMaxPairs = 3;

  // Brackets, quotes and separators are distinct ASCII characters.
  constexpr explicit ScanRules(const ScanSyntax& syntax)
      : quotes_(syntax.quotes), unbalanced_(syntax.unbalanced) {
    assert(syntax.brackets.size() % 2 == 0 && syntax.brackets.size() <= 2 * kMaxPairs);
    for (std::size_t k = 0; k < syntax.brackets.size() / 2; ++k) {
      const auto pair = static_cast<std::uint8_t>(syntax.depths == Depths::Shared ? 0 : k);
      assign(syntax.brackets[2 * k], {Role::Opener, pair});
      assign(syntax.brackets[2 * k + 1], {Role::Closer, pair});
    }
    if (syntax.quotes != Quotes::Plain) {
      assign('"', {Role::Quote, 0});
      assign('\'', {Role::Quote, 0});
    }
    for (const char c : syntax.separators) assign(c, {Role::Separator, 0});
  }

 private:
  friend class Scanner;
  enum class Role : std::uint8_t { Plain, Quote, Opener, Closer, Separator };
  struct ByteRole {
    Role role = Role::Plain;
    std::uint8_t pair = 0;  // the bracket pair of an opener or closer
  };

  constexpr void assign(char c, ByteRole role) {
    const auto byte = static_cast<unsigned char>(c);
    assert(byte < 128 && roles_[byte].role == Role::Plain);
    roles_[byte] = role;
    special_[byte / 64] |= std::uint64_t{1} << (byte % 64);
  }

  std::array<ByteRole, 256> roles_{};
  // One bit per ASCII byte that is not plain: most bytes are plain, and a test
  // of a mask held in a register costs less than a load from the table.
  std::uint64_t special_[2] = {0, 0};
  Quotes quotes_;
  Unbalanced unbalanced_;
};

// Walks `text` from its start. Neither the text nor the rules are copied: both
// must outlive the scanner.
class Scanner {
 public:
  Scanner(std::string_view text, const ScanRules& rules) : text_(text), rules_(rules) {}

  // Moves to the next separator outside strings and all brackets. False where
  // the text ends, or, with Unbalanced::Stop, at a closer without its opener.
  bool next();

  // The offset of the separator or closer the scan stopped at; the text's size
  // once it has ended.
  std::size_t offset() const { return offset_; }

  // Whether the scan stopped at a closer without its opener.
  bool at_unbalanced() const { return unbalanced_; }

  // The pair of that closer: its place in the syntax's brackets (0 for
  // Depths::Shared). Only meaningful after at_unbalanced().
  std::size_t unbalanced_pair() const { return unbalanced_pair_; }

  // The depth of a pair where the scan stands (pair 0 for Depths::Shared).
  long depth(std::size_t pair) const {
    assert(pair < ScanRules::kMaxPairs);
    return depths_[pair];
  }

 private:
  bool at_top_level() const { return depths_[0] == 0 && depths_[1] == 0 && depths_[2] == 0; }
  void on_quote(char c);
  bool stop_at(std::size_t offset, bool at_separator);

  std::string_view text_;
  const ScanRules& rules_;
  std::size_t position_ = 0;  // the next byte to read
  std::size_t offset_ = 0;
  long depths_[ScanRules::kMaxPairs] = {0, 0, 0};
  char quote_ = 0;  // the quote of the open string; 0: none is open
  bool unbalanced_ = false;
  std::size_t unbalanced_pair_ = 0;
};

// The offset of the first separator of `rules` in `text` at the top level, or
// npos where Scanner::next() finds none.
std::size_t find_top_level(std::string_view text, const ScanRules& rules);

// The offset of the ")" that closes the "(" at `open` (parentheses nest, quotes
// are ordinary characters), or npos when the text ends first.
std::size_t find_closing_parenthesis(std::string_view text, std::size_t open);

}  // namespace korvale
