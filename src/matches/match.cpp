#include "matches/match.hpp"

#include <cassert>
#include <mutex>
#include <utility>

#include "memory/block_pool.hpp"
#include "memory/chain_release.hpp"

namespace korvale {

MatchPtr Match::new_(MatchPtr parent) {
  return std::allocate_shared<Match>(PooledAllocator<Match>{}, Key{}, std::move(parent));
}

Match::~Match() {
  ChainRelease<MatchPtr>::release(parent_);
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
  assert(!lock_.try_lock());  // held by the caller
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
