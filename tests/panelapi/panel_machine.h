// A machine for the panel library's tests: the station driver loaded on the kernel stand-in,
// bound to the panel adapters' ids, and adapters (chip models) that come and go on a USB bus.
// Kept apart from the user-mode services' headers, which do not mix with the kernel's: a
// test of the application side includes this and the library's headers only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/nt/types.h"
#include "sim/chip/chip.h"

namespace vorn::panelapi::testing {

inline constexpr uint16_t kPanelVendor = 0x3A7C;
inline constexpr uint16_t kPanelProduct = 0x0A5E;
inline constexpr uint16_t kPanelProductWide = 0x0C41;

class PanelMachine {
 public:
  // Loads the driver; the clock runs 100 times faster than real time while it exists.
  PanelMachine();
  // Detaches every adapter still present and unloads the driver.
  ~PanelMachine();
  PanelMachine(const PanelMachine&) = delete;
  PanelMachine& operator=(const PanelMachine&) = delete;

  // Attaches a new adapter with |product| (and |vendor|) and waits until its station has
  // started and enabled its control interface (an adapter of another vendor has no station
  // bound and only appears on the bus). Returns its number.
  int Attach(uint16_t product = kPanelProduct, std::u16string instance = u"",
             uint16_t vendor = kPanelVendor);
  chip::Chip& Adapter(int n);
  // The adapter's main control interface as an application names it ("\\?\USB#..."), or
  // empty when none is enabled.
  std::u16string InterfacePath(int n) const;
  // The adapter leaves the bus (surprise removal).
  void Unplug(int n);
  // An orderly removal of the adapter's station (query-remove, then remove); its status.
  NTSTATUS Remove(int n);
  // Waits until the PnP manager is idle.
  void Settle();

  // What the machine found wrong so far: kernel violations, chip protocol violations.
  std::vector<std::string> Problems() const;
  // After every adapter is gone: pool blocks, IRPs and devices left behind.
  std::vector<std::string> Leftovers() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace vorn::panelapi::testing
