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
// clang's -Wthread-safety checks what find(), put() and invalidate() need
// (hold the mutex through ReadLock/WriteLock of concurrency/rwlock.hpp); that
// TermIndex writes hold it too, and what nests under it, stay rules.
#pragma once

#include <shared_mutex>
#include <vector>

#include <absl/base/thread_annotations.h>
#include <absl/container/flat_hash_map.h>

#include "base/uid.hpp"
#include "typing/term.hpp"

namespace korvale {

class TermCache {
 public:
  // A std::shared_mutex the analysis knows as a capability.
  class ABSL_LOCKABLE Mutex {
   public:
    void lock() ABSL_EXCLUSIVE_LOCK_FUNCTION() { mutex_.lock(); }
    void unlock() ABSL_UNLOCK_FUNCTION() { mutex_.unlock(); }
    void lock_shared() ABSL_SHARED_LOCK_FUNCTION() { mutex_.lock_shared(); }
    void unlock_shared() ABSL_UNLOCK_FUNCTION() { mutex_.unlock_shared(); }
    // Tells the analysis that this thread holds the mutex exclusively, where
    // it cannot see so: in a lambda that a holder runs on its own thread
    // (holds are not followed into lambdas). Checks nothing at run time.
    void assume_held() const noexcept ABSL_ASSERT_EXCLUSIVE_LOCK() {}

   private:
    std::shared_mutex mutex_;
  };

  Mutex& mutex() const ABSL_LOCK_RETURNED(mutex_) { return mutex_; }

  // The cached term for the type, or null. Needs the mutex, shared at least.
  const TermPtr& find(const Uid& uid) const ABSL_SHARED_LOCKS_REQUIRED(mutex_);
  // Keeps the term rebuilt for `uid`: a basic term, or an application whose
  // function and argument are the terms of the types `function` and
  // `argument`, which must be cached already. Needs the mutex exclusively.
  void put(const Uid& uid, TermPtr term) ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  void put(const Uid& uid, TermPtr term, const Uid& function, const Uid& argument)
      ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // Drops the type's entry and every entry built on it. Needs the mutex
  // exclusively.
  void invalidate(const Uid& uid) ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_);

 private:
  struct Slot {
    TermPtr term;                 // null once dropped
    std::vector<Uid> dependents;  // types whose cached term uses this one
  };
  mutable Mutex mutex_;
  absl::flat_hash_map<Uid, Slot> slots_ ABSL_GUARDED_BY(mutex_);
};

}  // namespace korvale
