// The interrupt reader: a WDF continuous reader of 64-byte packets on the adapter's interrupt
// pipe, configured once at the end of bring-up and started and stopped with the device.
#pragma once

#include "display/device.h"

namespace vorn::display {

// Without an interrupt pipe: 0, nothing configured.
NTSTATUS ConfigInterruptReader(SorvikDevice* device);
void StartInterruptReader(SorvikDevice* device);
void StopInterruptReader(SorvikDevice* device);

}  // namespace vorn::display
