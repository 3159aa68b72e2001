#include "platform/win32/thread.h"

#include <gtest/gtest.h>

#include <time.h>

#include <atomic>
#include <thread>

#include "platform/nt/clock.h"
#include "platform/win32/faults.h"
#include "platform/win32/handle.h"
#include "platform/win32/synch.h"

namespace vorn::win32 {
namespace {

struct Worker {
  HANDLE go = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::atomic<DWORD> seen_id{0};
  std::atomic<DWORD> seen_error{0xDEAD};
  std::atomic<bool> finished{false};

  static DWORD WINAPI Run(LPVOID parameter) {
    auto* self = static_cast<Worker*>(parameter);
    self->seen_id = GetCurrentThreadId();
    self->seen_error = GetLastError();
    SetLastError(ERROR_INVALID_HANDLE);  // its own, not the creator's
    WaitForSingleObject(self->go, INFINITE);
    self->finished = true;
    return 7;
  }
};

TEST(Thread, HandleIsSignalledWhenTheRoutineReturnsAndStaysSignalled) {
  Worker worker;
  DWORD id = 0;
  SetLastError(ERROR_NOT_SUPPORTED);
  HANDLE thread = CreateThread(nullptr, 0, Worker::Run, &worker, 0, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
  {
    vorn::clock::ScopedSpeed fast(1000);
    EXPECT_EQ(WaitForSingleObject(thread, 3000), WAIT_TIMEOUT) << "blocked on its event";
  }
  // A wait on {stop event, thread} as the stop paths make: the thread wins once it ends.
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE both[] = {thread, stop};
  ASSERT_TRUE(SetEvent(worker.go));
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(worker.finished);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "a thread's end is not consumed";

  EXPECT_NE(id, 0u);
  EXPECT_EQ(worker.seen_id, id);
  EXPECT_NE(GetCurrentThreadId(), id);
  EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
  EXPECT_EQ(worker.seen_error, ERROR_SUCCESS) << "a new thread starts with no error";
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_FALSE(SetEvent(thread)) << "a thread handle is no event";
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_TRUE(CloseHandle(stop));
  CloseHandle(worker.go);
}

TEST(Thread, ClosingHandlesEarlyLeavesThreadAndWaitersSound) {
  vorn::clock::ScopedSpeed fast(1000);
  Worker worker;
  HANDLE thread = CreateThread(nullptr, 0, Worker::Run, &worker, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(CloseHandle(thread));
  // The thread runs on without its handle (it finishes at the end of the test).
  // A waiter's event handle is closed while the wait is on. Whether the close came before
  // the wait began cannot be seen from outside, so a round whose waiter found the handle
  // gone already is run again.
  struct WaitArgs {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<bool> waiting{false};
    std::atomic<DWORD> result{0};
  };
  bool closed_during_wait = false;
  for (int round = 0; round < 20 && !closed_during_wait; ++round) {
    WaitArgs args;
    HANDLE waiter = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
          auto* a = static_cast<WaitArgs*>(p);
          a->waiting = true;
          a->result = WaitForSingleObject(a->event, 20000);
          return 0;
        },
        &args, 0, nullptr);
    ASSERT_NE(waiter, nullptr);
    while (!args.waiting) Sleep(0);
    Sleep(1);
    ASSERT_TRUE(CloseHandle(args.event));
    EXPECT_EQ(WaitForSingleObject(waiter, INFINITE), WAIT_OBJECT_0);
    CloseHandle(waiter);
    closed_during_wait = args.result == WAIT_TIMEOUT;
    if (!closed_during_wait) {
      EXPECT_EQ(args.result, WAIT_FAILED);
    }
  }
  EXPECT_TRUE(closed_during_wait) << "a wait runs to its time-out on the live object";
  ASSERT_TRUE(SetEvent(worker.go));
  while (!worker.finished) Sleep(1);
  CloseHandle(worker.go);
}

TEST(Thread, CreationFailuresAreReported) {
  FailCalls(Fault::kCreateThread, 0, 1);
  Worker worker;
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(CreateThread(nullptr, 0, Worker::Run, &worker, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(worker.seen_id, 0u) << "nothing ran";
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, &worker, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  constexpr DWORD kCreateSuspended = 0x4;
  EXPECT_EQ(CreateThread(nullptr, 0, Worker::Run, &worker, kCreateSuspended, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // The plan covered one call only.
  HANDLE thread = CreateThread(nullptr, 0, Worker::Run, &worker, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  SetEvent(worker.go);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  CloseHandle(thread);
  CloseHandle(worker.go);
}

// A thread that spins until its own clock shows 20 ms, then waits for its event.
struct Spinner {
  HANDLE go = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::atomic<bool> spun{false};
  static DWORD WINAPI Run(LPVOID parameter) {
    auto* self = static_cast<Spinner*>(parameter);
    timespec t{};
    do clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    while (t.tv_sec == 0 && t.tv_nsec < 20000000);
    self->spun = true;
    WaitForSingleObject(self->go, INFINITE);
    return 0;
  }
};

TEST(Thread, CpuTimeIsTheThreadsOwnWhileItRunsAndKeptAfterItEnds) {
  Spinner spinner;
  HANDLE thread = CreateThread(nullptr, 0, Spinner::Run, &spinner, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  while (!spinner.spun) std::this_thread::yield();
  uint64_t running = 0;
  ASSERT_TRUE(ThreadCpuNanoseconds(thread, &running));
  EXPECT_GE(running, 20000000u);
  SetEvent(spinner.go);
  {
    vorn::clock::ScopedSpeed fast(1000);
    ASSERT_EQ(WaitForSingleObject(thread, 30000), WAIT_OBJECT_0);
  }
  uint64_t ended = 0;
  ASSERT_TRUE(ThreadCpuNanoseconds(thread, &ended));
  EXPECT_GE(ended, running);
  uint64_t again = 0;
  ASSERT_TRUE(ThreadCpuNanoseconds(thread, &again));
  EXPECT_EQ(again, ended);  // an ended thread's time no longer moves
  // The sum over every thread started here keeps the ended one's time.
  EXPECT_GE(StartedThreadsCpuNanoseconds(), ended);
  // Other handles have no thread clock.
  uint64_t none = 0;
  EXPECT_FALSE(ThreadCpuNanoseconds(spinner.go, &none));
  EXPECT_FALSE(ThreadCpuNanoseconds(nullptr, &none));
  CloseHandle(thread);
  CloseHandle(spinner.go);
}

}  // namespace
}  // namespace vorn::win32
