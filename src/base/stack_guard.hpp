// Whether the calling thread's stack still has room for another level of a
// recursive walk. Every walk whose depth follows its input checks this once
// per level, so a deep input on a small stack (a Python thread made after
// threading.stack_size(65536), a pool worker) ends in an error report instead
// of running into the guard page.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvale {

// What a level may still use below the frame that passed the check: its own
// frame, the calls it makes that do not check (allocation, name validation,
// the interpreter's object constructors) and the building of the failure
// report. Measured, the core's walks use under 2 KiB of it (14 KiB under
// AddressSanitizer, whose frames are some twelve times larger); the rest is
// for the interpreter, whose allocations in the conversions to Python objects
// may start a collection that runs finalizers, i.e. Python code.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KORVALE_STACK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KORVALE_STACK_SANITIZED 1
#endif
#endif
#ifdef KORVALE_STACK_SANITIZED
inline constexpr std::size_t kStackMargin = 64 * 1024;
#else
inline constexpr std::size_t kStackMargin = 24 * 1024;
#endif

namespace stack_guard_detail {
// The lowest usable address of this thread's stack; 0 until it is first read,
// 1 when it could not be read (then every check passes).
inline thread_local std::uintptr_t low_bound = 0;
std::uintptr_t read_low_bound() noexcept;
}  // namespace stack_guard_detail

// True while more than kStackMargin bytes lie between the caller's frame and
// the low end of the thread's stack. The bounds are read once per thread;
// after that a check is one subtraction and a comparison. The frame address
// rather than a local's: under AddressSanitizer locals may live on a fake
// stack on the heap. A frame outside the thread's stack (a signal stack)
// always passes: above the stack, or below it, where the unsigned difference
// wraps around.
[[gnu::always_inline]] inline bool stack_has_room() noexcept {
  std::uintptr_t low = stack_guard_detail::low_bound;
  if (low == 0) [[unlikely]]
    low = stack_guard_detail::read_low_bound();
  const auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  return frame - low > kStackMargin;
}

}  // namespace korvale
