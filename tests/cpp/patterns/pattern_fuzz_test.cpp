// Random and mutated pattern texts fed to every parser of the pattern
// language: none may crash, hang or overflow the stack, and every failure must
// be an orderly report of a kind the parser makes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "patterns/path.hpp"
#include "patterns/property_block.hpp"
#include "patterns/term_schema.hpp"
#include "patterns/type_schema.hpp"
#include "support/report_lines.hpp"
#include "text/unicode.hpp"

namespace korvale {
namespace {

using testing::repeat;

const std::vector<std::string> kCorpus = {
    "(a)",
    "(a:A)-[f:A -> B]->(b:B {name: 'x'})",
    "(p:Person {name: 'Ann', age: 42, tags: ['a', 'b'], address: {city: 'Oslo'}})",
    "(a)<-[e:(x: A) -> *:f @c(A, B -> C) y]-(b)-[g]-(c)",
    "(x:((t: A)) -> B:@pair(A, (B -> C)) x y {k: [1.5e3, -2, null, None, true]})",
    "-[e {w: {\"k\": 'v\\'', q: [[], {}]}}]->(n)(m)",
    "(n {s: '(x)', t: \"a:b\", u: +7, v: .5, w: 9223372036854775808})",
    "(\xc3\xa9:\xc3\x84pfel:\xe5\x90\x8d {\xc3\xbc: '\xe2\x86\x92'})",
    "{a: [1, 2, {b: 'c'}], d: -0.0}",
    "[1, 'a', [true, None], {k: 1e-5}]",
    "f @id(*) (x) y",
    "(x: A -> B) -> (y: *)",
};

// Pieces of the pattern alphabet, some white space that is no blank, and
// characters of several bytes.
const std::vector<std::string> kAlphabet = {"(",
                                            ")",
                                            "[",
                                            "]",
                                            "{",
                                            "}",
                                            "<",
                                            ">",
                                            "-",
                                            "->",
                                            "<-",
                                            ":",
                                            ",",
                                            "'",
                                            "\"",
                                            "\\",
                                            " ",
                                            "\t",
                                            "\n",
                                            "\r",
                                            "*",
                                            "@",
                                            "a",
                                            "x",
                                            "A",
                                            "1",
                                            "9",
                                            "e",
                                            ".",
                                            "+",
                                            "_",
                                            "None",
                                            "true",
                                            "nan",
                                            "1e400",
                                            "\f",
                                            "\v",
                                            "\xc2\xa0",
                                            "\xe3\x80\x80",
                                            "\xc3\xa9",
                                            "\xe2\x86\x92",
                                            "\xf0\x9f\x98\x80",
                                            "\xcc\x81"};

class Generator {
 public:
  explicit Generator(std::uint64_t seed) : rng_(seed) {}

  std::string next_text() {
    if (below(8) == 0) return random_text();
    std::string text = kCorpus[below(kCorpus.size())];
    const std::size_t mutations = 1 + below(6);
    for (std::size_t i = 0; i < mutations; ++i) mutate(text);
    return text;
  }

 private:
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(rng_() % n); }
  const std::string& piece() { return kAlphabet[below(kAlphabet.size())]; }

  std::string random_text() {
    std::string text;
    const std::size_t length = below(40);
    for (std::size_t i = 0; i < length; ++i) text += piece();
    return text;
  }

  // Byte positions on purpose: a cut through a character of several bytes
  // makes malformed UTF-8, which must not harm the parsers either.
  void mutate(std::string& text) {
    const std::size_t at = below(text.size() + 1);
    switch (below(5)) {
      case 0:
        text.insert(at, piece());
        break;
      case 1:
        text.erase(at, 1 + below(4));
        break;
      case 2: {  // repeat a slice, which also builds deep nesting
        const std::string slice = text.substr(at, 1 + below(8));
        const std::size_t times = 1 + below(below(10) == 0 ? 300 : 4);
        text.insert(at, repeat(slice, times));
        break;
      }
      case 3:
        if (at < text.size()) text.replace(at, 1, piece());
        break;
      default: {  // splice in a piece of another corpus entry
        const std::string& other = kCorpus[below(kCorpus.size())];
        const std::size_t from = below(other.size());
        text.insert(at, other.substr(from, 1 + below(12)));
      }
    }
  }

  std::mt19937_64 rng_;
};

bool is_valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    const char32_t c = unicode::next(text, i);
    // next() yields U+FFFD for a malformed sequence and advances one byte.
    if (c == U'\uFFFD' && text.substr(start, 3) != "\xef\xbf\xbd") return false;
  }
  return true;
}

// Checks one parser's result; returns false after reporting a finding.
template <class T>
bool orderly(const Result<T>& result, const char* parser, const std::string& input,
             bool any_schema_kind) {
  if (result) return true;
  const KorvaleError& error = result.error().kind();
  const bool expected_kind =
      std::holds_alternative<kind::InvalidPattern>(error) ||
      (any_schema_kind && (std::holds_alternative<kind::SchemaValidation>(error) ||
                           std::holds_alternative<kind::InvalidIdentifier>(error)));
  const std::string report = format_report(result.error());
  if (!expected_kind || report.empty()) {
    ADD_FAILURE() << parser << " gave an unexpected report for input \"" << input << "\":\n"
                  << report;
    return false;
  }
  // Reports quote slices of the input: a well-formed input gives a well-formed report.
  if (is_valid_utf8(input) && !is_valid_utf8(report)) {
    ADD_FAILURE() << parser << " cut a character apart for input \"" << input << "\"";
    return false;
  }
  return true;
}

// Counts of inputs each parser accepted, to show the generator reaches past
// the first checks.
struct Accepted {
  std::size_t paths = 0, values = 0, terms = 0, types = 0;
};

bool parse_everything(const std::string& input, Accepted& accepted) {
  bool ok = true;
  auto path = PathPattern::new_(input);
  accepted.paths += path.has_value();
  ok &= orderly(path, "PathPattern::new_", input, true);
  if (path) {
    EXPECT_EQ(path->pattern, unicode::trim(input));
    EXPECT_LT(path->edges.size(), path->nodes.size());
    ok &= orderly(path->validate(), "PathPattern::validate", input, false);
  }
  auto value = parse_property_value(input);
  accepted.values += value.has_value();
  ok &= orderly(value, "parse_property_value", input, false);
  if (value) value->to_string();
  ok &= orderly(parse_properties(input), "parse_properties", input, false);
  auto term = TermSchema::new_(input);
  accepted.terms += term.has_value();
  ok &= orderly(term, "TermSchema::new_", input, true);
  auto type = TypeSchema::new_(input);
  accepted.types += type.has_value();
  ok &= orderly(type, "TypeSchema::new_", input, true);
  return ok;
}

TEST(PatternFuzzTest, RandomAndMutatedTextsEndInOrderlyReports) {
  // Bounded by time as well as by count: the sanitizer builds run far slower.
  constexpr std::size_t kMaxInputs = 60000;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  Generator generator(0x6b6f7276616c65);
  std::size_t inputs = 0;
  std::size_t findings = 0;
  Accepted accepted;
  while (inputs < kMaxInputs && std::chrono::steady_clock::now() < deadline && findings < 5) {
    if (!parse_everything(generator.next_text(), accepted)) ++findings;
    ++inputs;
  }
  EXPECT_GT(inputs, 100u);
  EXPECT_GT(accepted.paths, 0u);
  EXPECT_GT(accepted.values, 0u);
  EXPECT_GT(accepted.terms, 0u);
  EXPECT_GT(accepted.types, 0u);
  std::printf("%zu inputs; accepted: %zu paths, %zu values, %zu terms, %zu types\n", inputs,
              accepted.paths, accepted.values, accepted.terms, accepted.types);
}

// Inputs built to hit the limits: deep nesting far past every depth limit, long
// chains and long runs that a quadratic scan would not finish.
TEST(PatternFuzzTest, PathologicalTextsEndQuickly) {
  constexpr std::size_t n = 50000;
  const std::vector<std::string> inputs = {
      repeat("(", n),
      repeat("(", n) + "A" + repeat(")", n),
      "(x:" + repeat("(", n) + "A" + repeat(")", n) + ")",
      "(x:A:" + repeat("@c(", n) + repeat(")", n) + ")",
      repeat("[", n) + repeat("]", n),
      "(a)-" + repeat("[", n) + repeat("]", n) + "->(b)",
      "(x {a: " + repeat("[", n) + repeat("]", n) + "})",
      "(x {a: " + repeat("{b: ", n) + "1" + repeat("}", n) + "})",
      "(x::f" + repeat(" x", n) + ")",
      "f" + repeat(" x", n),
      "@c(" + repeat("A,", n) + ")",
      repeat("A -> ", n) + "A",
      "(a)" + repeat("-[e]->(b)", n / 10),
      "(a)-" + repeat(" ", n) + "(b)",
      "(a {s: '" + repeat("\\", n) + "'})",
      repeat("{a:", n),
  };
  Accepted accepted;
  for (const std::string& input : inputs) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(parse_everything(input, accepted)) << input.substr(0, 40);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20))
        << input.substr(0, 40);
  }
}

}  // namespace
}  // namespace korvale
