// A shared handle, one pointer wide, to an object that keeps its own count
// (derives from RefCounted). For the many small shared blocks of the store,
// where std::shared_ptr's second word and control block would double a slot.
#pragma once

#include <atomic>
#include <cassert>
#include <cstdint>
#include <utility>

namespace korvale {

class RefCounted {
 protected:
  RefCounted() = default;
  RefCounted(const RefCounted&) = delete;
  RefCounted& operator=(const RefCounted&) = delete;

 private:
  template <class T>
  friend class CountedPtr;
  mutable std::atomic<std::uint32_t> refs_{1};
};

template <class T>
class CountedPtr {
 public:
  template <class... Args>
  static CountedPtr make(Args&&... args) {
    return CountedPtr(new T(std::forward<Args>(args)...));
  }
  // Takes over an object just made with its count of 1, for a type that
  // makes its objects itself (in a block sized to its contents, say); its
  // operator delete must fit that allocation.
  static CountedPtr adopt(T* object) noexcept {
    assert(object == nullptr || object->refs_.load(std::memory_order_relaxed) == 1);
    return CountedPtr(object);
  }

  CountedPtr(const CountedPtr& other) noexcept : object_(other.object_) {
    if (object_ != nullptr) object_->refs_.fetch_add(1, std::memory_order_relaxed);
  }
  CountedPtr(CountedPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  CountedPtr& operator=(CountedPtr other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~CountedPtr() {
    if (object_ != nullptr && object_->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      delete object_;
    }
  }

  T* get() const noexcept { return object_; }
  T& operator*() const { return *object_; }
  T* operator->() const { return object_; }

 private:
  explicit CountedPtr(T* object) noexcept : object_(object) {}
  T* object_;
};

}  // namespace korvale
