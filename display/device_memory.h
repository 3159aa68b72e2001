// The adapter's frame memory: its size, the view area with one region of three frame slots
// per view, and the rectangle ring at the top for compressed payloads.
#pragma once

#include "display/device.h"

namespace vorn::display {

constexpr uint32_t kMinFrameMemoryMiB = 20;

// Sizes device memory (refusing less than 20 MiB) and lays out the view area and the ring;
// creates the acknowledgement ring's lock.
NTSTATUS LayoutDeviceMemory(SorvikDevice* device);
// At the host's Start: divides the view area between the present views and acquires each
// from the host.
NTSTATUS LayoutViews(SorvikDevice* device, DeviceMemory* memory);
void InitRegion(MemRegion* region);

}  // namespace vorn::display
