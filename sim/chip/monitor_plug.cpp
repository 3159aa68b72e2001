#include "sim/chip/monitor_plug.h"

#include "sim/chip/chip.h"

namespace vorn::chip {

void MonitorFlaps::Queue(int view, const std::vector<uint8_t>& readings) {
  std::lock_guard<std::mutex> guard(lock_);
  auto& q = readings_[view & 1];
  q.insert(q.end(), readings.begin(), readings.end());
}

bool MonitorFlaps::Next(int view, uint8_t* reading) {
  std::lock_guard<std::mutex> guard(lock_);
  auto& q = readings_[view & 1];
  if (q.empty()) return false;
  *reading = q.front() ? 1 : 0;
  q.pop_front();
  ++requests_[view & 1];
  return true;
}

size_t MonitorFlaps::Left(int view) const {
  std::lock_guard<std::mutex> guard(lock_);
  return readings_[view & 1].size();
}

uint32_t MonitorFlaps::Requests(int view) const {
  std::lock_guard<std::mutex> guard(lock_);
  return requests_[view & 1];
}

void MonitorFlaps::CountSteady(int view) {
  std::lock_guard<std::mutex> guard(lock_);
  ++requests_[view & 1];
}

void PlugMonitor(Chip& chip, int view, std::vector<uint8_t> edid) {
  // The EDID is in place before the status reports the monitor, so no request sees the new
  // monitor with the old one's EDID.
  chip.SetMonitorEdid(view, std::move(edid));
  chip.RaiseMonitorChange(view, true);
}

void UnplugMonitor(Chip& chip, int view) { chip.RaiseMonitorChange(view, false); }

void FlapMonitor(Chip& chip, int view, const std::vector<uint8_t>& readings, bool connected,
                 std::vector<uint8_t> edid) {
  if (connected && !edid.empty()) chip.SetMonitorEdid(view, std::move(edid));
  chip.monitor_flaps().Queue(view, readings);
  chip.RaiseMonitorChange(view, connected);
}

}  // namespace vorn::chip
