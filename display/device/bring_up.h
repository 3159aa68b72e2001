// Device bring-up: the USB target, its pipes and the product string (OpenDevice), then the
// settings, device values, capability block, views and device memory (InitDevice).
#pragma once

#include "display/device/device.h"

namespace vorn::display {

NTSTATUS OpenDevice(SorvikDevice* device);
NTSTATUS InitDevice(SorvikDevice* device);
void PublishProductString(SorvikDevice* device);

// Registry settings over the defaults, then the capability block over both.
void ReadRegistrySettings(SorvikDevice* device);
NTSTATUS ReadCapabilities(SorvikDevice* device);

NTSTATUS CreateViewContext(SorvikDevice* device, ViewContext* view, uint16_t index,
                           uint32_t slot_count, uint32_t slot_base);
NTSTATUS DestroyViewContext(ViewContext* view);

// Undoes whatever bring-up created, in reverse: reader, threads, views, events, the USB target
// with its children. Safe on a partly opened device and after a stop.
void DeviceCleanup(SorvikDevice* device);

}  // namespace vorn::display
