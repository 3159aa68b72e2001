// The chip's answers to vendor control requests: the values it reports (capability block,
// device values, memory size, timing tables, EDIDs, monitor status) come from its profile;
// the settings it accepts (output, timing, cursor, gamma, start display, bulk stream reset)
// are stored per view.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "platform/usb/usb_device.h"
#include "sim/chip/chip_profile.h"
#include "sim/chip/monitor_plug.h"
#include "sim/chip/view_settings.h"
#include "sim/chip/violation_log.h"

namespace vorn::chip {

class VendorResponder {
 public:
  VendorResponder(const ChipProfile& profile, ViolationLog& violations);

  // Answers one vendor request: fills |data| for IN requests (|actual| bytes), takes |data|
  // for OUT ones. kStall for codes the chip does not know or requests it cannot accept.
  usb::TransferStatus Handle(const usb::SetupPacket& setup, uint8_t* data, uint32_t length,
                             uint32_t* actual);

  ViewSettings View(int view) const;
  uint32_t StartDisplayCount() const;
  uint32_t ResetBulkStreamCount() const;

  void SetMonitor(int view, bool connected);
  void SetMonitorEdid(int view, std::vector<uint8_t> edid);
  bool MonitorConnected(int view) const;
  // Scripted monitor-status readings (a bouncing connector), before the steady state.
  MonitorFlaps& flaps() { return flaps_; }

 private:
  usb::TransferStatus HandleIn(const usb::SetupPacket& s, uint8_t* data, uint32_t length,
                               uint32_t* actual);
  usb::TransferStatus HandleOut(const usb::SetupPacket& s, const uint8_t* data, uint32_t length);
  usb::TransferStatus Refuse(const usb::SetupPacket& s, const char* why);
  static uint32_t Answer(uint8_t* data, uint32_t length, const uint8_t* from, size_t size);
  std::array<uint8_t, 112> CapabilityBytes() const;  // the 112-byte capability block

  mutable std::mutex lock_;
  ChipProfile profile_;
  ViolationLog& violations_;
  MonitorFlaps flaps_;
  std::array<ViewSettings, 2> views_;
  uint32_t start_display_ = 0;
  uint32_t reset_bulk_stream_ = 0;
};

}  // namespace vorn::chip
