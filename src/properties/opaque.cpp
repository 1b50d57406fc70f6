#include "properties/opaque.hpp"

#include <mutex>
#include <utility>

namespace korvale {

namespace {

// The references whose last value went away, waiting for a thread that holds
// the interpreter lock. Never destroyed: values may still be released while
// static objects are torn down at exit.
struct ReleaseQueue {
  std::mutex mutex;
  std::vector<void*> objects;
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
  std::lock_guard lock(queue.mutex);
  queue.objects.push_back(object);
}

std::vector<void*> take_released_opaques() {
  ReleaseQueue& queue = release_queue();
  std::vector<void*> taken;
  std::lock_guard lock(queue.mutex);
  taken.swap(queue.objects);
  return taken;
}

}  // namespace korvale
