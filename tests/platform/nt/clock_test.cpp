#include "platform/nt/clock.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/nt/status.h"

namespace vorn::clock {
namespace {

using namespace std::chrono_literals;

TEST(Clock, FastSpeedShrinksLongWaitsButNotShortPeriods) {
  ScopedSpeed fast(1000);
  EXPECT_EQ(RealDuration(2s), 2ms);
  EXPECT_EQ(RealDuration(10s), 10ms);
  // A 1 ms period stays a real millisecond rather than a spin.
  EXPECT_EQ(RealDuration(1ms), 1ms);
  EXPECT_EQ(RealDuration(200us), 200us);
  EXPECT_EQ(RealDuration(-5ms), Duration::zero());
}

TEST(Clock, TimedWaitEndsOnTimeAndVirtualTimeAdvances) {
  ScopedSpeed fast(1000);
  std::mutex m;
  std::condition_variable cv;
  std::unique_lock<std::mutex> lock(m);
  int64_t before = NowNs();
  auto real_before = std::chrono::steady_clock::now();
  EXPECT_FALSE(WaitFor(cv, lock, 5s, [] { return false; }));
  auto real_spent = std::chrono::steady_clock::now() - real_before;
  EXPECT_GE(NowNs() - before, 4'900'000'000LL);  // about 5 s of clock time passed
  EXPECT_LT(real_spent, 1s);
}

TEST(Clock, SpeedChangesNeverRunTimeBackwards) {
  int64_t last = NowNs();
  for (double speed : {1000.0, 1.0, 50.0, 0.25, 1.0}) {
    SetSpeed(speed);
    std::this_thread::sleep_for(1ms);
    int64_t now = NowNs();
    EXPECT_GE(now, last);
    last = now;
  }
  EXPECT_EQ(Speed(), 1.0);
  EXPECT_GE(PerformanceCounter(), 0);
}

TEST(NtTypes, GuidRoundTripsThroughItsText) {
  GUID g{};
  ASSERT_TRUE(GuidFromString("{98f03b06-e5de-4cad-9ff7-6d2ad7b66525}", &g));
  EXPECT_EQ(g.Data1, 0x98f03b06u);
  EXPECT_EQ(g.Data4[7], 0x25);
  EXPECT_EQ(GuidToString(g), "{98F03B06-E5DE-4CAD-9FF7-6D2AD7B66525}");
  for (const char* bad : {"", "98f03b06-e5de-4cad-9ff7-6d2ad7b66525",
                          "{98f03b06-e5de-4cad-9ff7-6d2ad7b6652}", "{98f03b06Xe5de-4cad-9ff7-6d2ad7b66525}",
                          "{98f03b06-e5de-4cad-9ff7-6d2ad7b6652g}"})
    EXPECT_FALSE(GuidFromString(bad, &g)) << bad;
  EXPECT_EQ(StatusName(STATUS_IO_TIMEOUT), "STATUS_IO_TIMEOUT");
  EXPECT_EQ(StatusName(MakeStatus(0xC0001234)), "0xC0001234");
}

}  // namespace
}  // namespace vorn::clock
