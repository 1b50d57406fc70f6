#include <cstdint>
#include <cstring>
#include <latch>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "constants/constant.hpp"
#include "graph/graph.hpp"
#include "matches/match.hpp"
#include "matches/match_set.hpp"
#include "patterns/term_schema.hpp"
#include "patterns/type_schema.hpp"
#include "support/allocation_probe.hpp"
#include "support/graph_helpers.hpp"
#include "support/on_pool_thread.hpp"
#include "support/report_lines.hpp"
#include "support/set_rows.hpp"
#include "typing/term.hpp"
#include "typing/type.hpp"

namespace korvale {
namespace {

using testing::line;
using testing::rendered;
using testing::repeat;

// --- building stored types and terms -------------------------------------------

TypePtr to_type(const TypePattern& pattern) {
  if (const auto* arrow = std::get_if<TypePattern::Arrow>(&pattern.value)) {
    return Type::arrow(to_type(*arrow->domain), to_type(*arrow->codomain));
  }
  return Type::variable(*Variable::new_(std::get<TypePattern::Variable>(pattern.value).name));
}

// The type that a text of names and arrows describes, e.g. "(A -> A) -> B".
TypePtr type_of(std::string_view text) {
  Result<TypeSchema> schema = TypeSchema::new_(std::string(text));
  EXPECT_TRUE(schema.has_value()) << text;
  return to_type(*schema->compiled);
}

TermPtr basic(const std::string& name, std::string_view type) {
  return testing::basic(name, type_of(type));
}

TypePatternPtr type_pattern(std::string text) {
  Result<TypeSchema> schema = TypeSchema::new_(text);
  EXPECT_TRUE(schema.has_value()) << text << ": " << rendered(schema);
  return schema->compiled;
}

TermPatternPtr term_pattern(std::string text) {
  Result<TermSchema> schema = TermSchema::new_(text);
  EXPECT_TRUE(schema.has_value()) << text << ": " << rendered(schema);
  return schema->compiled;
}

Uid uid_of_number(std::uint64_t n) {
  Uid uid{};
  std::memcpy(uid.data(), &n, sizeof n);
  uid[31] = 0xee;  // never a digest the tests compute
  return uid;
}

std::vector<Constant> declared_constants() {
  std::vector<Constant> constants;
  for (auto [name, schema] :
       {std::pair{"id", "(a: *) -> a"}, std::pair{"pair", "(a: *) -> (b: *) -> a"},
        std::pair{"dup", "(a: *) -> (a: *)"}}) {
    constants.push_back(*Constant::new_(name, schema));
  }
  return constants;
}

// A store with the types and terms the tests refer to by their type's text:
//   B       f x          (f : A -> B, x : A)
//   A -> A  id           C -> C  dup          A -> B -> A  pair
//   B -> B  other        C       id (a basic term named like the constant)
//   D       g id         (g : (A -> A) -> D)
//   E       no term
class StoreTest : public ::testing::Test {
 protected:
  StoreTest() : graph(declared_constants()) {
    testing::store(graph, *testing::app(basic("f", "A -> B"), basic("x", "A")));
    testing::store(graph, *basic("id", "A -> A"));
    testing::store(graph, *basic("dup", "C -> C"));
    testing::store(graph, *basic("pair", "A -> B -> A"));
    testing::store(graph, *basic("other", "B -> B"));
    testing::store(graph, *basic("id", "C"));
    testing::store(graph, *testing::app(basic("g", "(A -> A) -> D"), basic("id", "A -> A")));
    graph.insert_type(*type_of("E"));
  }

  Uid uid(std::string_view type) { return graph.insert_type(*type_of(type)); }
  std::string hex(std::string_view type) { return uid_to_hex(uid(type)); }

  MatchElement type_element(std::string_view type) { return MatchElement::Type{uid(type)}; }
  MatchElement term_element(std::string_view type) { return MatchElement::Term{uid(type)}; }

  // A row layer binding n to a node, k to the type A and s to the term of A -> B.
  MatchPtr bound_row() {
    MatchPtr row = Match::new_();
    EXPECT_TRUE(row->insert("n", MatchElement::Node{uid("A")}).has_value());
    EXPECT_TRUE(row->insert("k", type_element("A")).has_value());
    EXPECT_TRUE(row->insert("s", term_element("A -> B")).has_value());
    return row;
  }

  Graph graph;
};

// One expected binding of a fitting test: the variable, and the type (or the
// type under which the term is stored) it is bound to.
struct Bound {
  std::string name;
  bool term;
  std::string type;
};

struct FitCase {
  std::string schema;
  std::string stored;  // text of the type tested
  bool fits;
  int layers;                   // new layers over the row when it fits
  std::vector<Bound> bindings;  // made by the test
};

std::ostream& operator<<(std::ostream& out, const FitCase& c) {
  return out << "'" << c.schema << "' against " << c.stored;
}

class FitTest : public StoreTest, public ::testing::WithParamInterface<FitCase> {
 protected:
  void expect_outcome(const CheckResult& result, const MatchPtr& row, std::size_t row_size) {
    const FitCase& c = GetParam();
    ASSERT_TRUE(result.has_value()) << rendered(result);
    EXPECT_EQ(result->has_value(), c.fits);
    EXPECT_EQ(row->size(), row_size) << "a test never writes into the layer it was given";
    if (!c.fits || !*result) return;
    const MatchPtr& layer = **result;
    for (const Bound& bound : c.bindings) {
      EXPECT_EQ(layer->get(bound.name),
                bound.term ? term_element(bound.type) : type_element(bound.type))
          << bound.name;
    }
    if (c.layers == 0) {
      EXPECT_EQ(layer, row) << "a fit that binds nothing keeps the row's layer";
      EXPECT_TRUE(c.bindings.empty());
      return;
    }
    // New layers over the row's own: what the row gains later, the result sees.
    EXPECT_NE(layer, row);
    ASSERT_TRUE(row->insert("later", MatchElement::Node{}).has_value());
    EXPECT_TRUE(layer->contains_key("later"));
    if (c.layers == 1) {
      EXPECT_EQ(layer->size(), c.bindings.size()) << "no binding beyond the expected ones";
    } else {
      EXPECT_LE(layer->size(), c.bindings.size()) << "no binding beyond the expected ones";
    }
  }
};

using TypeFitTest = FitTest;

TEST_P(TypeFitTest, FitsAndBinds) {
  const MatchPtr row = bound_row();
  expect_outcome(
      graph.check_type_matches(uid(GetParam().stored), *type_pattern(GetParam().schema), row), row,
      3);
}

INSTANTIATE_TEST_SUITE_P(
    Schemas, TypeFitTest,
    ::testing::Values(FitCase{"*", "A", true, 0, {}}, FitCase{"*", "A -> B -> A", true, 0, {}},
                      FitCase{"A", "A", true, 0, {}}, FitCase{"A", "B", false, 0, {}},
                      FitCase{"A", "A -> A", false, 0, {}},
                      FitCase{"A -> B", "A -> B", true, 0, {}},
                      FitCase{"A -> B", "A -> A", false, 0, {}},
                      FitCase{"A -> B", "A", false, 0, {}},
                      // A capture fits only when its inner pattern does, and then binds.
                      FitCase{"(x: A -> *)", "A", false, 0, {}},
                      FitCase{"(x: A -> *)", "A -> C", true, 1, {{"x", false, "A -> C"}}},
                      FitCase{"(a: *) -> a", "A -> A", true, 1, {{"a", false, "A"}}},
                      FitCase{"(a: *) -> a", "A -> B", false, 0, {}},
                      FitCase{"(f: (a: *) -> (b: *))",
                              "A -> B",
                              true,
                              3,
                              {{"a", false, "A"}, {"b", false, "B"}, {"f", false, "A -> B"}}},
                      FitCase{"((a: *) -> a) -> (b: *)",
                              "(A -> A) -> B",
                              true,
                              2,
                              {{"a", false, "A"}, {"b", false, "B"}}},
                      // A name the row binds to a type fits exactly that type.
                      FitCase{"k", "A", true, 0, {}}, FitCase{"k", "B", false, 0, {}},
                      FitCase{"k -> (y: *)", "A -> B", true, 1, {{"y", false, "B"}}}));

using TermFitTest = FitTest;

TEST_P(TermFitTest, FitsAndBinds) {
  const MatchPtr row = bound_row();
  expect_outcome(
      graph.check_term_matches(uid(GetParam().stored), *term_pattern(GetParam().schema), row), row,
      3);
}

INSTANTIATE_TEST_SUITE_P(
    Schemas, TermFitTest,
    ::testing::Values(
        FitCase{"*", "B", true, 0, {}}, FitCase{"t", "B", true, 1, {{"t", true, "B"}}},
        FitCase{"f x", "B", true, 2, {{"f", true, "A -> B"}, {"x", true, "A"}}},
        FitCase{"f x", "A", false, 0, {}},
        // The argument must be the very term the function side bound.
        FitCase{"f f", "B", false, 0, {}},
        // A term variable bound in the row fits only the term of its type.
        FitCase{"s x", "B", true, 1, {{"x", true, "A"}}}, FitCase{"s", "A", false, 0, {}},
        // Constants: name, own schema, then the type arguments in order.
        FitCase{"@id(A)", "A -> A", true, 1, {}}, FitCase{"@id()", "A -> A", true, 1, {}},
        FitCase{"@id(B)", "A -> A", false, 0, {}},
        FitCase{"@id((t: *))", "A -> A", true, 2, {{"t", false, "A"}}},
        FitCase{"@id(k)", "A -> A", true, 1, {}}, FitCase{"@id(A, B, C)", "A -> A", true, 1, {}},
        FitCase{"@id(B, A)", "A -> A", false, 0, {}},
        FitCase{"@pair(A)", "A -> B -> A", true, 1, {}},
        FitCase{"@pair(A, B)", "A -> B -> A", true, 1, {}},
        FitCase{"@pair(A, A)", "A -> B -> A", false, 0, {}},
        FitCase{"@pair(B)", "A -> B -> A", false, 0, {}},
        FitCase{"@pair((p: *), (q: *))",
                "A -> B -> A",
                true,
                3,
                {{"p", false, "A"}, {"q", false, "B"}}},
        FitCase{"@id(*)", "B -> B", false, 0, {}},  // a basic term of another name
        FitCase{"@id(*)", "B", false, 0, {}},       // an application
        FitCase{"@id(*)", "C", false, 0, {}},       // its type misfits the schema
        FitCase{"g @id(A)", "D", true, 2, {{"g", true, "(A -> A) -> D"}}},
        FitCase{"g @id(B)", "D", false, 0, {}}));

// The constant's own captures never reach the row.
TEST_F(StoreTest, ConstantFreeVariablesAreNotBound) {
  CheckResult result =
      graph.check_term_matches(uid("A -> B -> A"), *term_pattern("@pair(*, *)"), Match::new_());
  ASSERT_TRUE(result.has_value() && result->has_value()) << rendered(result);
  EXPECT_FALSE((**result)->contains_key("a"));
  EXPECT_FALSE((**result)->contains_key("b"));
}

// A row that binds a type variable's name to a type changes what the name fits.
TEST_F(StoreTest, BoundTypeVariableFitsOnlyItsBoundType) {
  const MatchPtr row = Match::new_();
  ASSERT_TRUE(row->insert("A", type_element("B -> B")).has_value());
  const TypePatternPtr pattern = type_pattern("A");
  CheckResult arrow = graph.check_type_matches(uid("B -> B"), *pattern, row);
  ASSERT_TRUE(arrow.has_value() && arrow->has_value());
  EXPECT_EQ(**arrow, row);
  CheckResult variable = graph.check_type_matches(uid("A"), *pattern, row);
  ASSERT_TRUE(variable.has_value());
  EXPECT_FALSE(variable->has_value());
}

// --- failures ----------------------------------------------------------------------

struct FailCase {
  bool term;  // a term schema, else a type schema
  std::string schema;
  std::string stored;
  std::string message;             // with "<stored>" standing for the tested type's hex
  std::vector<std::string> lines;  // as rendered: the outermost first
};

std::ostream& operator<<(std::ostream& out, const FailCase& c) {
  return out << "'" << c.schema << "' against " << c.stored;
}

class SchemaFailureTest : public StoreTest, public ::testing::WithParamInterface<FailCase> {};

TEST_P(SchemaFailureTest, RendersTheWholeReport) {
  const FailCase& c = GetParam();
  const MatchPtr row = bound_row();
  const CheckResult result =
      c.term ? graph.check_term_matches(uid(c.stored), *term_pattern(c.schema), row)
             : graph.check_type_matches(uid(c.stored), *type_pattern(c.schema), row);
  std::string expected = c.message;
  if (const auto at = expected.find("<stored>"); at != std::string::npos) {
    expected.replace(at, 8, hex(c.stored));
  }
  for (const std::string& text : c.lines) expected += line(text);
  EXPECT_EQ(rendered(result), expected);
  EXPECT_EQ(row->size(), 3u);
}

constexpr const char* kTypeBound = "graph - check type matches [src/graph/matches/type_schema:67]";
constexpr const char* kTypeDomain = "graph - check type matches [src/graph/matches/type_schema:91]";
constexpr const char* kTypeCodomain =
    "graph - check type matches [src/graph/matches/type_schema:94]";
constexpr const char* kTypeCaptureInner =
    "graph - check type matches [src/graph/matches/type_schema:104]";
constexpr const char* kTypeCapture =
    "graph - check type matches [src/graph/matches/type_schema:109]";
constexpr const char* kTermBound = "graph - check term matches [src/graph/matches/term_schema:68]";
constexpr const char* kTermFunction =
    "graph - match term pattern [src/graph/matches/term_schema:88]";
constexpr const char* kTermArgument =
    "graph - match term pattern [src/graph/matches/term_schema:91]";
constexpr const char* kConstantSchema = "check term matches [src/graph/matches/term_schema:122]";
constexpr const char* kTypeArgument = "check term matches [src/graph/matches/term_schema:137]";

const std::string kNodeAsType =
    "Context Conflict: tried to assign variable 'n' currently holding a 'node' to a 'type' (check "
    "type matches)";
const std::string kNodeAsTerm =
    "Context Conflict: tried to assign variable 'n' currently holding a 'node' to a 'term' (check "
    "term matches)";
const std::string kTypeAsTerm =
    "Context Conflict: tried to assign variable 'k' currently holding a 'type' to a 'term' (check "
    "term matches)";
std::string already_exists(std::string_view name) {
  return "Variable already exists: '" + std::string(name) + "' (match insert [src/matches:163])";
}
const std::string kNoZ =
    "Constant Not Found: 'Z' (check term matches [src/graph/matches/term_schema:104])";

INSTANTIATE_TEST_SUITE_P(
    Types, SchemaFailureTest,
    ::testing::Values(
        // A capture never compares with a binding of its name: it fails, even
        // where both sides are equal.
        FailCase{false,
                 "(a: *) -> (a: *)",
                 "A -> A",
                 already_exists("a"),
                 {kTypeCodomain, kTypeCapture}},
        FailCase{false, "(n: *)", "A", already_exists("n"), {kTypeCapture}},
        FailCase{false, "n", "A", kNodeAsType, {kTypeBound}},
        FailCase{false,
                 "(c: n -> *)",
                 "A -> B",
                 kNodeAsType,
                 {kTypeCaptureInner, kTypeDomain, kTypeBound}},
        FailCase{false, "A -> n", "A -> B", kNodeAsType, {kTypeCodomain, kTypeBound}},
        FailCase{false, "(k: *)", "B", already_exists("k"), {kTypeCapture}}));

INSTANTIATE_TEST_SUITE_P(
    Terms, SchemaFailureTest,
    ::testing::Values(
        FailCase{true, "n", "B", kNodeAsTerm, {kTermBound}},
        FailCase{true, "k x", "B", kTypeAsTerm, {kTermFunction, kTermBound}},
        FailCase{true, "f k", "B", kTypeAsTerm, {kTermArgument, kTermBound}},
        FailCase{true, "*", "E", "Term with Uid: '<stored>' not found (check term matches)", {}},
        FailCase{
            true, "@Z(A)", "E", "Term with Uid: '<stored>' not found (check term matches)", {}},
        // An undeclared constant fails whatever the term tested.
        FailCase{true, "@Z(A)", "A -> A", kNoZ, {}}, FailCase{true, "@Z(A)", "B", kNoZ, {}},
        FailCase{true, "@Z()", "C", kNoZ, {}},
        FailCase{true,
                 "@dup(*)",
                 "C -> C",
                 already_exists("a"),
                 {kConstantSchema, kTypeCodomain, kTypeCapture}},
        FailCase{true, "@id((n: *))", "A -> A", already_exists("n"), {kTypeArgument, kTypeCapture}},
        FailCase{true, "@id(n)", "A -> A", kNodeAsType, {kTypeArgument, kTypeBound}},
        FailCase{true, "f @id(n)", "D", kNodeAsType, {kTermArgument, kTypeArgument, kTypeBound}}));

TEST_F(StoreTest, WildcardAgainstAMissingTypeFails) {
  const Uid missing = uid_of_number(7);
  EXPECT_EQ(rendered(graph.check_type_matches(missing, *type_pattern("*"), Match::new_())),
            "Type with Uid: '" + uid_to_hex(missing) + "' not found (check type matches)");
}

TEST_F(StoreTest, WildcardAgainstATypeWithoutTermFails) {
  EXPECT_EQ(rendered(graph.check_term_matches(uid("E"), *term_pattern("*"), Match::new_())),
            "Term with Uid: '" + hex("E") + "' not found (check term matches)");
}

// Stored forms that name entries the tables lack (only a damaged store has
// them) fail with the missing part's report and the step's line.
TEST_F(StoreTest, DanglingComponentsFailWithTheStepsLine) {
  const Uid missing = uid_of_number(8);
  const Uid arrow = uid_of_number(9);
  graph.type_index.insert(arrow, TypeRep{TypeRep::Arrow{missing, uid("A")}});
  EXPECT_EQ(rendered(graph.check_type_matches(arrow, *type_pattern("* -> *"), Match::new_())),
            "Type with Uid: '" + uid_to_hex(missing) + "' not found (check type matches)" +
                line(kTypeDomain));
  graph.term_index.insert(arrow, TermRep{TermRep::Application{missing, uid("A")}});
  EXPECT_EQ(rendered(graph.check_term_matches(arrow, *term_pattern("p q"), Match::new_())),
            "Term with Uid: '" + uid_to_hex(missing) + "' not found (check term matches)" +
                line(kTermFunction));
}

// --- scans -------------------------------------------------------------------------

// Rows of a scan as (input row layer, last_uid) pairs, checked for fresh ids.
class ScanTest : public StoreTest {
 protected:
  ScanTest() {
    first = Match::new_();
    second = Match::new_();
    EXPECT_TRUE(first->insert("r", MatchElement::Node{uid("A")}).has_value());
    EXPECT_TRUE(second->insert("r", MatchElement::Node{uid("B")}).has_value());
    rows.insert(MatchRow{next_match_id(), Uid{}, first});
    rows.insert(MatchRow{next_match_id(), Uid{}, second});
  }

  // The input row a scan row grew from, told by the binding of r it sees.
  const Match* origin(const MatchPtr& layer) {
    const std::optional<MatchElement> r = layer->get("r");
    if (r == MatchElement(MatchElement::Node{uid("A")})) return first.get();
    if (r == MatchElement(MatchElement::Node{uid("B")})) return second.get();
    return nullptr;
  }

  // Every row's id is fresh (drawn after `before`, all distinct); returns
  // the (origin, last_uid) pairs.
  std::multiset<std::pair<const Match*, Uid>> pairs(const MatchSet& out, std::uint64_t before) {
    std::set<std::uint64_t> ids;
    std::multiset<std::pair<const Match*, Uid>> found;
    for (const MatchRow& row : testing::rows_of(out)) {
      EXPECT_GT(row.match_id, before);
      ids.insert(row.match_id);
      found.emplace(origin(row.match), row.last_uid);
    }
    EXPECT_EQ(ids.size(), out.size());
    return found;
  }

  MatchPtr first, second;
  MatchSet rows;
};

// A store whose three types all fit the wildcard: two rows give six.
TEST(ScanRowsTest, TwoRowsTimesThreeTypesGiveSixFreshRows) {
  Graph graph;
  graph.insert_type(*type_of("A -> B"));  // stores A, B and A -> B
  MatchSet rows;
  std::vector<MatchPtr> layers{Match::new_(), Match::new_()};
  for (const MatchPtr& layer : layers) rows.insert(MatchRow{next_match_id(), Uid{}, layer});
  const std::uint64_t before = next_match_id();
  Result<MatchSet> out = graph.match_type_schema(*TypeSchema::new_("*"), rows);
  ASSERT_TRUE(out.has_value()) << rendered(out);
  std::set<std::uint64_t> ids;
  std::set<std::pair<const Match*, Uid>> pairs;
  for (const MatchRow& row : testing::rows_of(*out)) {
    EXPECT_GT(row.match_id, before);
    ids.insert(row.match_id);
    pairs.emplace(row.match.get(), row.last_uid);
  }
  EXPECT_EQ(out->size(), 6u);
  EXPECT_EQ(ids.size(), 6u);
  std::set<std::pair<const Match*, Uid>> expected;
  for (const MatchPtr& layer : layers) {
    for (std::string_view type : {"A", "B", "A -> B"}) {
      // The wildcard binds nothing: each new row shares its input row's layer.
      expected.emplace(layer.get(), graph.insert_type(*type_of(type)));
    }
  }
  EXPECT_EQ(pairs, expected);
}

TEST_F(ScanTest, CaptureScanBindsEachCandidateOverItsRow) {
  const std::uint64_t before = next_match_id();
  Result<MatchSet> out = graph.match_type_schema(*TypeSchema::new_("(t: * -> *)"), rows);
  ASSERT_TRUE(out.has_value()) << rendered(out);
  std::multiset<std::pair<const Match*, Uid>> expected;
  const std::vector<std::string> arrows{"A -> B", "A -> A", "C -> C",       "A -> B -> A",
                                        "B -> A", "B -> B", "(A -> A) -> D"};
  for (const std::string& type : arrows) {
    expected.emplace(first.get(), uid(type));
    expected.emplace(second.get(), uid(type));
  }
  EXPECT_EQ(pairs(*out, before), expected);
  for (const MatchRow& row : testing::rows_of(*out)) {
    EXPECT_NE(row.match.get(), origin(row.match)) << "t is bound in a layer of the row's own";
    EXPECT_EQ(row.match->size(), 1u);
    EXPECT_EQ(row.match->get("t"), MatchElement(MatchElement::Type{row.last_uid}));
  }
  EXPECT_EQ(first->size(), 1u);
  EXPECT_EQ(second->size(), 1u);
}

TEST_F(ScanTest, TermScanVisitsStoredTermsOnly) {
  const std::uint64_t before = next_match_id();
  Result<MatchSet> out = graph.match_term_schema(*TermSchema::new_("p q"), rows);
  ASSERT_TRUE(out.has_value()) << rendered(out);
  // The applications are stored under B and D.
  EXPECT_EQ(pairs(*out, before),
            (std::multiset<std::pair<const Match*, Uid>>{{first.get(), uid("B")},
                                                         {second.get(), uid("B")},
                                                         {first.get(), uid("D")},
                                                         {second.get(), uid("D")}}));
  Result<MatchSet> all = graph.match_term_schema(*TermSchema::new_("*"), rows);
  ASSERT_TRUE(all.has_value());
  EXPECT_EQ(all->size(), 2 * graph.term_index.size());
}

TEST_F(ScanTest, NoFitGivesAnEmptySet) {
  Result<MatchSet> out = graph.match_type_schema(*TypeSchema::new_("Nope"), rows);
  ASSERT_TRUE(out.has_value());
  EXPECT_TRUE(out->empty());
}

// An empty input never reaches the store: a damaged entry that fails every
// test goes unnoticed.
TEST_F(ScanTest, EmptyInputGivesEmptyOutputWithoutLookingAtTheStore) {
  graph.type_index.insert(uid_of_number(1), TypeRep{TypeRep::Arrow{uid_of_number(2), uid("A")}});
  graph.term_index.insert(uid("E"), TermRep{TermRep::Application{uid_of_number(2), uid("A")}});
  Result<MatchSet> types = graph.match_type_schema(*TypeSchema::new_("* -> *"), MatchSet());
  Result<MatchSet> terms = graph.match_term_schema(*TermSchema::new_("p q"), MatchSet());
  ASSERT_TRUE(types.has_value() && terms.has_value());
  EXPECT_TRUE(types->empty());
  EXPECT_TRUE(terms->empty());
  EXPECT_FALSE(graph.match_type_schema(*TypeSchema::new_("* -> *"), rows).has_value());
}

TEST_F(ScanTest, FailuresCarryTheScanLines) {
  EXPECT_EQ(rendered(graph.match_type_schema(*TypeSchema::new_("(r: *)"), rows)),
            already_exists("r") +
                line("graph - match type schema [src/graph/matches/type_schema:21]") +
                line("graph - match type pattern [src/graph/matches/type_schema:50]") +
                line("graph - match type pattern [src/graph/matches/type_schema:43]") +
                line(kTypeCapture));
  EXPECT_EQ(rendered(graph.match_term_schema(*TermSchema::new_("r"), rows)),
            "Context Conflict: tried to assign variable 'r' currently holding a 'node' to a "
            "'term' (check term matches)" +
                line("graph - match term schema [src/graph/matches/term_schema:22]") +
                line("graph - match term pattern [src/graph/matches/term_schema:51]") +
                line("graph - match term pattern [src/graph/matches/term_schema:44]") +
                line(kTermBound));
}

// --- deep stored forms ---------------------------------------------------------------

constexpr std::size_t kChain = 100'000;

// A -> (A -> (... -> A)), kChain arrows deep, and a term stored under each
// level whose function side is the next level's term: what a long derivation
// chain leaves behind. Entries are written straight into the tables.
class DeepStoreTest : public ::testing::Test {
 protected:
  DeepStoreTest() {
    const Uid a = TypeRep{TypeRep::Variable{"A"}}.uid();
    graph.type_index.insert(a, TypeRep{TypeRep::Variable{"A"}});
    graph.term_index.insert(a, TermRep{TermRep::Basic{"x"}});
    Uid level = a;
    for (std::size_t i = 0; i < kChain; ++i) {
      TypeRep arrow{TypeRep::Arrow{a, level}};
      const Uid next = arrow.uid();
      graph.type_index.insert(next, std::move(arrow));
      graph.term_index.insert(next, TermRep{TermRep::Application{level, a}});
      level = next;
    }
    top = level;
  }

  // Runs the checks on a thread with a small stack, then on a pool thread.
  void on_small_stacks(const std::function<void()>& checks) {
    ASSERT_TRUE(testing::run_with_small_stack(checks));
    if (testing::kPoolVisibleToSanitizer) {
      EXPECT_TRUE(testing::run_on_pool_thread(checks));
    }
  }

  Graph graph;
  Uid top{};
};

TEST_F(DeepStoreTest, PatternsReachOnlyTheirOwnDepth) {
  // The deepest patterns the compilers accept.
  const TypePatternPtr arrows = type_pattern(repeat("A -> ", 250) + "(x: *)");
  const TypePatternPtr misfit = type_pattern(repeat("A -> ", 250) + "B");
  const TermPatternPtr applications = term_pattern("p" + repeat(" q", 255));
  on_small_stacks([&] {
    for (const char* shallow : {"*", "A -> *", "(t: A -> (u: A -> *))"}) {
      CheckResult fit = graph.check_type_matches(top, *type_pattern(shallow), Match::new_());
      EXPECT_TRUE(fit.has_value() && fit->has_value()) << shallow;
    }
    CheckResult deep = graph.check_type_matches(top, *arrows, Match::new_());
    ASSERT_TRUE(deep.has_value() && deep->has_value()) << rendered(deep);
    EXPECT_TRUE((**deep)->contains_key("x"));
    CheckResult no = graph.check_type_matches(top, *misfit, Match::new_());
    ASSERT_TRUE(no.has_value());
    EXPECT_FALSE(no->has_value());
    CheckResult terms = graph.check_term_matches(top, *applications, Match::new_());
    ASSERT_TRUE(terms.has_value() && terms->has_value()) << rendered(terms);
    EXPECT_TRUE((**terms)->contains_key("p"));
  });
}

// An application stored under its own argument's type (a damaged table: the
// store refuses the terms that would leave one). Matching still ends, since
// it only goes as deep as the pattern.
TEST(CyclicTermTest, ApplicationStoredUnderItsArgumentsTypeMatches) {
  Graph graph;
  const Uid a = testing::write_self_naming_entry(graph, basic("f", "A -> A"));
  const std::optional<TermRep> stored = graph.term_index.get(a);
  ASSERT_TRUE(stored.has_value());
  ASSERT_NE(stored->as_application(), nullptr);
  EXPECT_EQ(stored->as_application()->argument, a);

  CheckResult fit = graph.check_term_matches(a, *term_pattern("p q"), Match::new_());
  ASSERT_TRUE(fit.has_value() && fit->has_value()) << rendered(fit);
  EXPECT_EQ((**fit)->get("q"), MatchElement(MatchElement::Term{a}));
  // The function side holds the basic f: one application more does not fit.
  CheckResult no = graph.check_term_matches(a, *term_pattern("p q r"), Match::new_());
  ASSERT_TRUE(no.has_value());
  EXPECT_FALSE(no->has_value());

  // An application stored under the type of its own function side loops on
  // itself; the deepest pattern walks it 255 times and stops.
  const Uid loop = uid_of_number(3);
  graph.term_index.insert(loop, TermRep{TermRep::Application{loop, loop}});
  const TermPatternPtr deep = term_pattern("p" + repeat(" q", 255));
  ASSERT_TRUE(testing::run_with_small_stack([&] {
    CheckResult looped = graph.check_term_matches(loop, *deep, Match::new_());
    ASSERT_TRUE(looped.has_value() && looped->has_value()) << rendered(looped);
    EXPECT_EQ((**looped)->get("p"), MatchElement(MatchElement::Term{loop}));
  }));
}

// --- allocation ----------------------------------------------------------------------

// Scans test every stored element once per row; a candidate that does not fit
// must cost nothing beyond the reads.
TEST_F(StoreTest, MisfitsAllocateNothing) {
  struct Probe {
    bool term;
    std::string schema;
    std::string stored;
  };
  const std::vector<Probe> misfits{{false, "(a: *) -> B", "A -> A"},
                                   {false, "(x: A -> *)", "A"},
                                   {false, "k", "B"},
                                   {true, "f x", "A"},
                                   {true, "t t", "B"},
                                   {true, "@id(B)", "A -> A"},
                                   {true, "@pair((p: *), A)", "A -> B -> A"},
                                   {true, "@id(*)", "B -> B"},
                                   {true, "g @id(B)", "D"}};
  const MatchPtr row = bound_row();
  for (const Probe& probe : misfits) {
    const Uid tested = uid(probe.stored);
    const TypePatternPtr type = probe.term ? nullptr : type_pattern(probe.schema);
    const TermPatternPtr term = probe.term ? term_pattern(probe.schema) : nullptr;
    std::size_t allocations = 0;
    bool fitted = true;
    {
      testing::AllocationCounter counter;
      CheckResult result = probe.term ? graph.check_term_matches(tested, *term, row)
                                      : graph.check_type_matches(tested, *type, row);
      fitted = !result.has_value() || result->has_value();
      allocations = counter.count();
    }
    EXPECT_FALSE(fitted) << probe.schema;
    EXPECT_EQ(allocations, 0u) << probe.schema;
  }
  // The probe does see what a fit makes: its layer.
  testing::AllocationCounter counter;
  CheckResult fit = graph.check_type_matches(uid("A"), *type_pattern("(x: *)"), row);
  EXPECT_TRUE(fit.has_value() && fit->has_value());
  EXPECT_GT(counter.count(), 0u);
}

// --- concurrency ---------------------------------------------------------------------

// Scans run while other threads insert types and terms. Every scan sees at
// least what was stored before it started, and every row it makes is sound.
TEST(ConcurrentScanTest, ScansWhileOthersInsert) {
  Graph graph;
  constexpr int kBefore = 32;
  constexpr int kWriters = 3;
  constexpr int kPerWriter = 200;
  for (int i = 0; i < kBefore; ++i) {
    testing::store(graph, *testing::app(basic("f", "A -> T" + std::to_string(i)), basic("x", "A")));
  }
  const std::size_t types_before = graph.type_index.size();
  const std::size_t applications_before = kBefore;
  const TypeSchema capture = *TypeSchema::new_("(t: A -> *)");
  const TermSchema application = *TermSchema::new_("p q");

  std::latch start(kWriters + 2);
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      start.arrive_and_wait();
      for (int i = 0; i < kPerWriter; ++i) {
        const std::string name = "W" + std::to_string(w) + "_" + std::to_string(i);
        // A new arrow type and its application, and one type shared by all writers.
        testing::store(graph, *testing::app(basic("g", "A -> " + name), basic("y", "A")));
        graph.insert_type(*type_of("Shared -> S" + std::to_string(i % 7)));
      }
    });
  }
  std::atomic<int> scans{0};
  for (int s = 0; s < 2; ++s) {
    threads.emplace_back([&, s] {
      start.arrive_and_wait();
      for (int round = 0; round < 20; ++round) {
        if (s == 0) {
          Result<MatchSet> out = graph.match_type_schema(capture, default_match_set());
          ASSERT_TRUE(out.has_value()) << rendered(out);
          EXPECT_GE(out->size(), applications_before);
          for (const MatchRow& row : testing::rows_of(*out)) {
            EXPECT_EQ(row.match->get("t"), MatchElement(MatchElement::Type{row.last_uid}));
          }
        } else {
          Result<MatchSet> out = graph.match_term_schema(application, default_match_set());
          ASSERT_TRUE(out.has_value()) << rendered(out);
          EXPECT_GE(out->size(), applications_before);
          for (const MatchRow& row : testing::rows_of(*out)) {
            EXPECT_TRUE(row.match->contains_key("p"));
          }
        }
        ++scans;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(scans.load(), 40);
  const std::size_t arrows = kBefore + kWriters * kPerWriter;
  Result<MatchSet> out = graph.match_type_schema(capture, default_match_set());
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(out->size(), arrows);
  EXPECT_GT(graph.type_index.size(), types_before);
  Result<MatchSet> terms = graph.match_term_schema(application, default_match_set());
  ASSERT_TRUE(terms.has_value());
  EXPECT_EQ(terms->size(), arrows);
}

}  // namespace
}  // namespace korvale
