#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "constants/constant.hpp"
#include "graph/graph.hpp"
#include "support/graph_helpers.hpp"
#include "support/report_lines.hpp"
#include "support/store_fixtures.hpp"

namespace korvale {
namespace {

using testing::arrow;
using testing::basic;
using testing::line;
using testing::rendered;
using testing::uid_of;
using testing::var;

// A term as "name:type" for basic terms and "(function argument)" for
// applications, so that expected results read as text.
std::string describe(const Term& term) {
  if (const BasicTerm* basic = term.as_basic()) {
    return basic->name() + ":" + basic->type()->to_string();
  }
  const Application* application = term.as_application();
  return "(" + describe(*application->function()) + " " + describe(*application->argument()) + ")";
}

std::vector<Constant> declared(std::vector<std::pair<std::string, std::string>> constants) {
  std::vector<Constant> out;
  for (auto& [name, schema] : constants) {
    Result<Constant> constant = Constant::new_(name, schema);
    EXPECT_TRUE(constant.has_value()) << schema;
    out.push_back(std::move(*constant));
  }
  return out;
}

// A store with a row binding Bt to the type (B -> B), Nd to the node A, Tm
// and Fn to the terms x: A and f: A -> B, and Ghost to a type never stored.
class SchemaToTypeTest : public ::testing::Test {
 protected:
  Graph graph{declared({{"K", "(a: *) -> a"},
                        {"L", "(a: *) -> Bt"},
                        {"P", "(a: *) -> (a: *)"},
                        {"Q", "(a: *) -> (b: *)"},
                        {"W", "*"},
                        {"None", "Nat"}})};
  MatchPtr row = Match::new_();

  void SetUp() override {
    const TypePtr a = var("A");
    ASSERT_TRUE(row->insert("Bt", MatchElement::Type{graph.insert_type(*arrow(var("B"), var("B")))})
                    .has_value());
    ASSERT_TRUE(row->insert("Nd", MatchElement::Node{graph.insert_type(*a)}).has_value());
    ASSERT_TRUE(
        row->insert("Tm", MatchElement::Term{testing::store(graph, *basic("x", a))}).has_value());
    ASSERT_TRUE(row->insert("Fn", MatchElement::Term{testing::store(
                                      graph, *basic("f", arrow(a, var("B"))))})
                    .has_value());
    ASSERT_TRUE(row->insert("Ghost", MatchElement::Type{uid_of(*var("G"))}).has_value());
  }

  std::string type_outcome(const std::string& text) {
    Result<TypeSchema> schema = TypeSchema::new_(text);
    if (!schema) return "schema refused: " + format_report(schema.error());
    Result<TypePtr> type = graph.type_schema_to_type(*schema, row);
    return type ? (*type)->to_string() : format_report(type.error());
  }

  std::string term_outcome(const std::string& text) {
    Result<TermSchema> schema = TermSchema::new_(text);
    if (!schema) return "schema refused: " + format_report(schema.error());
    Result<TermPtr> term = graph.term_schema_to_term(*schema, row);
    return term ? describe(**term) : format_report(term.error());
  }
};

struct Conversion {
  std::string schema;
  std::string outcome;
};

const std::string kTypeLine = line("graph - type schema to type [src/graph/base:389]");
const std::string kTermLine = line("graph - term schema to term [src/graph/base:511]");
const std::string kConstantLine = line("pattern to term recursive [src/graph/base:567]");

std::string node_conflict(const std::string& name, const std::string& asked,
                          const std::string& context) {
  return "Context Conflict: tried to assign variable '" + name +
         "' currently holding a 'node' to a '" + asked + "' (" + context + ")";
}

class TypeSchemaToTypeTest : public SchemaToTypeTest,
                             public ::testing::WithParamInterface<Conversion> {};

TEST_P(TypeSchemaToTypeTest, Converts) {
  EXPECT_EQ(type_outcome(GetParam().schema), GetParam().outcome);
}

// Expected reports read as rendered: the outermost line first.
INSTANTIATE_TEST_SUITE_P(
    Schemas, TypeSchemaToTypeTest,
    ::testing::Values(
        // Unbound names are new type variables, stored or not.
        Conversion{"A -> B", "(A -> B)"}, Conversion{"Fresh", "Fresh"},
        Conversion{"Bt", "(B -> B)"}, Conversion{"Bt -> A", "((B -> B) -> A)"},
        // A capture is its name; the inner pattern is not used.
        Conversion{"(T: A -> B)", "T"}, Conversion{"(Bt: A)", "(B -> B)"},
        Conversion{"Nd", node_conflict("Nd", "type", "pattern to type recursive") + kTypeLine +
                             line("graph - pattern to type recursive [src/graph/base:420]")},
        Conversion{"(Nd: *)", node_conflict("Nd", "type", "pattern to type recursive") + kTypeLine +
                                  line("graph - pattern to type recursive [src/graph/base:434]")},
        Conversion{"A -> Nd", node_conflict("Nd", "type", "pattern to type recursive") + kTypeLine +
                                  line("graph - pattern to type recursive [src/graph/base:409]") +
                                  line("graph - pattern to type recursive [src/graph/base:420]")},
        Conversion{"*", "Invalid Pattern; '*': Cannot convert wildcard to type" + kTypeLine},
        Conversion{"A -> *", "Invalid Pattern; 'A -> *': Cannot convert wildcard to type" +
                                 kTypeLine +
                                 line("graph - pattern to type recursive [src/graph/base:409]")},
        Conversion{"* -> A", "Invalid Pattern; '* -> A': Cannot convert wildcard to type" +
                                 kTypeLine +
                                 line("graph - pattern to type recursive [src/graph/base:406]")},
        Conversion{"Ghost", "Type with Uid: '" + uid_to_hex(uid_of(*var("G"))) +
                                "' not found (type from uid)" + kTypeLine}));

TEST_F(SchemaToTypeTest, AnUnboundNameIsNotStored) {
  ASSERT_EQ(type_outcome("Fresh -> A"), "(Fresh -> A)");
  EXPECT_FALSE(graph.type_index.contains(uid_of(*var("Fresh"))));
}

class TermSchemaToTermTest : public SchemaToTypeTest,
                             public ::testing::WithParamInterface<Conversion> {};

TEST_P(TermSchemaToTermTest, Converts) {
  EXPECT_EQ(term_outcome(GetParam().schema), GetParam().outcome);
}

INSTANTIATE_TEST_SUITE_P(
    Schemas, TermSchemaToTermTest,
    ::testing::Values(
        Conversion{"Fn Tm", "(f:(A -> B) x:A)"},
        Conversion{"Tm Tm",
                   "Type Mismatch: expected Application Type, got Variable Type (application "
                   "creation)" +
                       kTermLine},
        Conversion{"y", "Variable not found: 'y' (pattern to term recursive)" + kTermLine},
        Conversion{"Fn y", "Variable not found: 'y' (pattern to term recursive)" + kTermLine +
                               line("graph - pattern to term recursive [src/graph/base:531]")},
        Conversion{"y Tm", "Variable not found: 'y' (pattern to term recursive)" + kTermLine +
                               line("graph - pattern to term recursive [src/graph/base:528]")},
        Conversion{"Bt",
                   "Context Conflict: tried to assign variable 'Bt' currently holding a 'type' to "
                   "a 'term' (pattern to term recursive)" +
                       kTermLine + line("graph - pattern to term recursive [src/graph/base:542]")},
        Conversion{"*", "Invalid Pattern; '*': Cannot convert wildcard to term" + kTermLine},
        Conversion{"Fn *", "Invalid Pattern; 'Fn *': Cannot convert wildcard to term" + kTermLine +
                               line("graph - pattern to term recursive [src/graph/base:531]")},
        // Constants: the arguments bind the free variables in order.
        Conversion{"@K(A)", "K:(A -> A)"}, Conversion{"@K(Bt)", "K:((B -> B) -> (B -> B))"},
        Conversion{"@Q(A, B -> C)", "Q:(A -> (B -> C))"},
        Conversion{"Fn @W()",
                   "Invalid Pattern; 'Fn @W()': Cannot convert wildcard to type" + kTermLine +
                       line("graph - pattern to term recursive [src/graph/base:531]") +
                       kConstantLine + line("get constant type [src/graph/base:641]") + kTypeLine},
        // The constant's own schema does not see the row's bindings.
        Conversion{"@L(A)", "L:(A -> Bt)"},
        // The name is carried as declared, untested.
        Conversion{"@None()", "None:Nat"},
        Conversion{"@K(A, B)",
                   "Invalid Number of Arguments: expected 1, got 2 (get constant type "
                   "[src/graph/base:620])" +
                       kTermLine + kConstantLine},
        Conversion{"@K()",
                   "Invalid Number of Arguments: expected 1, got 0 (get constant type "
                   "[src/graph/base:620])" +
                       kTermLine + kConstantLine},
        Conversion{
            "@Z(A)",
            "Constant Not Found: 'Z' (pattern to term recursive [src/graph/base:559])" + kTermLine},
        Conversion{"@P(A, B)", "Variable already exists: 'a' (match insert [src/matches:163])" +
                                   kTermLine + kConstantLine +
                                   line("get constant type [src/graph/base:637]")},
        Conversion{"@K(*)", "Invalid Pattern; '@K(*)': Cannot convert wildcard to type" +
                                kTermLine + kConstantLine +
                                line("get constant type [src/graph/base:632]") + kTypeLine},
        Conversion{"@K(Nd)", node_conflict("Nd", "type", "pattern to type recursive") + kTermLine +
                                 kConstantLine + line("get constant type [src/graph/base:632]") +
                                 kTypeLine +
                                 line("graph - pattern to type recursive [src/graph/base:420]")}));

TEST_F(SchemaToTypeTest, ConstantTypeArgumentsAreStoredAndStayWhenAnotherFails) {
  ASSERT_EQ(term_outcome("@K(Nat)"), "K:(Nat -> Nat)");
  EXPECT_TRUE(graph.type_index.contains(uid_of(*var("Nat"))));
  // The constant's type itself is not stored.
  EXPECT_FALSE(graph.type_index.contains(uid_of(*arrow(var("Nat"), var("Nat")))));

  const std::string failed = term_outcome("@Q(Kept, *)");
  EXPECT_NE(failed.find("Cannot convert wildcard to type"), std::string::npos) << failed;
  EXPECT_TRUE(graph.type_index.contains(uid_of(*var("Kept"))));
}

TEST_F(SchemaToTypeTest, ABoundTermIsTheTermStoredForItsTypeNow) {
  testing::store(graph, *basic("x2", var("A")));
  EXPECT_EQ(term_outcome("Fn Tm"), "(f:(A -> B) x2:A)");
}

// --- constant terms of types -------------------------------------------------

struct Inferred {
  std::string name;
  std::vector<std::pair<std::string, std::string>> constants;
  TypePtr type;
  std::string outcome;  // the term, "none", or the report
};

class InferTermTest : public ::testing::TestWithParam<Inferred> {};

TEST_P(InferTermTest, GivesTheConstantsTerm) {
  Graph graph(declared(GetParam().constants));
  const Uid uid = graph.insert_type(*GetParam().type);
  Result<std::optional<TermPtr>> term = graph.infer_term(uid);
  const std::string outcome =
      !term ? format_report(term.error()) : (*term ? describe(***term) : "none");
  EXPECT_EQ(outcome, GetParam().outcome);
}

INSTANTIATE_TEST_SUITE_P(
    Constants, InferTermTest,
    ::testing::Values(
        Inferred{"no_constants", {}, var("A"), "none"},
        Inferred{"wildcard_variable", {{"k", "*"}}, var("A"), "k:A"},
        Inferred{"wildcard_arrow", {{"k", "*"}}, arrow(var("A"), var("B")), "k:(A -> B)"},
        Inferred{"no_fit", {{"n", "Nat"}}, var("A"), "none"},
        Inferred{"fit_among_others",
                 {{"n", "Nat"}, {"i", "(a: *) -> a"}},
                 arrow(var("A"), var("A")),
                 "i:(A -> A)"},
        Inferred{"capture_mismatch", {{"i", "(a: *) -> a"}}, arrow(var("A"), var("B")), "none"},
        Inferred{"refused_name",
                 {{"None", "*"}},
                 var("A"),
                 "Invalid Identifier 'None': 'None' is a reserved name" +
                     line("graph - infer term [src/graph/base:849]") +
                     line("basic term - new [src/typing/term:64]")}),
    [](const auto& info) { return info.param.name; });

// Several schemas fitting one type, declared in different orders: the first
// declared that fits supplies the term, whatever the names hash to.
struct DeclaredOrder {
  std::string name;
  std::vector<std::pair<std::string, std::string>> constants;
  std::string outcome;
};

class InferTermOrderTest : public ::testing::TestWithParam<DeclaredOrder> {};

TEST_P(InferTermOrderTest, TheFirstDeclaredFitSuppliesTheTerm) {
  Graph graph(declared(GetParam().constants));
  const Uid uid = graph.insert_type(*arrow(var("A"), var("A")));
  Result<std::optional<TermPtr>> term = graph.infer_term(uid);
  ASSERT_TRUE(term.has_value()) << rendered(term);
  EXPECT_EQ(*term ? describe(***term) : "none", GetParam().outcome);
}

// Fitting A -> A: exact "A -> A", any "*", same ends "(a: *) -> a", any
// arrow "(a: *) -> *". Not fitting: "Nat", "(a: *) -> B".
INSTANTIATE_TEST_SUITE_P(
    Orders, InferTermOrderTest,
    ::testing::Values(DeclaredOrder{"exact_first",
                                    {{"exact", "A -> A"}, {"any", "*"}, {"same", "(a: *) -> a"}},
                                    "exact:(A -> A)"},
                      DeclaredOrder{"any_first",
                                    {{"any", "*"}, {"exact", "A -> A"}, {"same", "(a: *) -> a"}},
                                    "any:(A -> A)"},
                      DeclaredOrder{"same_first",
                                    {{"same", "(a: *) -> a"}, {"exact", "A -> A"}, {"any", "*"}},
                                    "same:(A -> A)"},
                      DeclaredOrder{
                          "generals_only",
                          {{"arrow", "(a: *) -> *"}, {"same", "(a: *) -> a"}, {"any", "*"}},
                          "arrow:(A -> A)"},
                      DeclaredOrder{"misfit_named_first",
                                    {{"nat", "Nat"}, {"same", "(a: *) -> a"}, {"exact", "A -> A"}},
                                    "same:(A -> A)"},
                      DeclaredOrder{"misfit_general_first",
                                    {{"to_b", "(a: *) -> B"}, {"exact", "A -> A"}, {"any", "*"}},
                                    "exact:(A -> A)"},
                      // A name given again stands where it was given last, with its last schema.
                      DeclaredOrder{"replaced_by_a_misfit",
                                    {{"twice", "A -> A"}, {"any", "*"}, {"twice", "Nat"}},
                                    "any:(A -> A)"},
                      DeclaredOrder{"replaced_after_another_fit",
                                    {{"twice", "Nat"}, {"any", "*"}, {"twice", "A -> A"}},
                                    "any:(A -> A)"},
                      DeclaredOrder{"replaced_before_another_fit",
                                    {{"twice", "Nat"}, {"twice", "*"}, {"any", "*"}},
                                    "twice:(A -> A)"}),
    [](const auto& info) { return info.param.name; });

// The first constant in declaration order whose schema fits, tried one by one.
std::string first_fit(const Graph& graph, const Uid& uid) {
  for (const Constant& constant : graph.constants) {
    Result<std::optional<MatchPtr>> fit =
        graph.check_type_matches(uid, *constant.type_schema.compiled, Match::new_());
    EXPECT_TRUE(fit.has_value());
    if (fit && *fit) return constant.name;
  }
  return "none";
}

TEST(InferTermAmongMany, TakesTheFirstFitInDeclarationOrder) {
  // Concrete schemas (several naming one type) mixed with general ones, in
  // enough names that the table's order interleaves them.
  std::vector<std::pair<std::string, std::string>> constants;
  for (int k = 0; k < 40; ++k) {
    const std::string n = std::to_string(k);
    constants.emplace_back("c" + n, k % 2 == 0 ? "A -> B" : "T" + n);
    if (k % 10 == 0) constants.emplace_back("g" + n, k % 20 == 0 ? "(a: *) -> B" : "*");
  }
  Graph graph(declared(constants));
  for (const TypePtr& type : {arrow(var("A"), var("B")), arrow(var("C"), var("B")), var("T3"),
                              var("Z"), arrow(var("A"), var("C"))}) {
    const Uid uid = graph.insert_type(*type);
    Result<std::optional<TermPtr>> term = graph.infer_term(uid);
    ASSERT_TRUE(term.has_value()) << rendered(term);
    const std::string expected = first_fit(graph, uid);
    EXPECT_EQ(*term ? (**term)->as_basic()->name() : "none", expected) << type->to_string();
  }
}

TEST(InferTermOfMissingType, FailsWithTheTestsReport) {
  Graph graph(declared({{"k", "*"}}));
  const Uid missing = uid_of(*var("A"));
  Result<std::optional<TermPtr>> term = graph.infer_term(missing);
  EXPECT_EQ(rendered(term), "Type with Uid: '" + uid_to_hex(missing) +
                                "' not found (check type matches)" +
                                line("graph - infer term [src/graph/base:841]"));
  EXPECT_FALSE(Graph().infer_term(missing).value().has_value());
}

}  // namespace
}  // namespace korvale
