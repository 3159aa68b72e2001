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

// A held clock stands at its hold however much real time passes, never runs backwards for a
// hold below it, and runs on from the hold, without a jump, once the hold moves.
TEST(Clock, AHoldStopsTheClockUntilItMovesOn) {
  ScopedSpeed fast(1000);
  // Held where it stands first, so the hold ahead is set from a clock that does not move:
  // a slow machine (or an emulator) cannot pass it before it is set.
  HoldAt(NowNs());
  const int64_t hold = NowNs() + 50'000'000;  // 50 ms of clock: 50 us of real time
  HoldAt(hold);
  auto until = [](auto done) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    return done();
  };
  ASSERT_TRUE(until([&] { return NowNs() == hold; }));
  // 20 ms of real time would be 20 s of clock unheld.
  const auto real_end = std::chrono::steady_clock::now() + 20ms;
  while (std::chrono::steady_clock::now() < real_end) ASSERT_EQ(NowNs(), hold);
  HoldAt(hold - 1'000'000'000);  // below the time reached: held where it stands
  EXPECT_EQ(NowNs(), hold);
  const auto moved = std::chrono::steady_clock::now();
  HoldAt(hold + 1'000'000'000'000);
  int64_t after = hold;
  ASSERT_TRUE(until([&] { return (after = NowNs()) > hold; }));
  const auto real_spent = std::chrono::steady_clock::now() - moved;
  EXPECT_LE(after - hold, std::chrono::duration_cast<Duration>(real_spent).count() * 1000)
      << "the clock ran on from the hold";
  ReleaseHold();
  const int64_t released = NowNs();
  ASSERT_TRUE(until([&] { return NowNs() > released; }));
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
