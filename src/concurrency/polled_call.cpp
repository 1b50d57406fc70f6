#include "concurrency/polled_call.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <pthread.h>

#if !defined(__SANITIZE_THREAD__)
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/task_arena.h>
#endif

namespace korvale {

CallerPoll::CallerPoll(Interruption& call, absl::FunctionRef<bool()> poll)
    : call_(call), poll_(poll), next_(std::chrono::steady_clock::now() + kPollPeriod) {}

void CallerPoll::maybe_poll() {
  if (!polling_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_) return;
  if (!poll_()) {
    call_.request();
    polling_ = false;
  }
  next_ = std::chrono::steady_clock::now() + kPollPeriod;
}

namespace {

// Bumped in the child of every fork(): a loop started in an earlier process
// image has no helpers left to wait for.
std::atomic<unsigned> fork_generation{0};

void note_fork_in_child() {
  fork_generation.fetch_add(1, std::memory_order_relaxed);
}

// Registered when the library is loaded, before any fork that could matter.
[[maybe_unused]] const bool fork_noted = [] {
  pthread_atfork(nullptr, nullptr, note_fork_in_child);
  return true;
}();

unsigned current_fork_generation() {
  return fork_generation.load(std::memory_order_relaxed);
}

// One loop's state, shared with its helpers. A helper's task may start only
// after the loop has returned (the pool was busy): the state outlives the
// loop through the helpers' handles, and the gate tells a late helper to
// leave without touching `run_items` or `stopped`, which lived in the loop's
// frame.
struct Loop {
  static constexpr std::uint32_t kClosed = 1u << 31;

  Loop(std::size_t n, std::size_t grain, std::size_t share,
       absl::FunctionRef<void(std::size_t, std::size_t)> run_items,
       const std::atomic<bool>& stopped)
      : n(n),
        grain(grain),
        share(share),
        run_items(run_items),
        stopped(&stopped),
        generation(current_fork_generation()) {}

  // The next chunk, [begin, end), or begin == end once none is left. Chunks
  // shrink as the loop goes (a share of what is left, down to `grain`), so
  // that the threads run out of work at about the same time: a thread left
  // without any goes to sleep, and the loops nested in the others' items
  // keep waking it for nothing.
  std::pair<std::size_t, std::size_t> take_chunk() {
    std::size_t begin = next.load(std::memory_order_relaxed);
    std::size_t end;
    do {
      if (begin >= n) return {n, n};
      end = begin + std::max(grain, (n - begin) / share);
      end = std::min(end, n);
    } while (!next.compare_exchange_weak(begin, end, std::memory_order_relaxed));
    return {begin, end};
  }

  // Runs chunks until none is left or the loop stopped.
  void pull_chunks() {
    while (!stopped->load(std::memory_order_relaxed)) {
      const auto [begin, end] = take_chunk();
      if (begin == end) return;
      run_items(begin, end);
    }
  }

  bool helpers_inside() const { return (gate.load(std::memory_order_acquire) & ~kClosed) != 0; }

  // Closes the gate; true when a helper is inside.
  bool close() { return (gate.fetch_or(kClosed, std::memory_order_acq_rel) & ~kClosed) != 0; }

  // Whether the process forked since the loop began: its helpers, pool
  // threads of the parent, are gone, and none is left to wait for.
  bool forked_since() const {
    return generation != fork_generation.load(std::memory_order_relaxed);
  }

  void leave() {
    if (gate.fetch_sub(1, std::memory_order_acq_rel) == (kClosed | 1)) {
      std::lock_guard lock(mutex);
      left.notify_all();
    }
  }

  const std::size_t n;
  const std::size_t grain;
  const std::size_t share;
  absl::FunctionRef<void(std::size_t, std::size_t)> run_items;
  const std::atomic<bool>* stopped;
  const unsigned generation;  // fork_generation when the loop began
  std::atomic<std::size_t> next{0};
  std::atomic<std::uint32_t> gate{0};  // helpers inside, and kClosed once the loop closed it
  std::mutex mutex;
  std::condition_variable left;
  std::exception_ptr error;  // under `mutex`
};

void help(const std::shared_ptr<Loop>& loop) {
  if ((loop->gate.fetch_add(1, std::memory_order_acq_rel) & Loop::kClosed) == 0) {
    try {
      loop->pull_chunks();
    } catch (...) {
      std::lock_guard lock(loop->mutex);
      if (!loop->error) loop->error = std::current_exception();
      loop->next.store(loop->n, std::memory_order_relaxed);
    }
  }
  loop->leave();
}

// Helpers started and not yet done with everything of their loop, their
// handle on its state included.
std::atomic<int> helpers_alive{0};

void run_helper(std::shared_ptr<Loop> loop) {
  help(loop);
  loop.reset();
  helpers_alive.fetch_sub(1);
}

#if defined(__SANITIZE_THREAD__)
// The sanitizer build keeps out of the uninstrumented pool library (see
// parallel.hpp): each helper is a plain thread.
std::size_t helper_limit() {
  return std::max(2u, std::thread::hardware_concurrency()) - 1;
}
void start_helper(std::shared_ptr<Loop> loop) {
  helpers_alive.fetch_add(1);
  std::thread([loop = std::move(loop)]() mutable { run_helper(std::move(loop)); }).detach();
}
#else
// The calling thread is one of the loop's threads; the pool gives the rest.
std::size_t helper_limit() {
  static const std::size_t limit =
      static_cast<std::size_t>(std::max(1, tbb::info::default_concurrency())) - 1;
  return limit;
}
// Into the calling thread's own arena, where the loops nested in the items
// it runs put their tasks too, so that the pool's threads help with both.
void start_helper(std::shared_ptr<Loop> loop) {
  helpers_alive.fetch_add(1);
  // The pool calls its tasks as const; the handle is let go inside the call.
  struct Task {
    mutable std::shared_ptr<Loop> loop;
    void operator()() const { run_helper(std::move(loop)); }
  };
  tbb::this_task_arena::enqueue(Task{std::move(loop)});
}
#endif

// The loops this thread runs beside the pool, innermost last.
thread_local std::vector<Loop*> loops_of_this_thread;

class OpenLoop {
 public:
  explicit OpenLoop(Loop& loop) { loops_of_this_thread.push_back(&loop); }
  ~OpenLoop() { loops_of_this_thread.pop_back(); }
  OpenLoop(const OpenLoop&) = delete;
  OpenLoop& operator=(const OpenLoop&) = delete;
};

// Closes the gate, then waits (polling) until no helper is inside. In a
// child of fork(), only helpers that would have found nothing to do can be
// counted inside (settle_loops_of_this_thread ran before the fork): none is
// waited for.
void close_and_wait(Loop& loop, CallerPoll& caller) {
  if (!loop.close() || loop.forked_since()) return;
  // The helpers are finishing one chunk each, usually within microseconds:
  // watch before sleeping, since waking a sleeping thread takes longer.
  const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
  do {
    for (int i = 0; i < 64; ++i) {
      if (!loop.helpers_inside()) return;
#if defined(__x86_64__)
      __builtin_ia32_pause();
#endif
    }
  } while (std::chrono::steady_clock::now() < until);
  std::unique_lock lock(loop.mutex);
  while (!loop.left.wait_for(lock, kPollPeriod, [&] { return !loop.helpers_inside(); })) {
    lock.unlock();
    caller.maybe_poll();
    lock.lock();
  }
}

}  // namespace

void run_beside_pool(std::size_t n, absl::FunctionRef<void(std::size_t, std::size_t)> run_items,
                     const std::atomic<bool>& stopped, CallerPoll& caller) {
  const std::size_t threads = helper_limit() + 1;
  // The last chunks are small enough to balance uneven items, the first ones
  // big enough that the shared counter is not fought over.
  const std::size_t grain = std::max<std::size_t>(1, n / (threads * 64));
  auto loop = std::make_shared<Loop>(n, grain, 2 * threads, run_items, stopped);
  const OpenLoop open(*loop);
  // A forked child has none of the pool's threads, and the pool library's
  // state may be caught mid-change by the fork: the child runs alone.
  const std::size_t helpers = in_forked_child() ? 0 : std::min(helper_limit(), n - 1);
  for (std::size_t k = 0; k < helpers; ++k) start_helper(loop);
  try {
    // The same chunks as the helpers'; run_items polls between its items.
    loop->pull_chunks();
  } catch (...) {
    loop->next.store(n, std::memory_order_relaxed);
    close_and_wait(*loop, caller);
    throw;
  }
  close_and_wait(*loop, caller);
  std::lock_guard lock(loop->mutex);
  if (loop->error) std::rethrow_exception(loop->error);
}

void wait_until_helpers_are_done() {
  // Helpers of closed loops leave at once; a started one that the pool has
  // not run yet is run soon after. The limit only keeps a fork from waiting
  // for ever on a pool that runs nothing.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (helpers_alive.load() != 0 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

bool in_forked_child() {
  return current_fork_generation() != 0;
}

void settle_loops_of_this_thread() {
  for (Loop* loop : loops_of_this_thread) {
    if (!loop->close()) continue;
    std::unique_lock lock(loop->mutex);
    loop->left.wait(lock, [&] { return !loop->helpers_inside(); });
  }
}

}  // namespace korvale
