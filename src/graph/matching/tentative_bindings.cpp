#include "graph/matching/tentative_bindings.hpp"

#include <cassert>
#include <string>
#include <utility>

namespace korvale {

std::optional<MatchElement> TentativeBindings::get(std::string_view name) const {
  // The base chain first: should a name be bound on both sides, the binding
  // nearest the root wins, as in a chain of real layers.
  if (base_ != nullptr) {
    if (std::optional<MatchElement> found = base_->get(name)) return found;
  }
  for (const Entry& entry : entries_) {
    if (entry.element && entry.name == name) return entry.element;
  }
  return std::nullopt;
}

bool TentativeBindings::contains(std::string_view name) const {
  if (base_ != nullptr && base_->contains_key(name)) return true;
  for (const Entry& entry : entries_) {
    if (entry.element && entry.name == name) return true;
  }
  return false;
}

Status TentativeBindings::bind(std::string_view name, MatchElement element, const char* line) {
  assert(line != nullptr);
  if (contains(name)) {
    return fail(kind::VariableAlreadyExists{std::string(name), "match insert [src/matches:163]"});
  }
  entries_.push_back(Entry{name, element, line});
  return {};
}

void TentativeBindings::open_layer() {
  entries_.push_back(Entry{{}, std::nullopt, nullptr});
}

Result<MatchPtr> TentativeBindings::commit(MatchPtr base) const {
  assert(base.get() == base_);
  MatchPtr layer = std::move(base);
  for (const Entry& entry : entries_) {
    layer = Match::new_(std::move(layer));
    if (!entry.element) continue;
    Status inserted = layer->insert(entry.name, *entry.element);
    if (!inserted) return fail(std::move(inserted.error()).attach(entry.line));
  }
  return layer;
}

}  // namespace korvale
