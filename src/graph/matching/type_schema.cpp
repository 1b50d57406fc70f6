// Type schema tests and scans over the TypeIndex.
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "graph/graph.hpp"
#include "graph/matching/schema_fits.hpp"

namespace korvale {
namespace {

constexpr const char* kBoundLine = "graph - check type matches [src/graph/matches/type_schema:67]";
constexpr const char* kDomainLine = "graph - check type matches [src/graph/matches/type_schema:91]";
constexpr const char* kCodomainLine =
    "graph - check type matches [src/graph/matches/type_schema:94]";
constexpr const char* kCaptureInnerLine =
    "graph - check type matches [src/graph/matches/type_schema:104]";
constexpr const char* kCaptureLine =
    "graph - check type matches [src/graph/matches/type_schema:109]";

// What a test needs of a stored type once its entry is released: the parts
// of an arrow, and whether a variable bears the one name the pattern can ask
// for at this level (that of its leaf under any captures).
struct TypeView {
  bool arrow = false;
  bool name_fits = false;
  Uid domain{};
  Uid codomain{};
};

// The types' side of the tests and scans of schema_fits.hpp.
struct TypeSide {
  using Pattern = TypePattern;
  using Rep = TypeRep;
  using View = TypeView;
  using NotFound = kind::TypeNotFound;
  static constexpr const char* kNotFoundContext = "check type matches";
  static constexpr const char* kStackWhat = "Type schema";
  static constexpr const char* kSchemaLine =
      "graph - match type schema [src/graph/matches/type_schema:21]";
  static constexpr const char* kEntryLine =
      "graph - match type pattern [src/graph/matches/type_schema:43]";
  static constexpr const char* kScanLine =
      "graph - match type pattern [src/graph/matches/type_schema:50]";

  static const ShardedMap<Uid, TypeRep>& table(const Graph& graph) { return graph.type_index; }
  static TypeView view(const TypeRep& rep, const TypePattern& pattern);
  static Result<bool> level_fits(const Graph& graph, const Uid& uid, const TypeView& view,
                                 const TypePattern& pattern, TentativeBindings& bindings);
};

// Out of line, as the failures of schema_fits.hpp are.
[[gnu::cold, gnu::noinline]] std::unexpected<Report> not_a_type(const MatchElement& bound,
                                                                const std::string& name) {
  return fail(std::move(bound.as_type(name, "check type matches").error()).attach(kBoundLine));
}

// A name the row binds fits only its own type; an unbound name fits the type
// variable of that name. Out of line, so the element it copies does not
// widen the frames of the recursion.
[[gnu::noinline]] Result<bool> variable_fits(const Uid& uid, const TypeView& view,
                                             const std::string& name,
                                             const TentativeBindings& bindings) {
  const std::optional<MatchElement> bound = bindings.get(name);
  if (!bound) return view.name_fits;
  // Tested before as_type, whose context text would cost an allocation on
  // every candidate.
  if (const auto* type = std::get_if<MatchElement::Type>(&bound->value())) return type->uid == uid;
  return not_a_type(*bound, name);
}

Result<bool> arrow_fits(const Graph& graph, const TypeView& view, const TypePattern::Arrow& arrow,
                        TentativeBindings& bindings) {
  if (!view.arrow) return false;
  const bool domain = KORVALE_TRY(
      schema_fits::entry_fits<TypeSide>(graph, view.domain, *arrow.domain, bindings), kDomainLine);
  if (!domain) return false;
  return KORVALE_TRY(
      schema_fits::entry_fits<TypeSide>(graph, view.codomain, *arrow.codomain, bindings),
      kCodomainLine);
}

// The inner pattern must fit first; the capture then binds, and never
// compares with an existing binding of its name: that is a failure.
[[gnu::noinline]] Result<bool> capture_fits(const Graph& graph, const Uid& uid,
                                            const TypeView& view,
                                            const TypePattern::Capture& capture,
                                            TentativeBindings& bindings) {
  const bool inner =
      KORVALE_TRY(schema_fits::view_fits<TypeSide>(graph, uid, view, *capture.pattern, bindings),
                  kCaptureInnerLine);
  if (!inner) return false;
  KORVALE_CHECK(bindings.bind(capture.name, MatchElement::Type{uid}, kCaptureLine), kCaptureLine);
  return true;
}

TypeView TypeSide::view(const TypeRep& rep, const TypePattern& pattern) {
  TypeView view;
  if (const auto* arrow = rep.as_arrow()) {
    view.arrow = true;
    view.domain = arrow->domain;
    view.codomain = arrow->codomain;
    return view;
  }
  // A capture tests its inner pattern against the same type.
  const TypePattern* leaf = &pattern;
  while (const auto* capture = std::get_if<TypePattern::Capture>(&leaf->value)) {
    leaf = capture->pattern.get();
  }
  if (const auto* variable = std::get_if<TypePattern::Variable>(&leaf->value)) {
    view.name_fits = rep.name() == variable->name;
  }
  return view;
}

// A variable, an arrow or a capture.
Result<bool> TypeSide::level_fits(const Graph& graph, const Uid& uid, const TypeView& view,
                                  const TypePattern& pattern, TentativeBindings& bindings) {
  if (const auto* variable = std::get_if<TypePattern::Variable>(&pattern.value)) {
    return variable_fits(uid, view, variable->name, bindings);
  }
  if (const auto* arrow = std::get_if<TypePattern::Arrow>(&pattern.value)) {
    return arrow_fits(graph, view, *arrow, bindings);
  }
  return capture_fits(graph, uid, view, std::get<TypePattern::Capture>(pattern.value), bindings);
}

}  // namespace

namespace schema_fits {

Result<bool> type_fits(const Graph& graph, const Uid& uid, const TypePattern& pattern,
                       TentativeBindings& bindings) {
  return entry_fits<TypeSide>(graph, uid, pattern, bindings);
}

}  // namespace schema_fits

CheckResult Graph::check_type_matches(const Uid& uid, const TypePattern& pattern,
                                      MatchPtr m) const {
  return schema_fits::check_entry<TypeSide>(*this, uid, pattern, std::move(m));
}

Result<MatchSet> Graph::match_type_schema(const TypeSchema& schema, MatchSet matches) const {
  return schema_fits::scan_schema<TypeSide>(*this, schema, matches);
}

}  // namespace korvale
