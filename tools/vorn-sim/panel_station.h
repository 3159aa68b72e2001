// The kernel side of vorn-sim --panel: the station driver loaded on the kernel stand-in and
// bound to one simulated panel adapter (a chip model on a USB bus). Kept apart from the
// user-mode services' headers, which do not mix with the kernel's.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/chip/chip.h"

namespace vorn::sim {

class PanelStation {
 public:
  PanelStation();
  // Detaches the adapter and unloads the driver.
  ~PanelStation();
  PanelStation(const PanelStation&) = delete;
  PanelStation& operator=(const PanelStation&) = delete;

  // Loads the driver and attaches the adapter; true once its station has enabled its
  // control interface (bounded by 30 s of real time). |error| says what went wrong.
  bool Start(std::string* error);
  chip::Chip& Adapter();
  // What went wrong on the way: kernel violations, chip protocol violations.
  std::vector<std::string> Problems() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace vorn::sim
