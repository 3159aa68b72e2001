// The station road of a simulated adapter: the station driver loaded on the kernel stand-in
// and bound to the chip model on a USB bus, its display child created (function 0 of the
// chip is a display function), and an upper driver bound to that child by its hardware id
// that hands over the child's USB device. A display host opens its plug-in on that device,
// and every request, frame and interrupt read of the plug-in then travels through the
// station to the chip. Kept apart from the display host's headers: the kernel's
// declarations and the user-mode services' do not mix in one file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/usb/usb_device.h"
#include "sim/chip/chip.h"

namespace vorn::sim {

// The display child's hardware id and the function the chip reports for it.
inline constexpr uint16_t kDisplayChildVendor = 0x1D5C;
inline constexpr uint16_t kDisplayChildProduct = 0x2000;

class StationRoad {
 public:
  // One road per process at a time: the kernel stand-in's registry, PnP manager and pool are
  // the process's.
  StationRoad();
  // Removes the station if it is still there (Remove).
  ~StationRoad();
  StationRoad(const StationRoad&) = delete;
  StationRoad& operator=(const StationRoad&) = delete;

  // Readies |chip| for the station (slices reassembled per channel, function 0 a display),
  // loads the station driver with child devices enabled, attaches the chip and waits (30 s of
  // real time at most) until the display child's USB device has been handed over. False with
  // |error| when a step fails; Remove still undoes what was done.
  bool Start(chip::Chip& chip, std::string* error);
  // The display child's USB device, null before Start succeeded and after the child went.
  usb::UsbDevice* Device() const;
  // Called on the PnP manager's thread when the child is about to go: the host must be done
  // with the device (its adapter closed and dropped) when this returns.
  void OnLeaving(std::function<void()> leaving);

  // Removes the station and its child the orderly way, waits for the PnP manager and the
  // work queue to be idle and unloads both drivers. True when nothing was left behind: no
  // pool block of any tag and no IRP inside a driver (Leftovers says what was).
  bool Remove();
  std::vector<std::string> Leftovers() const;
  // What went wrong on the way: kernel rules broken, and the chip's protocol violations.
  std::vector<std::string> Problems() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace vorn::sim
