#include "matches/match.hpp"

#include <mutex>
#include <utility>

#include "memory/block_pool.hpp"

namespace korvale {
namespace {

// While a thread releases a chain, the slot into which the layer being
// destroyed parks its parent instead of releasing it in its own destructor.
// A raw pointer: trivially destructible, so it stays usable during thread exit.
thread_local MatchPtr* parked_parent = nullptr;

}  // namespace

MatchPtr Match::new_(MatchPtr parent) {
  return std::allocate_shared<Match>(PooledAllocator<Match>{}, Key{}, std::move(parent));
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

const Match::Slot* Match::find_own(std::string_view name) const {
  if (live_.load(std::memory_order_acquire) == 0) return nullptr;
  for (const Block* block = &first_; block != nullptr;
       block = block->next.load(std::memory_order_acquire)) {
    for (const Slot& slot : block->slots) {
      // Acquire pairs with the release that published the slot's contents.
      const std::uint8_t state = slot.state.load(std::memory_order_acquire);
      if (state == kEmpty) return nullptr;
      if (state == kLive && slot.name == name) return &slot;
    }
  }
  return nullptr;
}

Match::Slot& Match::free_slot() {
  Block* block = &first_;
  std::size_t index = used_;
  while (index >= Block::kSlots) {
    if (block->next_owner == nullptr) {
      block->next_owner = std::make_unique<Block>();
      block->next.store(block->next_owner.get(), std::memory_order_release);
    }
    block = block->next_owner.get();
    index -= Block::kSlots;
  }
  ++used_;
  return block->slots[index];
}

bool Match::contains_key(std::string_view name) const {
  for (const Match* layer = this; layer != nullptr; layer = layer->parent_.get()) {
    if (layer->find_own(name) != nullptr) return true;
  }
  return false;
}

std::optional<MatchElement> Match::get(std::string_view name) const {
  // Walking upward and keeping the last hit gives the binding nearest the
  // root, as a lookup from the root down would, without recursion or a list
  // of the chain.
  const Slot* found = nullptr;
  for (const Match* layer = this; layer != nullptr; layer = layer->parent_.get()) {
    if (const Slot* own = layer->find_own(name)) found = own;
  }
  if (found == nullptr) return std::nullopt;
  return found->element;
}

Status Match::insert(std::string_view name, MatchElement element) {
  if (contains_key(name)) {
    return fail(kind::VariableAlreadyExists{std::string(name), "match insert [src/matches:163]"});
  }
  std::lock_guard guard(lock_);
  // Only a concurrent insertion since the check can have put the name here;
  // the new binding replaces it. Published slots never change, so the old
  // one is retired after the new one is live.
  Slot* replaced = const_cast<Slot*>(find_own(name));
  Slot& slot = free_slot();
  slot.name.assign(name);
  slot.element = element;
  slot.state.store(kLive, std::memory_order_release);
  if (replaced != nullptr) {
    replaced->state.store(kRemoved, std::memory_order_release);
  } else {
    live_.fetch_add(1, std::memory_order_release);
  }
  return {};
}

std::optional<MatchElement> Match::remove(std::string_view name) {
  for (Match* layer = this; layer != nullptr; layer = layer->parent_.get()) {
    if (layer->live_.load(std::memory_order_acquire) == 0) continue;
    // Under the lock the state change is the one step that decides which of
    // several removers of this binding gets it.
    std::lock_guard guard(layer->lock_);
    Slot* slot = const_cast<Slot*>(layer->find_own(name));
    if (slot == nullptr) continue;
    slot->state.store(kRemoved, std::memory_order_release);
    layer->live_.fetch_sub(1, std::memory_order_release);
    return slot->element;
  }
  return std::nullopt;
}

}  // namespace korvale
