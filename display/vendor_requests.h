// Vendor control requests to the chip: the two transfer primitives, the device lock that
// serialises every request of an adapter, and the request wrappers of device bring-up.
#pragma once

#include <cstdint>

#include "display/device.h"

namespace vorn::display {

constexpr uint32_t kVendorTimeoutMs = 2000;
constexpr uint32_t kDeviceLockTimeoutMs = 5000;

NTSTATUS VendorRequestIn(SorvikDevice* device, WDFUSBDEVICE target, uint8_t code, uint16_t value,
                         uint16_t index, void* buffer, uint32_t length, ULONG* transferred);
NTSTATUS VendorRequestOut(SorvikDevice* device, WDFUSBDEVICE target, uint8_t code,
                          uint16_t value, uint16_t index, const void* buffer, uint32_t length);

// The lock is held only when this returns STATUS_SUCCESS.
NTSTATUS AcquireDeviceLock(SorvikDevice* device);
void ReleaseDeviceLock(SorvikDevice* device);

NTSTATUS ReadDeviceValue(SorvikDevice* device, uint16_t item, void* buffer, uint16_t length);
NTSTATUS ReadCapabilityBlock(SorvikDevice* device, void* buffer, uint16_t index, uint16_t length);
NTSTATUS QueryMemorySize(SorvikDevice* device, uint8_t* mib);
NTSTATUS QueryMonitorStatus(SorvikDevice* device, uint16_t view, uint8_t* connected);
NTSTATUS ResetBulkStream(SorvikDevice* device);
NTSTATUS StartDisplay(SorvikDevice* device);
NTSTATUS SendGammaControl(SorvikDevice* device, uint16_t view, uint8_t mode);

}  // namespace vorn::display
