#include "platform/nt/clock.h"

#include <algorithm>
#include <thread>

namespace vorn::clock {
namespace {

constexpr Duration kMinRealWait = std::chrono::milliseconds(1);

// Virtual time is piecewise linear in real time: each speed change starts a new piece at the
// virtual time reached so far, so time never runs backwards.
struct State {
  std::mutex lock;
  RealTime base_real = std::chrono::steady_clock::now();
  int64_t base_virtual_ns = 0;
  double speed = 1.0;
  int64_t hold_ns = INT64_MAX;  // virtual time does not pass this
};

State& GetState() {
  static State state;
  return state;
}

int64_t VirtualAt(const State& s, RealTime real) {
  auto real_ns = std::chrono::duration_cast<Duration>(real - s.base_real).count();
  return s.base_virtual_ns + static_cast<int64_t>(static_cast<double>(real_ns) * s.speed);
}

// Virtual time at |real|, held at the hold: a held clock starts a new piece where it stands,
// so that it runs on from there once the hold moves.
int64_t Advance(State& s, RealTime real) {
  const int64_t v = VirtualAt(s, real);
  if (v < s.hold_ns) return v;
  s.base_virtual_ns = s.hold_ns;
  s.base_real = real;
  return s.hold_ns;
}

}  // namespace

int64_t NowNs() {
  State& s = GetState();
  std::lock_guard<std::mutex> guard(s.lock);
  return Advance(s, std::chrono::steady_clock::now());
}

void SetSpeed(double factor) {
  State& s = GetState();
  std::lock_guard<std::mutex> guard(s.lock);
  RealTime now = std::chrono::steady_clock::now();
  s.base_virtual_ns = Advance(s, now);
  s.base_real = now;
  s.speed = factor < 1.0 ? 1.0 : factor;
}

void HoldAt(int64_t ns) {
  State& s = GetState();
  std::lock_guard<std::mutex> guard(s.lock);
  RealTime now = std::chrono::steady_clock::now();
  s.base_virtual_ns = Advance(s, now);
  s.base_real = now;
  s.hold_ns = std::max(ns, s.base_virtual_ns);
}

void ReleaseHold() { HoldAt(INT64_MAX); }

double Speed() {
  State& s = GetState();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.speed;
}

Duration RealDuration(Duration d) {
  if (d <= Duration::zero()) return Duration::zero();
  double speed = Speed();
  auto scaled = Duration(static_cast<int64_t>(static_cast<double>(d.count()) / speed));
  return std::max(scaled, std::min(d, kMinRealWait));
}

RealTime RealDeadline(Duration d) {
  return std::chrono::steady_clock::now() + RealDuration(d);
}

void SleepFor(Duration d) {
  Duration real = RealDuration(d);
  if (real > Duration::zero()) std::this_thread::sleep_for(real);
}

int64_t PerformanceCounter() { return NowNs() / 100; }

}  // namespace vorn::clock
