// Rebuilt terms kept by their type's Uid, so that a deep term whose stored
// parts have not changed is not rebuilt (nor stored again) level by level.
//
// Invariant: an entry holds exactly the term that rebuilding its type's term
// from the TermIndex would give now, and the entries of all its sub-terms'
// types are present too. Every write to the TermIndex therefore drops the
// written type's entry and, transitively, every entry built on it.
//
// Locking: the owner takes mutex() exclusively around every TermIndex write
// together with invalidate(), and around rebuilds that fill the cache; a
// shared lock suffices for find(). Nothing else is locked while the mutex is
// held except the shards of the type and term tables, which never wait for it.
#pragma once

#include <shared_mutex>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "base/uid.hpp"
#include "typing/term.hpp"

namespace korvale {

class TermCache {
 public:
  std::shared_mutex& mutex() const { return mutex_; }

  // The cached term for the type, or null. Needs the mutex, shared at least.
  const TermPtr& find(const Uid& uid) const;
  // Keeps the term rebuilt for `uid`: a basic term, or an application whose
  // function and argument are the terms of the types `function` and
  // `argument`, which must be cached already. Needs the mutex exclusively.
  void put(const Uid& uid, TermPtr term);
  void put(const Uid& uid, TermPtr term, const Uid& function, const Uid& argument);
  // Drops the type's entry and every entry built on it. Needs the mutex
  // exclusively.
  void invalidate(const Uid& uid);

 private:
  struct Slot {
    TermPtr term;                 // null once dropped
    std::vector<Uid> dependents;  // types whose cached term uses this one
  };
  mutable std::shared_mutex mutex_;
  absl::flat_hash_map<Uid, Slot> slots_;
};

}  // namespace korvale
