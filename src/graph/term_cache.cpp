#include "graph/term_cache.hpp"

#include <utility>

namespace korvale {

const TermPtr& TermCache::find(const Uid& uid) const {
  static const TermPtr kNone;
  const auto found = slots_.find(uid);
  return found == slots_.end() ? kNone : found->second.term;
}

void TermCache::put(const Uid& uid, TermPtr term) {
  slots_[uid].term = std::move(term);
}

void TermCache::put(const Uid& uid, TermPtr term, const Uid& function, const Uid& argument) {
  // A type that is dropped and cached again may still be listed by a part
  // that stayed: only a repeat at the end is skipped, any other is cleared
  // when that part is dropped.
  for (const Uid* part : {&function, &argument}) {
    std::vector<Uid>& dependents = slots_[*part].dependents;
    if (dependents.empty() || dependents.back() != uid) dependents.push_back(uid);
  }
  put(uid, std::move(term));
}

void TermCache::invalidate(const Uid& uid) {
  // Iterative: chains of dependents can be as long as the deepest term.
  std::vector<Uid> pending{uid};
  while (!pending.empty()) {
    const auto found = slots_.find(pending.back());
    pending.pop_back();
    if (found == slots_.end()) continue;
    const std::vector<Uid>& dependents = found->second.dependents;
    pending.insert(pending.end(), dependents.begin(), dependents.end());
    slots_.erase(found);
  }
}

}  // namespace korvale
