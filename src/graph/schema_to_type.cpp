// Types and terms that schemas describe under a row's bindings, and the terms
// the declared constants give types.
//
// The pattern trees come from the schema compiler, which bounds their nesting,
// so the conversions may recurse over them; each arrow and application checks
// the thread's stack first, as small ones do not hold the deepest trees.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/stack_guard.hpp"
#include "concurrency/parallel.hpp"
#include "graph/concrete_type.hpp"
#include "graph/graph.hpp"

namespace korvale {
namespace {

// The element a row binds to `name`, if any. A conversion without a layer
// sees no bindings.
std::optional<MatchElement> bound(const MatchPtr& m, const std::string& name) {
  if (!m) return std::nullopt;
  return m->get(name);
}

// A schema's report names the whole schema text, not the piece that failed.
Report name_whole_schema(Report report, const std::string& schema_text) {
  if (const auto* invalid = std::get_if<kind::InvalidPattern>(&report.kind())) {
    std::string reason = invalid->reason;
    report.change_kind(kind::InvalidPattern{schema_text, std::move(reason)});
  }
  return report;
}

}  // namespace

Result<TypePtr> Graph::type_schema_to_type(const TypeSchema& schema, const MatchPtr& m) {
  Result<TypePtr> type = pattern_to_type_recursive(*schema.compiled, m);
  if (type) return type;
  return fail(name_whole_schema(std::move(type.error()), schema.pattern)
                  .attach("graph - type schema to type [src/graph/base:389]"));
}

Result<TermPtr> Graph::term_schema_to_term(const TermSchema& schema, const MatchPtr& m) {
  Result<TermPtr> term = pattern_to_term_recursive(*schema.compiled, m);
  if (term) return term;
  return fail(name_whole_schema(std::move(term.error()), schema.pattern)
                  .attach("graph - term schema to term [src/graph/base:511]"));
}

Result<TypePtr> Graph::pattern_to_type_recursive(const TypePattern& pattern, const MatchPtr& m) {
  // A name (plain or captured) stands for the type the row binds to it, or
  // else for the type variable of that name, which need not be stored.
  const auto named = [&](const std::string& name, const char* conflict_line,
                         const char* refused_line) -> Result<TypePtr> {
    if (std::optional<MatchElement> element = bound(m, name)) {
      const Uid uid =
          KORVALE_TRY(element->as_type(name, "pattern to type recursive"), conflict_line);
      return type_from_uid(uid);
    }
    Variable variable = KORVALE_TRY(Variable::new_(name), refused_line);
    return Type::variable(std::move(variable));
  };
  const auto& value = pattern.value;
  if (std::holds_alternative<TypePattern::Wildcard>(value)) {
    return fail(kind::InvalidPattern{"", "Cannot convert wildcard to type"});
  }
  if (const auto* variable = std::get_if<TypePattern::Variable>(&value)) {
    return named(variable->name, "graph - pattern to type recursive [src/graph/base:420]",
                 "graph - pattern to type recursive [src/graph/base:426]");
  }
  if (const auto* capture = std::get_if<TypePattern::Capture>(&value)) {
    return named(capture->name, "graph - pattern to type recursive [src/graph/base:434]",
                 "graph - pattern to type recursive [src/graph/base:440]");
  }
  const auto& arrow = std::get<TypePattern::Arrow>(value);
  if (!stack_has_room()) return fail(kind::StackExhausted{"Type schema"});
  TypePtr domain = KORVALE_TRY(pattern_to_type_recursive(*arrow.domain, m),
                               "graph - pattern to type recursive [src/graph/base:406]");
  TypePtr codomain = KORVALE_TRY(pattern_to_type_recursive(*arrow.codomain, m),
                                 "graph - pattern to type recursive [src/graph/base:409]");
  return Type::arrow(std::move(domain), std::move(codomain));
}

Result<TermPtr> Graph::pattern_to_term_recursive(const TermPattern& pattern, const MatchPtr& m) {
  const auto& value = pattern.value;
  if (std::holds_alternative<TermPattern::Wildcard>(value)) {
    return fail(kind::InvalidPattern{"", "Cannot convert wildcard to term"});
  }
  if (const auto* variable = std::get_if<TermPattern::Variable>(&value)) {
    std::optional<MatchElement> element = bound(m, variable->name);
    if (!element) {
      return fail(kind::VariableNotFound{variable->name, "pattern to term recursive"});
    }
    const Uid uid = KORVALE_TRY(element->as_term(variable->name, "pattern to term recursive"),
                                "graph - pattern to term recursive [src/graph/base:542]");
    return term_from_uid(uid);
  }
  if (const auto* constant = std::get_if<TermPattern::Constant>(&value)) {
    TypePtr type = KORVALE_PASS(get_constant_type(*constant, m));
    return Term::basic(BasicTerm::unchecked(constant->name, std::move(type)));
  }
  const auto& application = std::get<TermPattern::Application>(value);
  if (!stack_has_room()) return fail(kind::StackExhausted{"Term schema"});
  TermPtr function = KORVALE_TRY(pattern_to_term_recursive(*application.function, m),
                                 "graph - pattern to term recursive [src/graph/base:528]");
  TermPtr argument = KORVALE_TRY(pattern_to_term_recursive(*application.argument, m),
                                 "graph - pattern to term recursive [src/graph/base:531]");
  Application applied = KORVALE_PASS(Application::new_(std::move(function), std::move(argument)));
  return Term::application(std::move(applied));
}

namespace {

// The type arguments of a constant term, converted under the row's bindings
// and stored, in the order written.
Result<std::vector<Uid>> store_type_arguments(Graph& graph,
                                              const std::vector<TypeSchema>& arguments,
                                              const MatchPtr& m) {
  std::vector<Uid> uids(arguments.size());
  Status stored = try_par_for(arguments.size(), [&](std::size_t i) -> Status {
    TypePtr type = KORVALE_PASS(graph.type_schema_to_type(arguments[i], m));
    uids[i] = graph.insert_type(*type);
    return {};
  });
  if (!stored) return fail(std::move(stored.error()));
  return uids;
}

}  // namespace

Result<TypePtr> Graph::get_constant_type(const TermPattern::Constant& constant, const MatchPtr& m) {
  const Constant* const found = constants.find(constant.name);
  if (found == nullptr) {
    return fail(
        kind::ConstantNotFound{constant.name, "pattern to term recursive [src/graph/base:559]"});
  }
  // The table never changes after the store is made, so the entry needs no copy.
  const Constant& declared = *found;
  // Every failure past the lookup also gets the line of the term conversion.
  const auto instantiate = [&]() -> Result<TypePtr> {
    if (constant.type_arguments.size() != declared.free_variables.size()) {
      return fail(kind::InvalidNumberOfArguments{declared.free_variables.size(),
                                                 constant.type_arguments.size(),
                                                 "get constant type [src/graph/base:620]"});
    }
    const std::vector<Uid> arguments =
        KORVALE_TRY(store_type_arguments(*this, constant.type_arguments, m),
                    "get constant type [src/graph/base:632]");
    // The constant's own schema sees its type arguments alone, not the row.
    MatchPtr own = Match::new_();
    for (std::size_t i = 0; i < arguments.size(); ++i) {
      KORVALE_CHECK(own->insert(declared.free_variables[i], MatchElement::Type{arguments[i]}),
                    "get constant type [src/graph/base:637]");
    }
    return KORVALE_TRY(type_schema_to_type(declared.type_schema, own),
                       "get constant type [src/graph/base:641]");
  };
  Result<TypePtr> type = instantiate();
  if (type) return type;
  return fail(std::move(type.error()).attach("pattern to term recursive [src/graph/base:567]"));
}

Graph::ConstantOrder Graph::order_constants(const ConstantTable& constants) {
  ConstantOrder order;
  for (std::size_t position = 0; position < constants.size(); ++position) {
    const std::optional<Uid> uid = concrete_type_uid(*constants[position].type_schema.compiled);
    if (uid) {
      order.concrete.try_emplace(*uid, position);
    } else {
      order.general.push_back(position);
    }
  }
  return order;
}

Result<std::optional<TermPtr>> Graph::constant_term(const Uid& uid, const std::string& name) const {
  TypePtr type = KORVALE_TRY(type_from_uid(uid), "graph - infer term [src/graph/base:846]");
  BasicTerm term = KORVALE_TRY(BasicTerm::new_(name, std::move(type)),
                               "graph - infer term [src/graph/base:849]");
  return std::optional<TermPtr>(Term::basic(std::move(term)));
}

Result<std::optional<TermPtr>> Graph::infer_term_trying_all(const Uid& uid) const {
  for (const Constant& constant : constants) {
    std::optional<MatchPtr> fit =
        KORVALE_TRY(check_type_matches(uid, *constant.type_schema.compiled, Match::new_()),
                    "graph - infer term [src/graph/base:841]");
    if (fit) return constant_term(uid, constant.name);
  }
  return std::optional<TermPtr>();
}

Result<std::optional<TermPtr>> Graph::infer_term(const Uid& uid) const {
  // A type not stored fails at the first constant tried, whichever it is.
  if (constants.empty() || !type_index.contains(uid)) return infer_term_trying_all(uid);
  // The first fit in declaration order: a general schema before the first
  // concrete one naming this type, or else that one.
  const auto named = constant_order_.concrete.find(uid);
  const std::size_t limit =
      named == constant_order_.concrete.end() ? constants.size() : named->second;
  for (const std::size_t position : constant_order_.general) {
    if (position > limit) break;
    const Constant& constant = constants[position];
    std::optional<MatchPtr> fit =
        KORVALE_TRY(check_type_matches(uid, *constant.type_schema.compiled, Match::new_()),
                    "graph - infer term [src/graph/base:841]");
    if (fit) return constant_term(uid, constant.name);
  }
  if (named == constant_order_.concrete.end()) return std::optional<TermPtr>();
  return constant_term(uid, constants[limit].name);
}

}  // namespace korvale
