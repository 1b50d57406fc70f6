// A reference to an arbitrary Python object held inside a property value.
//
// The core never calls the interpreter: a PyOpaque shares one strong reference
// among its copies through an atomic count, so pool threads may copy, compare
// (by identity) and release it freely. When the last copy goes, the reference
// is not given back here; the object pointer is queued, and the binding layer
// drains the queue on a thread that holds the interpreter lock.
#pragma once

#include <memory>
#include <vector>

namespace korvale {

class PyOpaque {
 public:
  // Takes over one strong reference to `object` (a PyObject*, opaque here).
  static PyOpaque adopt(void* object);

  // The referred object; identity is all the core may use it for.
  void* object() const { return holder_->object; }

  friend bool operator==(const PyOpaque& a, const PyOpaque& b) { return a.object() == b.object(); }

 private:
  struct Holder {
    void* object;
    explicit Holder(void* o) : object(o) {}
    ~Holder();  // queues the reference for release
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
  };
  explicit PyOpaque(std::shared_ptr<Holder> holder) : holder_(std::move(holder)) {}
  std::shared_ptr<Holder> holder_;
};

// Takes every reference queued since the last call; the caller (holding the
// interpreter lock) gives each back. Safe to call from any thread, also from
// several at once; with nothing queued it takes no lock.
std::vector<void*> take_released_opaques();

// Whether a reference may be queued: one atomic load, for callers that have
// more to check before a take. A reference queued before this call (in
// happens-before order) is seen.
bool released_opaques_pending();

}  // namespace korvale
