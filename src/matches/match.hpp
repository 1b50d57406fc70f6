// One layer of variable bindings stacked over an optional parent layer. Rows
// of a match set share their ancestors' layers instead of copying bindings:
// a matching step stacks a new layer over the row's layer and binds its own
// variables there. The chain of a layer is the layer, its parent, the
// parent's parent and so on to the root (a layer without a parent).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <oneapi/tbb/spin_mutex.h>

#include "errors/report.hpp"
#include "matches/match_element.hpp"

namespace korvale {

class Match;
// Layers are always held through shared handles: rows, child layers and the
// steps' working values; a child keeps its whole chain alive.
using MatchPtr = std::shared_ptr<Match>;

// All operations are safe from many threads at once, also through ancestors
// shared by rows on different threads. Lookups take no lock and write no
// shared memory, so rows on many threads can read one ancestor without
// contending; insert and remove take the layer's small lock.
class Match {
  struct Key {};

 public:
  // A new, empty layer over `parent` (none: a root).
  static MatchPtr new_(MatchPtr parent = nullptr);

  // Whether some layer of the chain binds `name` (compared byte for byte).
  bool contains_key(std::string_view name) const;

  // A copy of the element bound to `name` in the chain; absent when no layer
  // binds it. Should two layers bind the name, the one nearest the root wins.
  std::optional<MatchElement> get(std::string_view name) const;

  // Binds `name` in this layer. Fails with VariableAlreadyExists (own context
  // "match insert [src/matches:163]") when the chain already binds it, and
  // then changes nothing. The check and the write are two steps: a layer is
  // filled by one task at a time, before it is handed on.
  Status insert(std::string_view name, MatchElement element);

  // Takes the binding of `name` out of the nearest layer of the chain that
  // holds it, own layer first, and returns its element; absent when no layer
  // binds it. Atomic per layer: of several threads removing one binding,
  // exactly one gets the element. Every row whose chain passes through that
  // layer loses the binding.
  std::optional<MatchElement> remove(std::string_view name);

  // The number of bindings this layer holds itself (not its ancestors).
  std::size_t size() const { return live_.load(std::memory_order_acquire); }

  Match(Key, MatchPtr parent) : parent_(std::move(parent)) {}
  Match(const Match&) = delete;
  Match& operator=(const Match&) = delete;
  // Releases the parent chain iteratively: chains grow by one layer per
  // matching step, and a recursive release could overflow a thread's stack.
  ~Match();

 private:
  // A binding slot is written once, under the lock, and then published by its
  // state; its name and element never change afterwards, so readers that saw
  // it live may read them without the lock. A removed binding only changes
  // state: its slot is not reused (layers are filled once, before they are
  // handed on), which keeps every published slot stable for readers.
  enum SlotState : std::uint8_t { kEmpty, kLive, kRemoved };
  struct Slot {
    std::string name;
    MatchElement element = MatchElement::Type{};
    std::atomic<std::uint8_t> state{kEmpty};  // last: fills the element's tail padding
  };
  // Slots live in blocks that never move: the first inside the layer (most
  // layers hold one or two bindings), further ones linked as needed. Slots
  // fill in order, so the first empty slot ends the used ones.
  struct Block {
    static constexpr std::size_t kSlots = 2;
    Slot slots[kSlots];
    std::atomic<Block*> next{nullptr};  // published view of next_owner
    std::unique_ptr<Block> next_owner;
  };

  // This layer's own live slot for `name`, if any. Takes no lock.
  const Slot* find_own(std::string_view name) const;
  // The first empty slot, adding a block when all are used. Lock held.
  Slot& free_slot();

  MatchPtr parent_;
  tbb::spin_mutex lock_;                // serialises insert and remove
  std::atomic<std::uint32_t> live_{0};  // live bindings of this layer
  std::uint32_t used_ = 0;              // slots ever filled; lock held
  Block first_;
};

}  // namespace korvale
