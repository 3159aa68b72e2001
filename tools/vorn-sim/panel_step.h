// vorn-sim --panel: an application on the panel library. The station driver is loaded and
// bound to a simulated panel adapter; the application starts the library, takes the handle
// it opened, sets a brightness, a rotation and the night light through the library's exports,
// and vorn-sim reports each result and what the chip received.
#pragma once

#include <cstdint>

namespace vorn::sim {

struct PanelStepOptions {
  uint32_t brightness = 70;  // 0-100
  uint32_t rotation = 2;     // the library's rotation state, 1-4
  uint32_t night_level = 8;  // the night light's level, on view 0
  bool quiet = false;
};

// 0 when every operation succeeded and the chip holds what was set, 1 otherwise.
int RunPanelStep(const PanelStepOptions& options);

}  // namespace vorn::sim
