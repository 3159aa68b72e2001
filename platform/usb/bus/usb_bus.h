// The USB bus: a root hub device whose children are one physical device object per attached
// UsbDevice. The bus turns the URBs that the driver above a device sends (internal device
// control requests) into transfers on the device: descriptor reads, configuration selection
// with pipe handles, vendor and class requests, bulk and interrupt transfers. Transfers
// complete asynchronously at DISPATCH_LEVEL on the bus's completion thread, or inline from
// the device's completion when asked. A cancelled URB completes with STATUS_CANCELLED; a
// device that has left the bus fails every URB with STATUS_DEVICE_NOT_CONNECTED, and once its
// PDO is removed with STATUS_NO_SUCH_DEVICE.
//
// Chaos mode (seeded) adds random delays before a transfer reaches the device, completes some
// inline, shortens some bulk and interrupt transfers and cancels some, so stress tests walk
// every completion path in a repeatable order.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/kernel/pnp.h"
#include "platform/kernel/usb.h"
#include "platform/usb/usb_device.h"

namespace vorn::usb {

struct BusOptions {
  bool inline_completion = false;
  bool chaos = false;
  uint64_t chaos_seed = 1;
  int chaos_max_delay_us = 500;  // real time before a transfer reaches the device
  int chaos_inline_percent = 20;
  int chaos_short_percent = 10;   // bulk and interrupt only
  int chaos_cancel_percent = 5;   // bulk and interrupt only
};

struct AttachOptions {
  WString instance_id;  // empty: the port number
  bool remote_wakeup_capable = true;
  // Adjusts the capabilities the device reports (device states per system state, wake).
  std::function<void(DEVICE_CAPABILITIES&)> capabilities;
};

struct BusCounters {
  uint64_t urbs = 0;
  uint64_t cancelled = 0;
  uint64_t chaos_delays = 0, chaos_inline = 0, chaos_short = 0, chaos_cancels = 0;
};

class UsbBus {
 public:
  explicit UsbBus(BusOptions options = {});
  // Removes the root and everything on it.
  ~UsbBus();
  UsbBus(const UsbBus&) = delete;
  UsbBus& operator=(const UsbBus&) = delete;

  // Reads the device's descriptors, creates its PDO and reports it; the PnP manager then
  // identifies and starts it (pnp::WaitIdle() waits for that). Null when the descriptors
  // cannot be read.
  DEVICE_OBJECT* Attach(UsbDevice& device, AttachOptions options = {});
  // The device leaves the bus: it is no longer reported and the PnP manager surprise-removes
  // it. The caller disconnects the device model itself.
  void Detach(UsbDevice& device);
  // Completes the device's pending wait-wake request; false when none is pending.
  bool InjectWake(UsbDevice& device);
  bool WaitWakePending(UsbDevice& device);

  DEVICE_OBJECT* RootDevice() const;
  kernel::pnp::DevNode* RootNode() const;
  DRIVER_OBJECT* Driver() const;
  BusCounters Counters() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace vorn::usb
