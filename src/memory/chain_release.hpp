// Releasing the shared parts of a node that is being destroyed, without one
// nested destructor call per level. Long chains of shared handles (a term
// applied 100,000 times, an arrow type nested as deep, a row's layers after
// many matching steps) would otherwise overflow the stack when their last
// handle goes, and pool threads have small stacks.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace korvale {

// A node's destructor calls ChainRelease<Handle>::release(...) with its own
// parts, all of type Handle (a shared handle with use_count and reset, such as
// std::shared_ptr). The outermost destruction on a thread that meets a part
// held by nothing else gathers the parts in a list on its stack and drops
// them one by one; destructors that this triggers hand their own parts to
// that list instead of releasing them in place. A part that others still
// share only loses a count: outside such a release it is dropped at once, and
// it never makes the list allocate. Counts are only touched through the
// handles themselves, so whoever drops the last handle destroys the node, on
// any thread.
template <class Handle>
class ChainRelease {
 public:
  template <class... Parts>
  static void release(Parts&... parts) noexcept {
    static_assert(sizeof...(Parts) > 0);
    static_assert((std::is_same_v<Parts, Handle> && ...));
    if ((!parts && ...)) return;  // a leaf: nothing to release
    if (Pending* active = active_) {
      (active->take(parts), ...);
      return;
    }
    // An empty handle has no node to destroy; a shared one only loses a count.
    if (((!parts || parts.use_count() > 1) && ...)) {
      (parts.reset(), ...);
      return;
    }
    Pending pending;
    (pending.take(parts), ...);
    active_ = &pending;
    pending.drain();
    active_ = nullptr;
  }

 private:
  // The parts still to be dropped: a few in place, so that a chain (one part
  // per node) or a small tree needs no allocation; the rest in `spilled_`.
  // The places are raw storage: a release must not pay for constructing and
  // destroying handles it never uses.
  class Pending {
   public:
    Pending() = default;
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;
    ~Pending() = default;  // drained: no handle left in place

    void take(Handle& part) noexcept {
      if (!part) return;
      if (count_ < kInPlace) {
        new (place(count_++)) Handle(std::move(part));
      } else if (part.use_count() > 1) {
        // Shared: dropping it here destroys nothing, unless the other holders
        // let go meanwhile; then its parts come to this list.
        part.reset();
      } else {
        spill(part);
      }
    }

    // Drops every part, and every part that dropping them hands in.
    void drain() noexcept {
      for (;;) {
        if (count_ > 0) {
          Handle* last = place(--count_);
          Handle part(std::move(*last));
          last->~Handle();
        } else if (!spilled_.empty()) {
          Handle part(std::move(spilled_.back()));
          spilled_.pop_back();
        } else {
          return;
        }
        // Dropping `part` at the end of its branch may destroy a node, whose
        // parts come back through take.
      }
    }

   private:
    static constexpr std::size_t kInPlace = 4;

    Handle* place(std::size_t index) noexcept {
      return std::launder(reinterpret_cast<Handle*>(places_ + index * sizeof(Handle)));
    }

    [[gnu::noinline]] void spill(Handle& part) noexcept {
      try {
        spilled_.push_back(std::move(part));
      } catch (...) {
        // Out of memory: release it in place, one level deeper, rather than
        // lose it.
        part.reset();
      }
    }

    alignas(Handle) std::byte places_[kInPlace * sizeof(Handle)];
    std::size_t count_ = 0;
    std::vector<Handle> spilled_;
  };

  // A plain pointer, not a thread_local list: it has no destructor of its
  // own, so handles released late at thread or process exit still work.
  static inline thread_local Pending* active_ = nullptr;
};

}  // namespace korvale
