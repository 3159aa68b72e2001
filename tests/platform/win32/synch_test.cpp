#include "platform/win32/synch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/nt/clock.h"
#include "platform/win32/faults.h"
#include "platform/win32/handle.h"
#include "platform/win32/performance_counter.h"

namespace vorn::win32 {
namespace {

using namespace std::chrono_literals;

// Clock time in milliseconds, through the performance counter.
int64_t NowMs() {
  LARGE_INTEGER count{}, frequency{};
  EXPECT_TRUE(QueryPerformanceCounter(&count));
  EXPECT_TRUE(QueryPerformanceFrequency(&frequency));
  return count.QuadPart * 1000 / frequency.QuadPart;
}

struct Events {
  explicit Events(size_t n, BOOL manualReset = FALSE) {
    for (size_t i = 0; i < n; ++i) handles.push_back(CreateEventW(nullptr, manualReset, FALSE, nullptr));
  }
  ~Events() {
    for (HANDLE h : handles) CloseHandle(h);
  }
  std::vector<HANDLE> handles;
};

TEST(Wait, AnyReturnsTheLowestSignalledIndexAndConsumesOnlyThatEvent) {
  struct Case {
    std::vector<size_t> set;
    DWORD expected;
  };
  const Case cases[] = {
      {{2}, WAIT_OBJECT_0 + 2},
      {{1, 2}, WAIT_OBJECT_0 + 1},
      {{2, 0}, WAIT_OBJECT_0 + 0},
      {{3, 1, 2}, WAIT_OBJECT_0 + 1},
      {{}, WAIT_TIMEOUT},
  };
  for (const Case& c : cases) {
    Events auto_reset(4);
    for (size_t i : c.set) ASSERT_TRUE(SetEvent(auto_reset.handles[i]));
    EXPECT_EQ(WaitForMultipleObjects(4, auto_reset.handles.data(), FALSE, 0), c.expected);
    // Only the winner was reset: every other set event is still set.
    for (size_t i : c.set) {
      DWORD still = WaitForSingleObject(auto_reset.handles[i], 0);
      EXPECT_EQ(still, WAIT_OBJECT_0 + i == c.expected ? WAIT_TIMEOUT : WAIT_OBJECT_0)
          << "event " << i;
    }
  }
}

TEST(Wait, BlockedWaitWakesForTheEventSetLater) {
  vorn::clock::ScopedSpeed fast(1000);
  Events events(3, TRUE);
  std::thread setter([&] {
    Sleep(20);
    SetEvent(events.handles[2]);
  });
  EXPECT_EQ(WaitForMultipleObjects(3, events.handles.data(), FALSE, INFINITE), WAIT_OBJECT_0 + 2);
  setter.join();
  // Manual reset: it stays set for every later wait.
  EXPECT_EQ(WaitForSingleObject(events.handles[2], 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ResetEvent(events.handles[2]));
  EXPECT_EQ(WaitForSingleObject(events.handles[2], 0), WAIT_TIMEOUT);
}

TEST(Wait, OneSetReleasesOneWaiterOfAnAutoResetEventAndAllOfAManualOne) {
  constexpr int kWaiters = 4;
  for (BOOL manual : {FALSE, TRUE}) {
    // Each waiter waits for {event, quit}: the event's winners return 0, the rest are let go
    // by quit once the winners are in and a wrongly woken extra one would have been seen.
    Events events(1, manual);
    HANDLE quit = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE both[] = {events.handles[0], quit};
    std::atomic<int> started{0}, woken{0}, let_go{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
      waiters.emplace_back([&] {
        ++started;
        DWORD r = WaitForMultipleObjects(2, both, FALSE, INFINITE);
        (r == WAIT_OBJECT_0 ? woken : let_go)++;
      });
    }
    while (started < kWaiters) std::this_thread::yield();
    std::this_thread::sleep_for(2ms);
    ASSERT_TRUE(SetEvent(events.handles[0]));
    int expected = manual ? kWaiters : 1;
    while (woken < expected) std::this_thread::yield();
    std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(SetEvent(quit));
    for (std::thread& t : waiters) t.join();
    EXPECT_EQ(woken, expected) << "manual " << manual;
    EXPECT_EQ(let_go, kWaiters - expected) << "manual " << manual;
    EXPECT_EQ(WaitForSingleObject(events.handles[0], 0), manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
    CloseHandle(quit);
  }
}

TEST(Wait, TimeOutsAndSleepsRunOnTheFastClock) {
  vorn::clock::ScopedSpeed fast(1000);
  Events events(2);
  struct Case {
    const char* what;
    DWORD ms;
    bool sleep;
  };
  for (const Case& c : {Case{"single wait", 5000, false}, Case{"wait on two", 2000, false},
                        Case{"sleep", 10000, true}, Case{"poll", 0, false}}) {
    int64_t start = NowMs();
    auto real_start = std::chrono::steady_clock::now();
    if (c.sleep) {
      Sleep(c.ms);
    } else if (std::string(c.what) == "wait on two") {
      EXPECT_EQ(WaitForMultipleObjects(2, events.handles.data(), FALSE, c.ms), WAIT_TIMEOUT);
    } else {
      EXPECT_EQ(WaitForSingleObject(events.handles[0], c.ms), WAIT_TIMEOUT);
    }
    int64_t spent = NowMs() - start;
    EXPECT_GE(spent, static_cast<int64_t>(c.ms) * 98 / 100) << c.what;
    EXPECT_LT(std::chrono::steady_clock::now() - real_start, 1s) << c.what;
  }
}

TEST(Wait, RefusesBadArgumentsWithTheirReason) {
  Events events(1);
  HANDLE closed = CreateEventW(nullptr, FALSE, TRUE, nullptr);
  ASSERT_TRUE(CloseHandle(closed));
  HANDLE good = events.handles[0];
  std::vector<HANDLE> too_many(MAXIMUM_WAIT_OBJECTS + 1, good);
  HANDLE with_bad[] = {good, closed};
  struct Case {
    const char* what;
    DWORD count;
    const HANDLE* handles;
    BOOL waitAll;
    DWORD error;
  };
  const Case cases[] = {
      {"no handles", 0, &good, FALSE, ERROR_INVALID_PARAMETER},
      {"null array", 1, nullptr, FALSE, ERROR_INVALID_PARAMETER},
      {"too many", MAXIMUM_WAIT_OBJECTS + 1, too_many.data(), FALSE, ERROR_INVALID_PARAMETER},
      {"closed handle", 2, with_bad, FALSE, ERROR_INVALID_HANDLE},
      {"wait-all", 1, &good, TRUE, ERROR_NOT_SUPPORTED},
  };
  for (const Case& c : cases) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WaitForMultipleObjects(c.count, c.handles, c.waitAll, 0), WAIT_FAILED) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }
  for (HANDLE bad : {HANDLE{nullptr}, INVALID_HANDLE_VALUE, closed}) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(bad));
    EXPECT_FALSE(ResetEvent(bad));
    EXPECT_FALSE(CloseHandle(bad));
  }
  EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, u"Named"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(Event, InjectedCreationFailuresAndInitialState) {
  size_t open_before = OpenHandleCount();
  FailCalls(Fault::kCreateEvent, 1, 2);
  HANDLE first = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, nullptr), nullptr);
  HANDLE fourth = CreateEventW(nullptr, FALSE, TRUE, nullptr);
  EXPECT_NE(fourth, nullptr);
  ClearFaults();
  // Created signalled: the manual one stays so, the auto-reset one serves one wait.
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(fourth, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(fourth, 0), WAIT_TIMEOUT);
  EXPECT_EQ(OpenHandleCount(), open_before + 2);
  EXPECT_TRUE(CloseHandle(first));
  EXPECT_TRUE(CloseHandle(fourth));
  EXPECT_EQ(OpenHandleCount(), open_before);
}

}  // namespace
}  // namespace vorn::win32
