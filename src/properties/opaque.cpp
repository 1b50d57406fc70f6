#include "properties/opaque.hpp"

#include <atomic>
#include <utility>

#include <absl/base/thread_annotations.h>

#include "concurrency/rwlock.hpp"

namespace korvale {

namespace {

// The references whose last value went away, waiting for a thread that holds
// the interpreter lock. Never destroyed: values may still be released while
// static objects are torn down at exit.
struct ReleaseQueue {
  Mutex mutex;
  std::vector<void*> objects ABSL_GUARDED_BY(mutex);
  // Whether `objects` may be non-empty: written under `mutex`, read without
  // it, so that a take that finds nothing (every dealloc of a module object
  // asks) costs one load instead of a lock.
  std::atomic<bool> pending{false};
};

ReleaseQueue& release_queue() {
  static ReleaseQueue* queue = new ReleaseQueue();
  return *queue;
}

}  // namespace

PyOpaque PyOpaque::adopt(void* object) {
  return PyOpaque(std::make_shared<Holder>(object));
}

PyOpaque::Holder::~Holder() {
  // The releasing thread may be a pool thread without the interpreter, and even
  // the calling thread may hold a store lock here: giving the reference back
  // could run arbitrary Python code, so it only joins the queue.
  ReleaseQueue& queue = release_queue();
  const MutexLock lock(queue.mutex);
  queue.objects.push_back(object);
  queue.pending.store(true, std::memory_order_release);
}

bool released_opaques_pending() {
  return release_queue().pending.load(std::memory_order_acquire);
}

std::vector<void*> take_released_opaques() {
  ReleaseQueue& queue = release_queue();
  std::vector<void*> taken;
  // A push that this load misses did not happen before this take; a later
  // take gets it.
  if (!queue.pending.load(std::memory_order_acquire)) return taken;
  const MutexLock lock(queue.mutex);
  taken.swap(queue.objects);
  queue.pending.store(false, std::memory_order_relaxed);
  return taken;
}

}  // namespace korvale
