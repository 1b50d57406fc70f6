#include "matches/match.hpp"

#include <algorithm>
#include <mutex>
#include <utility>

namespace korvale {
namespace {

// While a thread releases a chain, the slot into which the layer being
// destroyed parks its parent instead of releasing it in its own destructor.
// A raw pointer: trivially destructible, so it stays usable during thread exit.
thread_local MatchPtr* parked_parent = nullptr;

}  // namespace

MatchPtr Match::new_(MatchPtr parent) {
  return std::make_shared<Match>(Key{}, std::move(parent));
}

Match::~Match() {
  if (!parent_) return;
  if (parked_parent != nullptr) {
    // An outer destructor on this thread is unwinding the chain: hand the
    // parent to it. Its slot is empty whenever a layer is being released;
    // should it not be, release normally (one level deeper) rather than lose it.
    if (!*parked_parent) *parked_parent = std::move(parent_);
    return;
  }
  MatchPtr next;
  parked_parent = &next;
  MatchPtr current = std::move(parent_);
  while (current) {
    current.reset();  // may destroy that layer, which parks its parent in `next`
    current = std::move(next);
  }
  parked_parent = nullptr;
}

std::optional<MatchElement> Match::find_own(std::string_view name) const {
  if (count_.load(std::memory_order_acquire) == 0) return std::nullopt;
  std::lock_guard guard(lock_);
  for (const Binding& binding : bindings_) {
    if (binding.name == name) return binding.element;
  }
  return std::nullopt;
}

bool Match::contains_own(std::string_view name) const {
  if (count_.load(std::memory_order_acquire) == 0) return false;
  std::lock_guard guard(lock_);
  return std::any_of(bindings_.begin(), bindings_.end(),
                     [&](const Binding& binding) { return binding.name == name; });
}

bool Match::contains_key(std::string_view name) const {
  for (const Match* layer = this; layer != nullptr; layer = layer->parent_.get()) {
    if (layer->contains_own(name)) return true;
  }
  return false;
}

std::optional<MatchElement> Match::get(std::string_view name) const {
  // Walking upward and keeping the last hit gives the binding nearest the
  // root, as a lookup from the root down would, without recursion or a list
  // of the chain.
  std::optional<MatchElement> found;
  for (const Match* layer = this; layer != nullptr; layer = layer->parent_.get()) {
    if (auto own = layer->find_own(name)) found = own;
  }
  return found;
}

Status Match::insert(std::string_view name, MatchElement element) {
  if (contains_key(name)) {
    return fail(kind::VariableAlreadyExists{std::string(name), "match insert [src/matches:163]"});
  }
  std::lock_guard guard(lock_);
  // Only a concurrent insertion since the check can have put the name here.
  for (Binding& binding : bindings_) {
    if (binding.name == name) {
      binding.element = element;
      return {};
    }
  }
  bindings_.push_back(Binding{std::string(name), element});
  count_.store(static_cast<std::uint32_t>(bindings_.size()), std::memory_order_release);
  return {};
}

std::optional<MatchElement> Match::remove(std::string_view name) {
  for (Match* layer = this; layer != nullptr; layer = layer->parent_.get()) {
    if (layer->count_.load(std::memory_order_acquire) == 0) continue;
    std::lock_guard guard(layer->lock_);
    Bindings& bindings = layer->bindings_;
    auto it = std::find_if(bindings.begin(), bindings.end(),
                           [&](const Binding& binding) { return binding.name == name; });
    if (it == bindings.end()) continue;
    MatchElement element = it->element;
    // Bindings have no order; moving the last one into the gap avoids a shift.
    if (it != bindings.end() - 1) *it = std::move(bindings.back());
    bindings.pop_back();
    layer->count_.store(static_cast<std::uint32_t>(bindings.size()), std::memory_order_release);
    return element;
  }
  return std::nullopt;
}

}  // namespace korvale
