// The display host's side of the station road, kept apart from the station's side: the host
// runs the plug-in on the WDF stand-in, whose USB declarations are its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/usb/usb_device.h"
#include "sim/chip/chip.h"

namespace vorn::sim {

// The chip of the road: one monitor, 24-bit RGB, USB 3.
chip::ChipProfile RoadProfile();

class RoadDisplay {
 public:
  // Loads the plug-in (once per process) and readies one 800 x 600 RGB monitor on |chip|.
  static std::unique_ptr<RoadDisplay> Make(chip::Chip& chip, std::string* error);
  virtual ~RoadDisplay() = default;

  // The host opens the plug-in on |device| (the display child's USB device), starts it and
  // sets the monitor's mode; false with |error| when a step fails.
  virtual bool Bind(usb::UsbDevice* device, std::string* error) = 0;
  // Presents |steps| steps of the desktop; false when a Present failed.
  virtual bool Present(int steps) = 0;
  // The monitor shows the desktop exactly and every frame message was acknowledged.
  virtual bool CaughtUp() const = 0;
  // Successful transfers the plug-in saw end on the interrupt (0x83) and bulk-OUT (0x02) pipes.
  virtual uint64_t InterruptPackets() const = 0;
  virtual uint64_t BulkOutTransfers() const = 0;
  // The NTSTATUS the child ended the last interrupt read with.
  virtual int32_t LastInterruptStatus() const = 0;
  // Transfers of the plug-in on 0x02 and 0x83 handed to the child and ended, since the last
  // Bind; and the NTSTATUS of each bulk-OUT transfer that failed, oldest first.
  virtual std::pair<uint64_t, uint64_t> TransfersSubmittedAndEnded() const = 0;
  virtual std::vector<int32_t> FailedOutStatuses() const = 0;
  // Closes the adapter (its status) and drops it; Drop alone drops it, closing it if open.
  virtual int32_t Close() = 0;
  virtual void Drop() = 0;
  virtual bool Bound() const = 0;
};

}  // namespace vorn::sim
