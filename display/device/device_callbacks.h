// The device callbacks the plug-in hands the host: Start, Close and PowerEvent.
#pragma once

#include "display/device/device.h"

namespace vorn::display {

NTSTATUS Start(SorvikDevice* device);
NTSTATUS Close(SorvikDevice* device);
NTSTATUS PowerEvent(SorvikDevice* device, ULONG type);

// Frees a device record and its heap (after DeviceCleanup).
void FreeDevice(SorvikDevice* device);

}  // namespace vorn::display
