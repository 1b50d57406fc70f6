// Happens-before annotations for ThreadSanitizer; they compile to nothing in
// other builds.
//
// The pool library (oneTBB) comes uninstrumented, so ThreadSanitizer cannot
// see the ordering it guarantees: everything the caller did before a parallel
// loop happens before each body, and each body happens before the loop
// returns. Without that it reports every value handed into or out of a loop.
// The parallel-loop helpers state exactly those two edges, and nothing more:
// bodies stay unordered with each other, so races between them still show.
#pragma once

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace korvale {

// Orders everything this thread did so far before any later tsan_acquire of
// the same address.
inline void tsan_release([[maybe_unused]] void* token) noexcept {
#if defined(__SANITIZE_THREAD__)
  __tsan_release(token);
#endif
}

// Orders every earlier tsan_release of the address before what this thread does next.
inline void tsan_acquire([[maybe_unused]] void* token) noexcept {
#if defined(__SANITIZE_THREAD__)
  __tsan_acquire(token);
#endif
}

// Calls tsan_release(token) when the scope ends, however it ends.
class [[nodiscard]] TsanReleaseAtExit {
 public:
  explicit TsanReleaseAtExit(void* token) noexcept : token_(token) {}
  ~TsanReleaseAtExit() { tsan_release(token_); }
  TsanReleaseAtExit(const TsanReleaseAtExit&) = delete;
  TsanReleaseAtExit& operator=(const TsanReleaseAtExit&) = delete;

 private:
  void* token_;
};

}  // namespace korvale
