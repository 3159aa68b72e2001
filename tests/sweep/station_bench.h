// A machine for one sweep run: the station driver loaded on a fresh kernel registry and bound
// to the chip's id, one chip model on a USB bus, and the waits and registry reads a scenario
// needs to tell how far the station got. Taking the bench apart removes the adapter (if the
// fault left it on the bus), unbinds and unloads the driver.
#pragma once

#include <functional>
#include <memory>

#include "platform/kernel/pnp.h"
#include "platform/nt/clock.h"
#include "platform/usb/bus/usb_bus.h"
#include "sim/chip/chip.h"
#include "station/station_extension.h"
#include "tests/sweep/sweep.h"

namespace vorn::sweep {

inline constexpr char16_t kStationHardwareId[] = u"USB\\VID_3A5C&PID_0101";
inline constexpr ULONG kFirstStation = 0x80;

class StationBench {
 public:
  // |parameters| sets the driver's Parameters values before it loads; the driver is bound to
  // |hardware_id|, the id of the profile's vendor and product.
  StationBench(Run& run, chip::ChipProfile profile, const std::function<void()>& parameters = {},
               const char16_t* hardware_id = kStationHardwareId);
  ~StationBench();
  StationBench(const StationBench&) = delete;
  StationBench& operator=(const StationBench&) = delete;

  // A Parameters value, as an installer leaves it.
  static void SetParameter(WStringView name, ULONG type, const void* data, size_t size);

  bool loaded() const { return driver_ != nullptr; }
  // Attaches the chip; true when the bus made its PDO.
  bool Attach();
  // Waits until the station has settled: serving, its worker ended, its start undone, its
  // node gone or failed. A transfer the chip never answers and the driver waits for without
  // a time-out of its own stops the wait after 20 s of clock time. False when it did not.
  bool Settle();
  // The worker serves its control interface.
  bool Serving() const;
  ULONG HalState() const { return Dword(u"HalState"); }
  ULONG HalError() const { return Dword(u"HalError"); }
  ULONG ThdState() const { return Dword(u"ThdState"); }
  // A per-station DWORD of the first station; 0xDEADBEEF when missing.
  static ULONG Dword(WStringView name);

  kernel::pnp::DevNode* node() const;
  // The started station's extension, or null.
  station::StationExtension* station() const;
  chip::Chip& chip() { return chip_; }
  usb::UsbBus& bus() { return *bus_; }
  Run& run() { return run_; }

  // An orderly stop, restart and removal through the PnP manager.
  NTSTATUS Stop();
  NTSTATUS Remove();

 private:
  Run& run_;
  clock::ScopedSpeed speed_{100};
  DRIVER_OBJECT* driver_ = nullptr;
  chip::Chip chip_;
  std::unique_ptr<usb::UsbBus> bus_;
  DEVICE_OBJECT* pdo_ = nullptr;
};

}  // namespace vorn::sweep
