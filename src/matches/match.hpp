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

#include <absl/container/inlined_vector.h>

#include "errors/report.hpp"
#include "matches/match_element.hpp"
#include "matches/spin_lock.hpp"

namespace korvale {

class Match;
// Layers are always held through shared handles: rows, child layers and the
// steps' working values; a child keeps its whole chain alive.
using MatchPtr = std::shared_ptr<Match>;

// All operations are safe from many threads at once, also through ancestors
// shared by rows on different threads. Each layer guards its own few bindings
// with one small lock, held only while one layer is read or written.
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

  // The layer this one extends; null for a root.
  const MatchPtr& parent() const { return parent_; }

  // The number of bindings this layer holds itself (not its ancestors).
  std::size_t size() const { return count_.load(std::memory_order_acquire); }

  Match(Key, MatchPtr parent) : parent_(std::move(parent)) {}
  Match(const Match&) = delete;
  Match& operator=(const Match&) = delete;
  // Releases the parent chain iteratively: chains grow by one layer per
  // matching step, and a recursive release could overflow a thread's stack.
  ~Match();

 private:
  struct Binding {
    std::string name;
    MatchElement element;
  };
  // Most layers hold one or two bindings; more spill to the heap.
  using Bindings = absl::InlinedVector<Binding, 2>;

  // This layer's own element for `name`, if any; takes the layer's lock.
  std::optional<MatchElement> find_own(std::string_view name) const;
  bool contains_own(std::string_view name) const;

  MatchPtr parent_;
  mutable SpinLock lock_;
  // Mirrors bindings_.size(), readable without the lock, so that lookups pass
  // empty layers (roots, steps that bind nothing) without touching the lock.
  std::atomic<std::uint32_t> count_{0};
  Bindings bindings_;
};

}  // namespace korvale
