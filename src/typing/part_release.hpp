// Releasing the shared parts of a node that is being destroyed, without one
// nested destructor call per level. Long chains of shared handles (a term
// applied 100,000 times, an arrow type nested as deep) would otherwise overflow
// the stack when their last handle goes, and pool threads have small stacks.
#pragma once

#include <memory>
#include <utility>
#include <vector>

namespace korvale {

// Node's destructor calls release(...) with its own parts. The outermost
// destruction on a thread collects the parts in a local list and drops them one
// by one; destructors that this triggers hand their parts to that list instead
// of releasing them in place. Counts are only touched through shared_ptr
// itself, so whoever drops the last handle destroys the node, on any thread.
template <class Node>
class PartRelease {
 public:
  using Handle = std::shared_ptr<const Node>;

  static void release(Handle& first, Handle& second) noexcept {
    if (active_ != nullptr) {
      take(*active_, first);
      take(*active_, second);
      return;
    }
    std::vector<Handle> pending;
    take(pending, first);
    take(pending, second);
    if (pending.empty()) return;
    active_ = &pending;
    while (!pending.empty()) {
      Handle last = std::move(pending.back());
      pending.pop_back();
      last.reset();  // may destroy a node, which appends its parts to `pending`
    }
    active_ = nullptr;
  }

 private:
  static void take(std::vector<Handle>& into, Handle& part) {
    if (part) into.push_back(std::move(part));
  }

  // A plain pointer, not a thread_local vector: it has no destructor of its
  // own, so handles released late at thread or process exit still work.
  static inline thread_local std::vector<Handle>* active_ = nullptr;
};

}  // namespace korvale
