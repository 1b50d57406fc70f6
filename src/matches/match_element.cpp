#include "matches/match_element.hpp"

#include <array>

namespace korvale {
namespace {

// Indexed by the variant's alternative.
constexpr std::array<std::string_view, 4> kKindWords = {"type", "term", "node", "edge"};

template <class Alternative>
constexpr std::size_t index_of() {
  return MatchElement::Value(Alternative{}).index();
}

// The identifier of the asked alternative, or the conflict between the held
// and the asked kind words.
template <class Alternative>
auto checked(const MatchElement::Value& value, std::string_view name, OptText context)
    -> Result<decltype(Alternative::uid)> {
  if (const auto* held = std::get_if<Alternative>(&value)) return held->uid;
  return fail(kind::ContextConflict{std::string(name), std::string(kKindWords[value.index()]),
                                    std::string(kKindWords[index_of<Alternative>()]),
                                    std::move(context)});
}

}  // namespace

Result<Uid> MatchElement::as_type(std::string_view name, OptText context) const {
  return checked<Type>(value_, name, std::move(context));
}

Result<Uid> MatchElement::as_term(std::string_view name, OptText context) const {
  return checked<Term>(value_, name, std::move(context));
}

Result<Uid> MatchElement::as_node(std::string_view name, OptText context) const {
  return checked<Node>(value_, name, std::move(context));
}

Result<EdgeUid> MatchElement::as_edge(std::string_view name, OptText context) const {
  return checked<Edge>(value_, name, std::move(context));
}

}  // namespace korvale
