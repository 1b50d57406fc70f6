#include "python/live_stores.hpp"

#include <algorithm>
#include <memory>

#include <absl/base/thread_annotations.h>

#include "concurrency/rwlock.hpp"

namespace korvale::python {

namespace {

// Weak handles, so the record never keeps a store alive. Expired ones are
// dropped whenever the record has doubled since the last sweep, which keeps
// recording a store amortised constant time. Never destroyed: a store may be
// made while static objects are torn down.
struct Record {
  Mutex mutex;
  std::vector<std::weak_ptr<Graph>> stores ABSL_GUARDED_BY(mutex);
  std::size_t swept_size ABSL_GUARDED_BY(mutex) = 0;
};

Record& record() {
  static Record* stores = new Record();
  return *stores;
}

}  // namespace

LiveStore LiveStore::of(const GraphPtr& graph) {
  Record& r = record();
  const MutexLock lock(r.mutex);
  if (r.stores.size() >= 2 * r.swept_size + 16) {
    std::erase_if(r.stores, [](const std::weak_ptr<Graph>& store) { return store.expired(); });
    r.swept_size = r.stores.size();
  }
  r.stores.push_back(graph);
  return LiveStore{};
}

std::vector<GraphPtr> live_stores() {
  Record& r = record();
  std::vector<GraphPtr> alive;
  const MutexLock lock(r.mutex);
  for (const std::weak_ptr<Graph>& store : r.stores) {
    if (GraphPtr graph = store.lock()) alive.push_back(std::move(graph));
  }
  return alive;
}

}  // namespace korvale::python
