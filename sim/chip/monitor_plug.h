// Monitors that come and go while the adapter runs. Plugging a monitor into a view gives the
// view that monitor's EDID and a connected status, unplugging it takes both away, and either
// change is announced with a monitor-status packet on the interrupt endpoint, as the chip's
// firmware does when a connector changes. A bouncing connector (a monitor that flaps) answers
// a given series of readings to the next status requests of its view before its steady state
// answers again; the series is driven by the requests, not by time, so a test knows exactly
// which reading each request gets.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace vorn::chip {

class Chip;

// The scripted readings of each view's monitor-status request. Thread-safe.
class MonitorFlaps {
 public:
  // The next status requests of |view| (0 or 1) answer |readings| in order (non-zero:
  // connected), after any readings still queued.
  void Queue(int view, const std::vector<uint8_t>& readings);
  // Takes the reading for a status request of |view|: true with |*reading| set while scripted
  // readings are left, false when the monitor's steady state answers.
  bool Next(int view, uint8_t* reading);
  // Scripted readings of |view| not yet asked for.
  size_t Left(int view) const;
  // Status requests of |view| answered so far, scripted or not.
  uint32_t Requests(int view) const;
  // Counts a request the steady state answered.
  void CountSteady(int view);

 private:
  mutable std::mutex lock_;
  std::array<std::deque<uint8_t>, 2> readings_;
  std::array<uint32_t, 2> requests_{};
};

// A monitor with |edid| comes to |view|: connected with that EDID from now on, announced.
void PlugMonitor(Chip& chip, int view, std::vector<uint8_t> edid);
// The monitor of |view| goes: disconnected (its EDID requests stall), announced.
void UnplugMonitor(Chip& chip, int view);
// The connector of |view| bounces: the view's steady state becomes |connected| (with |edid|
// when connected and |edid| is not empty), the next status requests answer |readings| first,
// and the change is announced once, as a bouncing connector raises one announcement before
// the firmware sees it settle.
void FlapMonitor(Chip& chip, int view, const std::vector<uint8_t>& readings, bool connected,
                 std::vector<uint8_t> edid = {});

}  // namespace vorn::chip
