// Type schema tests and scans over the TypeIndex.
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "graph/graph.hpp"
#include "graph/matching/schema_fits.hpp"
#include "base/stack_guard.hpp"

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

// The failures are built out of line: the tests recurse once per pattern
// level, and a report built in place would widen every level's frame.
[[gnu::cold, gnu::noinline]] std::unexpected<Report> type_not_found(const Uid& uid) {
  return fail(kind::TypeNotFound{uid, "check type matches"});
}

[[gnu::cold, gnu::noinline]] std::unexpected<Report> stack_exhausted() {
  return fail(kind::StackExhausted{"Type schema"});
}

[[gnu::cold, gnu::noinline]] std::unexpected<Report> not_a_type(const MatchElement& bound,
                                                                const std::string& name) {
  return fail(std::move(bound.as_type(name, "check type matches").error()).attach(kBoundLine));
}

// What a test needs of a stored type once its entry is released: the parts
// of an arrow, and whether a variable bears the one name the pattern can ask
// for at this level (that of its leaf under any captures).
struct TypeView {
  bool arrow = false;
  bool name_fits = false;
  Uid domain{};
  Uid codomain{};
};

Result<bool> view_fits(const Graph& graph, const Uid& uid, const TypeView& view,
                       const TypePattern& pattern, TentativeBindings& bindings);

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
  const bool domain =
      KORVALE_TRY(schema_fits::type_fits(graph, view.domain, *arrow.domain, bindings), kDomainLine);
  if (!domain) return false;
  return KORVALE_TRY(schema_fits::type_fits(graph, view.codomain, *arrow.codomain, bindings),
                     kCodomainLine);
}

// The inner pattern must fit first; the capture then binds, and never
// compares with an existing binding of its name: that is a failure.
[[gnu::noinline]] Result<bool> capture_fits(const Graph& graph, const Uid& uid,
                                            const TypeView& view,
                                            const TypePattern::Capture& capture,
                                            TentativeBindings& bindings) {
  const bool inner =
      KORVALE_TRY(view_fits(graph, uid, view, *capture.pattern, bindings), kCaptureInnerLine);
  if (!inner) return false;
  KORVALE_CHECK(bindings.bind(capture.name, MatchElement::Type{uid}, kCaptureLine), kCaptureLine);
  return true;
}

TypeView view_type(const TypeRep& rep, const TypePattern& pattern) {
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

Result<bool> view_fits(const Graph& graph, const Uid& uid, const TypeView& view,
                       const TypePattern& pattern, TentativeBindings& bindings) {
  if (std::holds_alternative<TypePattern::Wildcard>(pattern.value)) return true;
  // Every level of an arrow or a capture passes here.
  if (!stack_has_room()) return stack_exhausted();
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
  std::optional<TypeView> view;
  graph.type_index.find_with(uid, [&](const TypeRep& rep) { view = view_type(rep, pattern); });
  if (!view) return type_not_found(uid);
  return view_fits(graph, uid, *view, pattern, bindings);
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
      [&](const Uid& uid, TentativeBindings& bindings) {
        return schema_fits::type_fits(*this, uid, pattern, bindings);
      },
      kEntryLine, kScanLine);
}

Result<MatchSet> Graph::match_type_schema(const TypeSchema& schema, MatchSet matches) const {
  return KORVALE_TRY(match_type_pattern(*schema.compiled, std::move(matches)), kSchemaLine);
}

}  // namespace korvale
