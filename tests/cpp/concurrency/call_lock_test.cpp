#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "concurrency/call_lock.hpp"
#include "concurrency/polled_call.hpp"

namespace korvale {
namespace {

using std::chrono::milliseconds;
using Mode = CallLock::Mode;

bool keep_waiting() {
  return true;
}

// Waits until the condition holds (the other thread got where it should).
template <class Condition>
void eventually(Condition condition) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    ASSERT_LT(std::chrono::steady_clock::now(), until);
    std::this_thread::sleep_for(milliseconds(1));
  }
}

// Whether a new reader would be let in now (it leaves at once).
bool reader_admitted(CallLock& lock) {
  if (!lock.try_lock(Mode::kShared)) return false;
  lock.unlock(Mode::kShared);
  return true;
}

struct TryCase {
  const char* name;
  Mode held;
  Mode wanted;
  bool admitted;
};

class CallLockTryTest : public ::testing::TestWithParam<TryCase> {};

TEST_P(CallLockTryTest, AdmitsReadersTogetherAndAWriterAlone) {
  CallLock lock;
  ASSERT_TRUE(lock.try_lock(GetParam().held));
  EXPECT_EQ(lock.try_lock(GetParam().wanted), GetParam().admitted);
  if (GetParam().admitted) lock.unlock(GetParam().wanted);
  lock.unlock(GetParam().held);
  // Once let go, it is free for either kind.
  ASSERT_TRUE(lock.try_lock(Mode::kExclusive));
  lock.unlock(Mode::kExclusive);
}

INSTANTIATE_TEST_SUITE_P(
    Holds, CallLockTryTest,
    ::testing::Values(TryCase{"ReadBesideRead", Mode::kShared, Mode::kShared, true},
                      TryCase{"WriteBesideRead", Mode::kShared, Mode::kExclusive, false},
                      TryCase{"ReadBesideWrite", Mode::kExclusive, Mode::kShared, false},
                      TryCase{"WriteBesideWrite", Mode::kExclusive, Mode::kExclusive, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CallLockTest, AWaitingWriterHoldsLaterReadersBackAndGoesInWhenTheReadersLeave) {
  CallLock lock;
  ASSERT_TRUE(lock.try_lock(Mode::kShared));
  std::atomic<bool> writing{false};
  std::atomic<bool> reader_in{false};
  std::thread writer([&] {
    ASSERT_TRUE(lock.lock(Mode::kExclusive, keep_waiting));
    writing = true;
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_FALSE(reader_in.load());  // the later reader waited for the write
    writing = false;
    lock.unlock(Mode::kExclusive);
  });
  // Once the writer waits, a newcomer is not let in beside the first reader.
  eventually([&] { return !reader_admitted(lock); });
  std::thread reader([&] {
    ASSERT_TRUE(lock.lock(Mode::kShared, keep_waiting));
    reader_in = true;
    EXPECT_FALSE(writing.load());
    lock.unlock(Mode::kShared);
  });
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_FALSE(writing.load());
  EXPECT_FALSE(reader_in.load());
  lock.unlock(Mode::kShared);
  writer.join();
  reader.join();
  EXPECT_TRUE(reader_in.load());
}

TEST(CallLockTest, AWaitGivenUpLeavesTheLockAsItWas) {
  CallLock lock;
  ASSERT_TRUE(lock.try_lock(Mode::kShared));
  int asked = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(lock.lock(Mode::kExclusive, [&] { return ++asked < 3; }));
  // Asked once a poll period, and not held after giving up.
  EXPECT_EQ(asked, 3);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 3 * kPollPeriod);
  // The writer that gave up no longer holds readers back.
  ASSERT_TRUE(lock.try_lock(Mode::kShared));
  lock.unlock(Mode::kShared);
  lock.unlock(Mode::kShared);
  ASSERT_TRUE(lock.try_lock(Mode::kExclusive));
  lock.unlock(Mode::kExclusive);
}

// Threads taking the lock every way at once: a writer is always alone, and
// readers do share it.
TEST(CallLockTest, ContendingThreadsKeepWritersAlone) {
  CallLock lock;
  std::atomic<int> readers{0};
  std::atomic<int> writers{0};
  std::atomic<int> most_readers{0};
  std::atomic<bool> clash{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        const bool write = (i + t) % 5 == 0;
        const Mode mode = write ? Mode::kExclusive : Mode::kShared;
        const bool held = (i % 3 == 0 && lock.try_lock(mode)) || lock.lock(mode, keep_waiting);
        ASSERT_TRUE(held);
        if (write) {
          if (writers.fetch_add(1) != 0 || readers.load() != 0) clash = true;
          writers.fetch_sub(1);
        } else {
          const int now = readers.fetch_add(1) + 1;
          if (writers.load() != 0) clash = true;
          int seen = most_readers.load();
          while (now > seen && !most_readers.compare_exchange_weak(seen, now)) {
          }
          std::this_thread::yield();
          readers.fetch_sub(1);
        }
        lock.unlock(mode);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_FALSE(clash.load());
  EXPECT_GT(most_readers.load(), 1);
}

TEST(CallLockTest, AChildAfterForkKeepsOnlyItsOwnHold) {
  CallLock lock;
  ASSERT_TRUE(lock.try_lock(Mode::kExclusive));
  // A writer of the parent waits at the fork; the child has no such thread.
  std::thread waiting([&] {
    ASSERT_TRUE(lock.lock(Mode::kExclusive, keep_waiting));
    lock.unlock(Mode::kExclusive);
  });
  eventually([&] { return !reader_admitted(lock); });
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    lock.forget_other_threads(Mode::kExclusive);
    lock.unlock(Mode::kExclusive);
    _exit(reader_admitted(lock) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  lock.unlock(Mode::kExclusive);
  waiting.join();
}

// A reading call that forks from inside itself: other readers of the parent
// are forgotten, its own share stays, and a writer gets in once it leaves.
TEST(CallLockTest, AChildKeepsItsOwnShareOnly) {
  CallLock lock;
  ASSERT_TRUE(lock.try_lock(Mode::kShared));
  std::atomic<bool> done{false};
  std::atomic<bool> inside{false};
  std::thread reader([&] {
    ASSERT_TRUE(lock.lock(Mode::kShared, keep_waiting));
    inside.store(true);
    while (!done.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    lock.unlock(Mode::kShared);
  });
  eventually([&] { return inside.load(); });
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    lock.forget_other_threads(Mode::kShared);
    const bool writer_kept_out = !lock.try_lock(Mode::kExclusive);
    lock.unlock(Mode::kShared);
    _exit(writer_kept_out && lock.try_lock(Mode::kExclusive) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  done.store(true);
  reader.join();
  lock.unlock(Mode::kShared);
}

// Waiting to be the only reader holds newcomers back and ends once the other
// readers have left.
TEST(CallLockTest, WaitingToBeAloneHoldsNewReadersBack) {
  CallLock lock;
  ASSERT_TRUE(lock.try_lock(Mode::kShared));
  std::atomic<bool> release{false};
  std::atomic<bool> left{false};
  std::atomic<bool> inside{false};
  std::thread reader([&] {
    ASSERT_TRUE(lock.lock(Mode::kShared, keep_waiting));
    inside.store(true);
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    left.store(true);
    lock.unlock(Mode::kShared);
  });
  eventually([&] { return inside.load(); });
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    release.store(true);
  });
  lock.wait_to_be_alone();
  EXPECT_TRUE(left.load());
  EXPECT_FALSE(lock.try_lock(Mode::kShared));  // held back
  lock.let_others_in();
  ASSERT_TRUE(lock.try_lock(Mode::kShared));
  lock.unlock(Mode::kShared);
  lock.unlock(Mode::kShared);
  releaser.join();
  reader.join();
  EXPECT_TRUE(lock.try_lock(Mode::kExclusive));
  lock.unlock(Mode::kExclusive);
}

}  // namespace
}  // namespace korvale
