// A plain exclusive mutex that clang's -Wthread-safety knows as a capability,
// and the scoped holder through which the analysis sees it held.
//
// It lives here, at the bottom of the layers, because the block pool, whose
// folder sees no other, takes one too. Everything above reaches it through
// concurrency/rwlock.hpp with the other locks.
#pragma once

#include <mutex>

#include <absl/base/thread_annotations.h>

namespace korvale {

// A std::mutex, nothing added at run time. Hold it through MutexLock:
// std::lock_guard carries no annotations, so through it the analysis sees no
// hold and reports every access to the data the mutex guards.
class ABSL_LOCKABLE Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ABSL_EXCLUSIVE_LOCK_FUNCTION() { mutex_.lock(); }
  void unlock() ABSL_UNLOCK_FUNCTION() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

// The mutex held for the holder's whole scope, as by a std::lock_guard.
class ABSL_SCOPED_LOCKABLE MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ABSL_EXCLUSIVE_LOCK_FUNCTION(mutex) : mutex_(mutex) {
    mutex_.lock();
  }
  ~MutexLock() ABSL_UNLOCK_FUNCTION() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

}  // namespace korvale
