#include "graph/concrete_type.hpp"

#include <cstddef>

#include "base/stack_guard.hpp"
#include "typing/type.hpp"

namespace korvale {
namespace {

// Arrow chains nest one level per arrow; the schema parser refuses deeper
// trees, so a tree beyond this is not the parser's and simply takes the scan,
// as does one too deep for the thread's stack (the scan's tests check it).
constexpr std::size_t kMaxConcreteDepth = kMaxSchemaDepth + 2;

// The Uid of the one type a pattern of names and arrows names, collecting the
// names on the way; nullopt for a wildcard or a capture anywhere.
std::optional<Uid> concrete_uid(const TypePattern& pattern, std::vector<std::string>& names,
                                std::size_t depth) {
  if (depth > kMaxConcreteDepth || !stack_has_room()) return std::nullopt;
  if (const auto* variable = std::get_if<TypePattern::Variable>(&pattern.value)) {
    names.push_back(variable->name);
    return variable_uid(variable->name);
  }
  const auto* arrow = std::get_if<TypePattern::Arrow>(&pattern.value);
  if (arrow == nullptr) return std::nullopt;
  const std::optional<Uid> domain = concrete_uid(*arrow->domain, names, depth + 1);
  if (!domain) return std::nullopt;
  const std::optional<Uid> codomain = concrete_uid(*arrow->codomain, names, depth + 1);
  if (!codomain) return std::nullopt;
  return arrow_uid(*domain, *codomain);
}

}  // namespace

std::optional<ConcreteType> concrete_type(const NodePattern& pattern) {
  if (!pattern.type_schema) return std::nullopt;
  ConcreteType concrete;
  const std::optional<Uid> uid = concrete_uid(*pattern.type_schema->compiled, concrete.names, 0);
  if (!uid) return std::nullopt;
  concrete.uid = *uid;
  return concrete;
}

std::optional<Uid> concrete_type_uid(const TypePattern& pattern) {
  std::vector<std::string> names;
  return concrete_uid(pattern, names, 0);
}

}  // namespace korvale
