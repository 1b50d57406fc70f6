#include <gtest/gtest.h>

#include <string>

#include "patterns/type_schema.hpp"
#include "support/on_pool_thread.hpp"

namespace korvale {
namespace {

// A readable form of a compiled tree, for comparing whole trees at once.
std::string tree(const TypePattern& pattern) {
  struct Visitor {
    std::string operator()(const TypePattern::Wildcard&) const { return "*"; }
    std::string operator()(const TypePattern::Variable& v) const { return "Var(" + v.name + ")"; }
    std::string operator()(const TypePattern::Arrow& a) const {
      return "Arrow(" + tree(*a.domain) + ", " + tree(*a.codomain) + ")";
    }
    std::string operator()(const TypePattern::Capture& c) const {
      return "Capture(" + c.name + ", " + tree(*c.pattern) + ")";
    }
  };
  return std::visit(Visitor{}, pattern.value);
}

std::string repeat(std::string_view piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

std::string nested_parentheses(std::size_t levels) {
  return repeat("(", levels) + "A" + repeat(")", levels);
}

std::string arrow_chain(std::size_t arrows) {
  return repeat("A -> ", arrows) + "A";
}

const std::string k38 = "\n \u2192 type schema - new [src/patterns/type_schema:38]";
const std::string k46 = "\n \u2192 type schema - parse pattern [src/patterns/type_schema:46]";
const std::string k48 = "\n \u2192 type schema - parse pattern [src/patterns/type_schema:48]";
const std::string k107 =
    "\n \u2192 type schema - parse pattern recursive [src/patterns/type_schema:107]";
const std::string k109 =
    "\n \u2192 type schema - parse pattern recursive [src/patterns/type_schema:109]";
const std::string k129 =
    "\n \u2192 type schema - parse pattern recursive [src/patterns/type_schema:129]";
const std::string k139 =
    "\n \u2192 type schema - parse pattern recursive [src/patterns/type_schema:139]";
const std::string k150 =
    "\n \u2192 type schema - parse pattern recursive [src/patterns/type_schema:150]";
const std::string k163 =
    "\n \u2192 type schema - parse pattern recursive [src/patterns/type_schema:163]";

// --- accepted schemas ---------------------------------------------------------

struct Accepted {
  std::string text;
  std::string tree;
};

class AcceptedSchemaTest : public ::testing::TestWithParam<Accepted> {};

TEST_P(AcceptedSchemaTest, CompilesToTheTreeAndKeepsTheText) {
  auto schema = TypeSchema::new_(GetParam().text);
  ASSERT_TRUE(schema.has_value()) << format_report(schema.error());
  EXPECT_EQ(schema->pattern, GetParam().text);
  ASSERT_NE(schema->compiled, nullptr);
  EXPECT_EQ(tree(*schema->compiled), GetParam().tree);
}

INSTANTIATE_TEST_SUITE_P(
    Schemas, AcceptedSchemaTest,
    ::testing::Values(
        Accepted{"*", "*"}, Accepted{"  *  ", "*"}, Accepted{"A", "Var(A)"},
        Accepted{"A -> B", "Arrow(Var(A), Var(B))"}, Accepted{"A->B", "Arrow(Var(A), Var(B))"},
        // Arrows associate to the right unless parenthesised.
        Accepted{"A -> B -> C", "Arrow(Var(A), Arrow(Var(B), Var(C)))"},
        Accepted{"(A -> B) -> C", "Arrow(Arrow(Var(A), Var(B)), Var(C))"},
        Accepted{"((A -> B)) -> C", "Arrow(Arrow(Var(A), Var(B)), Var(C))"},
        Accepted{"(A) -> (B)", "Arrow(Var(A), Var(B))"},
        Accepted{"(x: A) -> (y: *)", "Arrow(Capture(x, Var(A)), Capture(y, *))"},
        Accepted{"(x:A->B)", "Capture(x, Arrow(Var(A), Var(B)))"},
        Accepted{"(x: (y: A))", "Capture(x, Capture(y, Var(A)))"},
        Accepted{"(x: * -> *) -> x", "Arrow(Capture(x, Arrow(*, *)), Var(x))"},
        // An empty capture name only groups.
        Accepted{"(: A)", "Var(A)"}, Accepted{"((A))", "Var(A)"},
        Accepted{"\xc3\x84pfel -> Birne" /* Äpfel */, "Arrow(Var(\xc3\x84pfel), Var(Birne))"},
        // Characters of several bytes right before ":" and "->".
        Accepted{"(\xe5\x90\x8d\xe5\x89\x8d: \xc3\x84)->\xc3\xa9" /* (名前: Ä)->é */,
                 "Arrow(Capture(\xe5\x90\x8d\xe5\x89\x8d, Var(\xc3\x84)), Var(\xc3\xa9))"},
        // Unicode white space (ideographic space, no-break space, tab) is trimmed.
        Accepted{"\xe3\x80\x80"
                 "A\xc2\xa0->\tB\n",
                 "Arrow(Var(A), Var(B))"},
        Accepted{nested_parentheses(kMaxSchemaDepth), "Var(A)"}));

TEST(AcceptedSchemaTest, ArrowChainUpToTheDepthLimitCompiles) {
  auto schema = TypeSchema::new_(arrow_chain(kMaxSchemaDepth));
  ASSERT_TRUE(schema.has_value()) << format_report(schema.error());
  const TypePattern* p = schema->compiled.get();
  std::size_t arrows = 0;
  while (const auto* arrow = std::get_if<TypePattern::Arrow>(&p->value)) {
    EXPECT_EQ(tree(*arrow->domain), "Var(A)");
    p = arrow->codomain.get();
    ++arrows;
  }
  EXPECT_EQ(arrows, kMaxSchemaDepth);
  EXPECT_EQ(tree(*p), "Var(A)");
}

// --- refused schemas ------------------------------------------------------------

struct Refused {
  std::string text;
  std::string report;
};

class RefusedSchemaTest : public ::testing::TestWithParam<Refused> {};

TEST_P(RefusedSchemaTest, RendersTheFullReport) {
  auto schema = TypeSchema::new_(GetParam().text);
  ASSERT_FALSE(schema.has_value()) << "compiled: " << tree(*schema->compiled);
  EXPECT_EQ(format_report(schema.error()), GetParam().report);
}

const std::string kEmpty = "Schema Validation Failed for '': Empty pattern";
const std::string kTooManyClosing = "': Unbalanced parentheses: too many closing parentheses";
const std::string kTooManyOpening = "': Unbalanced parentheses: too many opening parentheses";

INSTANTIATE_TEST_SUITE_P(
    Schemas, RefusedSchemaTest,
    ::testing::Values(
        Refused{"", kEmpty + k38 + k48}, Refused{" \t ", kEmpty + k38 + k48},
        Refused{"A ->", kEmpty + k38 + k48 + k109}, Refused{"-> A", kEmpty + k38 + k48 + k107},
        // The count ends at 0, but it went below 0 on the way.
        Refused{")A(", "Schema Validation Failed for ')A(" + kTooManyClosing + k38 + k46},
        // The schema shown is the trimmed text.
        Refused{"  ((A) ", "Schema Validation Failed for '((A)" + kTooManyOpening + k38 + k46},
        Refused{"(A", "Schema Validation Failed for '(A" + kTooManyOpening + k38 + k46},
        Refused{"(x:)", kEmpty + k38 + k48 + k129}, Refused{"()", kEmpty + k38 + k48 + k150},
        Refused{"x: A",
                "Invalid Identifier 'x: A': Name cannot contain whitespace" + k38 + k48 + k163},
        Refused{"None", "Invalid Identifier 'None': 'None' is a reserved name" + k38 + k48 + k163},
        Refused{"(None: A)",
                "Invalid Identifier 'None': 'None' is a reserved name" + k38 + k48 + k139},
        // The inner schema is compiled before the name is checked.
        Refused{"(None: 1A)",
                "Invalid Identifier '1A': Name must start with a letter or underscore" + k38 + k48 +
                    k129 + k163},
        Refused{"(x: y: A)", "Invalid Identifier 'y: A': Name cannot contain whitespace" + k38 +
                                 k48 + k129 + k163},
        Refused{"A -> (B -> 1C)",
                "Invalid Identifier '1C': Name must start with a letter or underscore" + k38 + k48 +
                    k109 + k150 + k109 + k163},
        Refused{"(A)(B)",
                "Invalid Identifier 'A)(B': Name can only contain alphanumeric characters and "
                "underscores" +
                    k38 + k48 + k150 + k163},
        Refused{"A - > B",
                "Invalid Identifier 'A - > B': Name cannot contain whitespace" + k38 + k48 + k163},
        // One level too many: the innermost piece is refused and every piece on
        // the way adds its line; in the chain it is the last arrow's domain.
        Refused{nested_parentheses(kMaxSchemaDepth + 1),
                "Schema Validation Failed for 'A': Pattern nested too deeply (more than 256 "
                "levels)" +
                    k38 + k48 + repeat(k150, kMaxSchemaDepth + 1)},
        Refused{arrow_chain(kMaxSchemaDepth + 1),
                "Schema Validation Failed for 'A': Pattern nested too deeply (more than 256 "
                "levels)" +
                    k38 + k48 + repeat(k109, kMaxSchemaDepth) + k107}));

// --- very deep input ------------------------------------------------------------

// Pool threads have small stacks: deep input must end in an orderly report there.
void refuse_huge_nesting() {
  const std::size_t levels = 100000;
  for (const std::string& text : {nested_parentheses(levels), arrow_chain(levels)}) {
    auto schema = TypeSchema::new_(text);
    ASSERT_FALSE(schema.has_value());
    const auto* error = std::get_if<kind::SchemaValidation>(&schema.error().kind());
    ASSERT_NE(error, nullptr) << format_report(schema.error());
    EXPECT_EQ(error->reason, "Pattern nested too deeply (more than 256 levels)");
  }
}

TEST(DeepSchemaTest, HugeNestingIsRefusedOnAPoolThread) {
  KORVALE_SKIP_POOL_UNDER_TSAN();
  EXPECT_TRUE(testing::run_on_pool_thread(refuse_huge_nesting));
}

TEST(DeepSchemaTest, HugeNestingIsRefusedOnAThreadWithASmallStack) {
  EXPECT_TRUE(testing::run_with_small_stack(refuse_huge_nesting));
}

TEST(DeepSchemaTest, UnbalancedHugeNestingFailsTheParenthesisCheckFirst) {
  auto schema = TypeSchema::new_(repeat("(", 100000) + "A");
  ASSERT_FALSE(schema.has_value());
  EXPECT_EQ(format_report(schema.error()), "Schema Validation Failed for '" + repeat("(", 100000) +
                                               "A" + kTooManyOpening + k38 + k46);
}

// --- free variables -------------------------------------------------------------

struct FreeVariables {
  std::string text;
  std::vector<std::string> names;
};

class FreeVariablesTest : public ::testing::TestWithParam<FreeVariables> {};

TEST_P(FreeVariablesTest, ListsCapturesInnerFirstDomainFirst) {
  auto schema = TypeSchema::new_(GetParam().text);
  ASSERT_TRUE(schema.has_value()) << format_report(schema.error());
  EXPECT_EQ(TypeSchema::get_pattern_free_variables_recursive(*schema->compiled), GetParam().names);
}

using Names = std::vector<std::string>;

INSTANTIATE_TEST_SUITE_P(
    Schemas, FreeVariablesTest,
    ::testing::Values(FreeVariables{"Nat", {}}, FreeVariables{"*", {}},
                      FreeVariables{"(a: *) -> a", Names{"a"}},
                      FreeVariables{"(a: *) -> (a: *)", Names{"a", "a"}},
                      FreeVariables{"(a: *) -> (b: (c: *) -> *)", Names{"a", "c", "b"}},
                      FreeVariables{"(v: (w: A))", Names{"w", "v"}},
                      FreeVariables{"((x: A) -> (y: B)) -> (z: C)", Names{"x", "y", "z"}},
                      FreeVariables{"(: (a: A))", Names{"a"}}));

TEST(FreeVariablesTest, DeepHandBuiltTreeNeedsNoRecursion) {
  // Trees made by hand are not bounded by the parser's limit.
  TypePatternPtr p = std::make_shared<const TypePattern>(TypePattern{TypePattern::Wildcard{}});
  const std::size_t levels = 100000;
  for (std::size_t i = 0; i < levels; ++i) {
    p = std::make_shared<const TypePattern>(
        TypePattern{TypePattern::Capture{"c" + std::to_string(i), p}});
  }
  const auto names = TypeSchema::get_pattern_free_variables_recursive(*p);
  ASSERT_EQ(names.size(), levels);
  EXPECT_EQ(names.front(), "c0");
  EXPECT_EQ(names.back(), "c99999");
  // Unlink before release: the tree's own destructors would recurse per level.
  while (true) {
    const auto* capture = std::get_if<TypePattern::Capture>(&p->value);
    if (capture == nullptr) break;
    TypePatternPtr inner = capture->pattern;
    p = std::move(inner);
  }
}

}  // namespace
}  // namespace korvale
