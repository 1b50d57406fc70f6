// Term schema tests and scans over the TermIndex.
#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "graph/graph.hpp"
#include "graph/matching/schema_fits.hpp"

namespace korvale {
namespace {

constexpr const char* kBoundLine = "graph - check term matches [src/graph/matches/term_schema:68]";
constexpr const char* kBindLine = "graph - match term pattern [src/graph/matches/term_schema:79]";
constexpr const char* kFunctionLine =
    "graph - match term pattern [src/graph/matches/term_schema:88]";
constexpr const char* kArgumentLine =
    "graph - match term pattern [src/graph/matches/term_schema:91]";
constexpr const char* kConstantContext = "check term matches [src/graph/matches/term_schema:104]";
constexpr const char* kConstantSchemaLine =
    "check term matches [src/graph/matches/term_schema:122]";
constexpr const char* kFreeVariableContext =
    "check term matches [src/graph/matches/term_schema:133]";
constexpr const char* kTypeArgumentLine = "check term matches [src/graph/matches/term_schema:137]";

// What a test needs of a stored term once its entry is released: the types
// of an application's parts, and whether a basic term bears the name of the
// pattern's constant.
struct TermView {
  bool application = false;
  bool name_fits = false;
  Uid function{};
  Uid argument{};
};

// The terms' side of the tests and scans of schema_fits.hpp.
struct TermSide {
  using Pattern = TermPattern;
  using Rep = TermRep;
  using View = TermView;
  using NotFound = kind::TermNotFound;
  static constexpr const char* kNotFoundContext = "check term matches";
  static constexpr const char* kStackWhat = "Term schema";
  static constexpr const char* kSchemaLine =
      "graph - match term schema [src/graph/matches/term_schema:22]";
  static constexpr const char* kEntryLine =
      "graph - match term pattern [src/graph/matches/term_schema:44]";
  static constexpr const char* kScanLine =
      "graph - match term pattern [src/graph/matches/term_schema:51]";

  static const ShardedMap<Uid, TermRep>& table(const Graph& graph) { return graph.term_index; }
  static TermView view(const TermRep& rep, const TermPattern& pattern);
  static Result<bool> level_fits(const Graph& graph, const Uid& uid, const TermView& view,
                                 const TermPattern& pattern, TentativeBindings& bindings);
};

// Out of line, as the failures of schema_fits.hpp are.
[[gnu::cold, gnu::noinline]] std::unexpected<Report> not_a_term(const MatchElement& bound,
                                                                const std::string& name) {
  return fail(std::move(bound.as_term(name, "check term matches").error()).attach(kBoundLine));
}

// An unbound name binds the term; a bound one fits only its own term. Out of
// line, so the element it copies does not widen the frames of the recursion.
[[gnu::noinline]] Result<bool> variable_fits(const Uid& uid, const std::string& name,
                                             TentativeBindings& bindings) {
  const std::optional<MatchElement> bound = bindings.get(name);
  if (!bound) {
    KORVALE_CHECK(bindings.bind(name, MatchElement::Term{uid}, kBindLine), kBindLine);
    return true;
  }
  if (const auto* term = std::get_if<MatchElement::Term>(&bound->value())) return term->uid == uid;
  return not_a_term(*bound, name);
}

// The parts tested are the terms the store holds for the two types now.
Result<bool> application_fits(const Graph& graph, const TermView& view,
                              const TermPattern::Application& application,
                              TentativeBindings& bindings) {
  if (!view.application) return false;
  const bool function = KORVALE_TRY(
      schema_fits::entry_fits<TermSide>(graph, view.function, *application.function, bindings),
      kFunctionLine);
  if (!function) return false;
  return KORVALE_TRY(
      schema_fits::entry_fits<TermSide>(graph, view.argument, *application.argument, bindings),
      kArgumentLine);
}

// Tests the type arguments against the types that the constant's own schema
// captured for its free variables, pairing them in order. The counts are not
// compared: extra arguments are ignored, extra free variables unconstrained.
Result<bool> type_arguments_fit(const Graph& graph, const Constant& constant,
                                const TermPattern::Constant& pattern,
                                const TentativeBindings& captured, TentativeBindings& bindings) {
  const std::size_t count = std::min(constant.free_variables.size(), pattern.type_arguments.size());
  for (std::size_t i = 0; i < count; ++i) {
    const std::string& variable = constant.free_variables[i];
    const std::optional<MatchElement> element = captured.get(variable);
    if (!element) continue;
    const auto* type = std::get_if<MatchElement::Type>(&element->value());
    if (type == nullptr)
      return fail(std::move(element->as_type(variable, kFreeVariableContext).error()));
    const bool fits = KORVALE_TRY(
        schema_fits::type_fits(graph, type->uid, *pattern.type_arguments[i].compiled, bindings),
        kTypeArgumentLine);
    if (!fits) return false;
  }
  return true;
}

// A basic term bearing the constant's name, whose type fits the constant's
// schema and whose captured types fit the type arguments. The constant's own
// captures are tested over an empty root and never reach the row.
[[gnu::noinline]] Result<bool> constant_fits(const Graph& graph, const Uid& uid,
                                             const TermView& view,
                                             const TermPattern::Constant& pattern,
                                             TentativeBindings& bindings) {
  const Constant* const found = graph.constants.find(pattern.name);
  if (found == nullptr) {
    return fail(kind::ConstantNotFound{pattern.name, kConstantContext});
  }
  // The table never changes once the store is made, so the entry is read in
  // place rather than copied.
  const Constant& constant = *found;
  if (!view.name_fits) return false;
  TentativeBindings captured(nullptr);
  const bool own =
      KORVALE_TRY(schema_fits::type_fits(graph, uid, *constant.type_schema.compiled, captured),
                  kConstantSchemaLine);
  if (!own) return false;
  // A fitting constant always returns a layer of its own, bound or not.
  bindings.open_layer();
  return type_arguments_fit(graph, constant, pattern, captured, bindings);
}

TermView TermSide::view(const TermRep& rep, const TermPattern& pattern) {
  TermView view;
  if (const auto* application = rep.as_application()) {
    view.application = true;
    view.function = application->function;
    view.argument = application->argument;
  } else if (const auto* constant = std::get_if<TermPattern::Constant>(&pattern.value)) {
    view.name_fits = rep.name() == constant->name;
  }
  return view;
}

// A variable, an application or a constant.
Result<bool> TermSide::level_fits(const Graph& graph, const Uid& uid, const TermView& view,
                                  const TermPattern& pattern, TentativeBindings& bindings) {
  if (const auto* variable = std::get_if<TermPattern::Variable>(&pattern.value)) {
    return variable_fits(uid, variable->name, bindings);
  }
  if (const auto* application = std::get_if<TermPattern::Application>(&pattern.value)) {
    return application_fits(graph, view, *application, bindings);
  }
  return constant_fits(graph, uid, view, std::get<TermPattern::Constant>(pattern.value), bindings);
}

}  // namespace

CheckResult Graph::check_term_matches(const Uid& uid, const TermPattern& pattern,
                                      MatchPtr m) const {
  return schema_fits::check_entry<TermSide>(*this, uid, pattern, std::move(m));
}

Result<MatchSet> Graph::match_term_schema(const TermSchema& schema, MatchSet matches) const {
  return schema_fits::scan_schema<TermSide>(*this, schema, matches);
}

}  // namespace korvale
