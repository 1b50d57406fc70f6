// Type schema tests and scans over the TypeIndex.
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "graph/graph.hpp"
#include "graph/matches/schema_fits.hpp"

namespace korvale {
namespace {

constexpr const char* kSchemaLine = "graph - match type schema [src/graph/matches/type_schema:21]";
constexpr const char* kEntryLine = "graph - match type pattern [src/graph/matches/type_schema:43]";
constexpr const char* kScanLine = "graph - match type pattern [src/graph/matches/type_schema:50]";
constexpr const char* kBoundLine = "graph - check type matches [src/graph/matches/type_schema:67]";
constexpr const char* kDomainLine = "graph - check type matches [src/graph/matches/type_schema:91]";
constexpr const char* kCodomainLine =
    "graph - check type matches [src/graph/matches/type_schema:94]";
constexpr const char* kCaptureInnerLine =
    "graph - check type matches [src/graph/matches/type_schema:104]";
constexpr const char* kCaptureLine =
    "graph - check type matches [src/graph/matches/type_schema:109]";

// A name the row binds fits only its own type; an unbound name fits the type
// variable of that name.
Result<bool> variable_fits(const Uid& uid, const TypeRep& rep, const std::string& name,
                           const TentativeBindings& bindings) {
  const std::optional<MatchElement> bound = bindings.get(name);
  if (!bound) {
    const auto* variable = std::get_if<TypeRep::Variable>(&rep.value);
    return variable != nullptr && variable->name == name;
  }
  // Tested before as_type, whose context text would cost an allocation on
  // every candidate.
  if (const auto* type = std::get_if<MatchElement::Type>(&bound->value())) return type->uid == uid;
  return fail(std::move(bound->as_type(name, "check type matches").error()).attach(kBoundLine));
}

Result<bool> arrow_fits(const Graph& graph, const TypeRep& rep, const TypePattern::Arrow& arrow,
                        TentativeBindings& bindings) {
  const auto* stored = std::get_if<TypeRep::Arrow>(&rep.value);
  if (stored == nullptr) return false;
  const bool domain = KORVALE_TRY(
      schema_fits::type_fits(graph, stored->domain, *arrow.domain, bindings), kDomainLine);
  if (!domain) return false;
  return KORVALE_TRY(schema_fits::type_fits(graph, stored->codomain, *arrow.codomain, bindings),
                     kCodomainLine);
}

// The inner pattern must fit first; the capture then binds, and never
// compares with an existing binding of its name: that is a failure.
Result<bool> capture_fits(const Graph& graph, const Uid& uid, const TypeRep& rep,
                          const TypePattern::Capture& capture, TentativeBindings& bindings) {
  const bool inner = KORVALE_TRY(
      schema_fits::type_rep_fits(graph, uid, rep, *capture.pattern, bindings), kCaptureInnerLine);
  if (!inner) return false;
  KORVALE_CHECK(bindings.bind(capture.name, MatchElement::Type{uid}, kCaptureLine), kCaptureLine);
  return true;
}

}  // namespace

namespace schema_fits {

Result<bool> type_fits(const Graph& graph, const Uid& uid, const TypePattern& pattern,
                       TentativeBindings& bindings) {
  std::optional<Result<bool>> outcome;
  // The entry stays read-locked while its components are tested.
  graph.type_index.find_with(uid, [&](const TypeRep& rep) {
    outcome.emplace(type_rep_fits(graph, uid, rep, pattern, bindings));
  });
  if (!outcome) return fail(kind::TypeNotFound{uid, "check type matches"});
  return std::move(*outcome);
}

Result<bool> type_rep_fits(const Graph& graph, const Uid& uid, const TypeRep& rep,
                           const TypePattern& pattern, TentativeBindings& bindings) {
  if (std::holds_alternative<TypePattern::Wildcard>(pattern.value)) return true;
  if (const auto* variable = std::get_if<TypePattern::Variable>(&pattern.value)) {
    return variable_fits(uid, rep, variable->name, bindings);
  }
  if (const auto* arrow = std::get_if<TypePattern::Arrow>(&pattern.value)) {
    return arrow_fits(graph, rep, *arrow, bindings);
  }
  return capture_fits(graph, uid, rep, std::get<TypePattern::Capture>(pattern.value), bindings);
}

}  // namespace schema_fits

CheckResult Graph::check_type_matches(const Uid& uid, const TypePattern& pattern,
                                      MatchPtr m) const {
  TentativeBindings bindings(m.get());
  Result<bool> fits = schema_fits::type_fits(*this, uid, pattern, bindings);
  return schema_fits::settle(std::move(fits), bindings, std::move(m));
}

Result<MatchSet> Graph::match_type_pattern(const TypePattern& pattern, MatchSet matches) const {
  return schema_fits::scan_table(
      type_index, matches,
      [&](const Uid& uid, const TypeRep& rep, TentativeBindings& bindings) {
        return schema_fits::type_rep_fits(*this, uid, rep, pattern, bindings);
      },
      kEntryLine, kScanLine);
}

Result<MatchSet> Graph::match_type_schema(const TypeSchema& schema, MatchSet matches) const {
  return KORVALE_TRY(match_type_pattern(*schema.compiled, std::move(matches)), kSchemaLine);
}

}  // namespace korvale
