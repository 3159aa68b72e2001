// Gamma: whether the host may be offered SetGamma, and the reset of each view's gamma at
// bring-up.
#pragma once

#include "display/device.h"

namespace vorn::display {

constexpr uint32_t kGammaMinCmdVersion = 8;

// The host's interface version offers gamma when its major number is at least 1 and its minor
// number at least 5, each compared by itself, so a host of version 2.0 gets none; the device
// needs command-set version 8 or later.
bool GammaOffered(const SorvikDevice* device);

// Turns the view's gamma off on the device and marks the copy so the host's next ramp is sent.
NTSTATUS ResetGamma(ViewContext* view);

}  // namespace vorn::display
