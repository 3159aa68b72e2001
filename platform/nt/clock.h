// The one clock of the process. Every sleep, wait, time-out and performance-counter read of
// every stand-in goes through it, so a test can run time faster: at speed 1000 a 2 s
// time-out costs 2 ms. Time on this clock ("virtual" time) is real elapsed time multiplied
// by the speed factor.
//
// A wait or sleep of d virtual time lasts max(d / speed, min(d, 1 ms)) of real time: long
// time-outs shrink, but a 1 ms period stays a real 1 ms and never becomes a busy loop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vorn::clock {

using Duration = std::chrono::nanoseconds;
using RealTime = std::chrono::steady_clock::time_point;

// Monotonic virtual time since the process started, in nanoseconds.
int64_t NowNs();

// Speed factor; 1 is real time. Values below 1 are taken as 1.
void SetSpeed(double factor);
double Speed();

// Holds the clock back: virtual time does not pass |ns| until the hold is moved on or
// released, and then runs on from where it stood, so it neither jumps nor runs backwards (a
// hold below the time already reached holds the clock there). A driver of stand-ins that
// cannot promise to keep up with a fast clock moves the hold on as they catch up: the clock
// waits for them. Waits and time-outs still end by real time as the speed makes them.
void HoldAt(int64_t ns);
void ReleaseHold();

// The real time a wait of |d| virtual time lasts (rule above). Negative is zero.
Duration RealDuration(Duration d);
// The real deadline of a wait of |d| virtual time starting now.
RealTime RealDeadline(Duration d);

void SleepFor(Duration d);

// Waits on |cv| until |pred| holds or |timeout| of virtual time has passed; returns pred().
template <class CondVar, class Lock, class Pred>
bool WaitFor(CondVar& cv, Lock& lock, Duration timeout, Pred pred) {
  return cv.wait_until(lock, RealDeadline(timeout), pred);
}

// Waits until |pred| holds or the real deadline passes; returns pred().
template <class CondVar, class Lock, class Pred>
bool WaitUntil(CondVar& cv, Lock& lock, RealTime deadline, Pred pred) {
  return cv.wait_until(lock, deadline, pred);
}

// Performance counter of the platform: ticks of 100 ns of virtual time.
constexpr int64_t kPerformanceFrequency = 10'000'000;
int64_t PerformanceCounter();

// Sets the speed for the lifetime of the object and restores the previous one after.
class ScopedSpeed {
 public:
  explicit ScopedSpeed(double factor) : previous_(Speed()) { SetSpeed(factor); }
  ~ScopedSpeed() { SetSpeed(previous_); }
  ScopedSpeed(const ScopedSpeed&) = delete;
  ScopedSpeed& operator=(const ScopedSpeed&) = delete;

 private:
  double previous_;
};

}  // namespace vorn::clock
