#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "patterns/term_schema.hpp"
#include "support/report_lines.hpp"

namespace korvale {
namespace {

using testing::line;
using testing::rendered;
using testing::repeat;

// A readable form of a compiled tree; type arguments show their text.
std::string tree(const TermPattern& pattern) {
  struct Visitor {
    std::string operator()(const TermPattern::Wildcard&) const { return "*"; }
    std::string operator()(const TermPattern::Variable& v) const { return "Var(" + v.name + ")"; }
    std::string operator()(const TermPattern::Application& a) const {
      return "App(" + tree(*a.function) + ", " + tree(*a.argument) + ")";
    }
    std::string operator()(const TermPattern::Constant& c) const {
      std::string out = "Const(" + c.name;
      for (std::size_t i = 0; i < c.type_arguments.size(); ++i) {
        out += (i == 0 ? "; " : " | ") + c.type_arguments[i].pattern;
      }
      return out + ")";
    }
  };
  return std::visit(Visitor{}, pattern.value);
}

const std::string k38 = line("term schema - new [src/patterns/term_schema:38]");
const std::string k69 = line("term schema - parse pattern [src/patterns/term_schema:69]");
const std::string k72 = line("term schema - parse pattern [src/patterns/term_schema:72]");
const std::string k81 = line("term schema - parse pattern [src/patterns/term_schema:81]");
const std::string k93 = line("term schema - parse pattern [src/patterns/term_schema:93]");
const std::string k144 =
    line("term pattern - parse constant pattern [src/patterns/term_schema:144]");
const std::string k169 =
    line("term pattern - parse constant pattern [src/patterns/term_schema:169]");
const std::string kType38 = line("type schema - new [src/patterns/type_schema:38]");
const std::string kType48 = line("type schema - parse pattern [src/patterns/type_schema:48]");
const std::string kType150 =
    line("type schema - parse pattern recursive [src/patterns/type_schema:150]");
const std::string kType163 =
    line("type schema - parse pattern recursive [src/patterns/type_schema:163]");

// --- accepted schemas ---------------------------------------------------------

struct Accepted {
  std::string text;
  std::string tree;
};

class AcceptedTermSchemaTest : public ::testing::TestWithParam<Accepted> {};

TEST_P(AcceptedTermSchemaTest, CompilesToTheTreeAndKeepsTheText) {
  auto schema = TermSchema::new_(GetParam().text);
  ASSERT_TRUE(schema.has_value()) << format_report(schema.error());
  EXPECT_EQ(schema->pattern, GetParam().text);
  ASSERT_NE(schema->compiled, nullptr);
  EXPECT_EQ(tree(*schema->compiled), GetParam().tree);
}

INSTANTIATE_TEST_SUITE_P(
    Schemas, AcceptedTermSchemaTest,
    ::testing::Values(
        Accepted{"*", "*"}, Accepted{"  *  ", "*"}, Accepted{"f", "Var(f)"},
        Accepted{"f x y", "App(App(Var(f), Var(x)), Var(y))"},
        Accepted{"f  x", "App(Var(f), Var(x))"},
        // The blank separates; the tab and the no-break space beside it are trimmed away.
        Accepted{"f \t x", "App(Var(f), Var(x))"}, Accepted{"f\u00a0 x", "App(Var(f), Var(x))"},
        Accepted{"* x", "App(*, Var(x))"},
        Accepted{"\xc3\x84pfel x", "App(Var(\xc3\x84pfel), Var(x))"},
        Accepted{"@pair(A, B -> C) x", "App(Const(pair; A | B -> C), Var(x))"},
        Accepted{"f @id(*)", "App(Var(f), Const(id; *))"}, Accepted{"@c()", "Const(c)"},
        Accepted{"@c( )", "Const(c)"}, Accepted{"@c(,)", "Const(c)"},
        Accepted{"@c(A,,B)", "Const(c; A | B)"},
        // Blanks and commas inside inner parentheses belong to their argument.
        Accepted{"@c((A -> B) -> C, (x: D))", "Const(c; (A -> B) -> C | (x: D))"},
        Accepted{"f @c(A -> B) y", "App(App(Var(f), Const(c; A -> B)), Var(y))"},
        // The constant's name is trimmed of any white space, and not validated.
        Accepted{"@\tc\t(A)", "Const(c; A)"}, Accepted{"@9(A)", "Const(9; A)"},
        Accepted{"@c)(A)", "Const(c); A)"}));

TEST(AcceptedTermSchemaTest, ApplicationChainUpToTheLimitCompiles) {
  const std::string text = "f" + repeat(" x", kMaxTermApplications);
  auto schema = TermSchema::new_(text);
  ASSERT_TRUE(schema.has_value()) << format_report(schema.error());
  std::size_t applications = 0;
  const TermPattern* node = schema->compiled.get();
  while (const auto* application = std::get_if<TermPattern::Application>(&node->value)) {
    ++applications;
    EXPECT_EQ(tree(*application->argument), "Var(x)");
    node = application->function.get();
  }
  EXPECT_EQ(applications, kMaxTermApplications);
  EXPECT_EQ(tree(*node), "Var(f)");
}

TEST(AcceptedTermSchemaTest, CopiesShareTheCompiledTree) {
  auto schema = TermSchema::new_("f x");
  ASSERT_TRUE(schema.has_value());
  const TermSchema copy = *schema;
  EXPECT_EQ(copy.pattern, "f x");
  EXPECT_EQ(copy.compiled, schema->compiled);
}

// --- refused schemas ----------------------------------------------------------

struct Refused {
  std::string text;
  std::string report;
};

class RefusedTermSchemaTest : public ::testing::TestWithParam<Refused> {};

TEST_P(RefusedTermSchemaTest, RendersTheFullReport) {
  EXPECT_EQ(rendered(TermSchema::new_(GetParam().text)), GetParam().report);
}

const std::string kBlankInName = "': Name cannot contain whitespace";
const std::string kBadStart = "': Name must start with a letter or underscore";

INSTANTIATE_TEST_SUITE_P(
    Schemas, RefusedTermSchemaTest,
    ::testing::Values(
        Refused{"", "Invalid Pattern; '': Invalid pattern: empty string" + k38},
        // The pattern shown is the text before trimming.
        Refused{"   ", "Invalid Pattern; '   ': Invalid pattern: empty string" + k38},
        // Only U+0020 separates: a tab stays inside the name.
        Refused{"f\tx", "Invalid Identifier 'f\tx" + kBlankInName + k38 + k93},
        // Parentheses do not group terms.
        Refused{"(f x)", "Invalid Identifier '(f x)" + kBlankInName + k38 + k93},
        Refused{"f (g x)", "Invalid Identifier '(g x)" + kBlankInName + k38 + k72 + k93},
        // A blank after an unmatched ")" stands at depth -1 and does not split.
        Refused{"f) x", "Invalid Identifier 'f) x" + kBlankInName + k38 + k93},
        // Each enclosing application adds the line of its function side.
        Refused{"1d b c", "Invalid Identifier '1d" + kBadStart + k38 + k69 + k69 + k93},
        Refused{"a 1b c", "Invalid Identifier '1b" + kBadStart + k38 + k69 + k72 + k93},
        Refused{"a b 1c", "Invalid Identifier '1c" + kBadStart + k38 + k72 + k93},
        // The function side is compiled first.
        Refused{"1a 1b", "Invalid Identifier '1a" + kBadStart + k38 + k69 + k93},
        Refused{"@c(A)x",
                "Invalid Pattern; '@c(A)x': Constant pattern has unexpected content after closing "
                "parenthesis at position 4" +
                    k38 + k81},
        Refused{"@c((A))x",
                "Invalid Pattern; '@c((A))x': Constant pattern has unexpected content after "
                "closing parenthesis at position 6" +
                    k38 + k81},
        // The position counts bytes: the two-byte letter moves it to 5.
        Refused{"@\xc3\xa9(A)x",
                "Invalid Pattern; '@\xc3\xa9(A)x': Constant pattern has unexpected content after "
                "closing parenthesis at position 5" +
                    k38 + k81},
        Refused{"@(A)", "Invalid Pattern; '@(A)': Constant name cannot be empty" + k38 + k81},
        Refused{"@\t(A)", "Invalid Pattern; '@\t(A)': Constant name cannot be empty" + k38 + k81},
        Refused{
            "@c",
            "Invalid Pattern; '@c': Constant pattern must have parentheses with type arguments" +
                k38 + k81},
        Refused{"@",
                "Invalid Pattern; '@': Constant pattern must have parentheses with type arguments" +
                    k38 + k81},
        Refused{
            "@c (A)",
            "Invalid Pattern; '@c': Constant pattern must have parentheses with type arguments" +
                k38 + k69 + k81},
        Refused{"@c(A",
                "Invalid Pattern; '@c(A': Constant pattern has unmatched opening parenthesis" +
                    k38 + k81 + k144},
        Refused{"f @c((A)",
                "Invalid Pattern; '@c((A)': Constant pattern has unmatched opening parenthesis" +
                    k38 + k72 + k81 + k144},
        Refused{"@c(1A)", "Invalid Identifier '1A" + kBadStart + k38 + k81 + k169 + kType38 +
                              kType48 + kType163},
        // A comma inside inner parentheses does not cut the argument list.
        Refused{"@c(A, (B, C))", "Invalid Identifier 'B, C" + kBlankInName + k38 + k81 + k169 +
                                     kType38 + kType48 + kType150 + kType163},
        Refused{"@c(A, ->)", "Schema Validation Failed for '': Empty pattern" + k38 + k81 + k169 +
                                 kType38 + kType48 +
                                 line("type schema - parse pattern recursive "
                                      "[src/patterns/type_schema:107]")},
        Refused{"f" + repeat(" x", kMaxTermApplications + 1),
                "Invalid Pattern; 'f" + repeat(" x", kMaxTermApplications + 1) +
                    "': Term schema has too many applications (more than 256)" + k38}));

// A chain far beyond the limit is refused in one linear pass: no quadratic
// rescanning, no recursion.
TEST(RefusedTermSchemaTest, HugeApplicationChainIsRefusedQuickly) {
  const std::string text = "f" + repeat(" x1", 200000);
  const auto start = std::chrono::steady_clock::now();
  auto schema = TermSchema::new_(text);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(schema.has_value());
  const auto* error = std::get_if<kind::InvalidPattern>(&schema.error().kind());
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->reason, "Term schema has too many applications (more than 256)");
  EXPECT_LT(elapsed, std::chrono::seconds(5));
}

TEST(RefusedTermSchemaTest, ParseConstantPatternReportsWithoutTheOuterLines) {
  EXPECT_EQ(rendered(TermSchema::parse_constant_pattern("@c(A)(B)")),
            "Invalid Pattern; '@c(A)(B)': Constant pattern has unexpected content after closing "
            "parenthesis at position 4");
  EXPECT_EQ(rendered(TermSchema::parse_pattern("f 1x")),
            "Invalid Identifier '1x': Name must start with a letter or underscore" + k72 + k93);
}

}  // namespace
}  // namespace korvale
