// The adapter's frame memory: its size, the view area with one region of three frame slots
// per view, and the rectangle ring at the top for compressed payloads. The slots and the ring
// allocation belong to the send thread; the acknowledgement ring (frame_ack.h) is shared with
// the interrupt reader under its lock.
#pragma once

#include "display/device/device.h"

namespace vorn::display {

constexpr uint32_t kMinFrameMemoryMiB = 20;
// Views at least this wide get the wide layout.
constexpr uint32_t kWideViewWidth = 2560;
// The fixed split of the wide layout: region 0 ends, region 1 starts.
constexpr uint32_t kWideRegion0End = 0x2500000;
constexpr uint32_t kWideRegion1Start = 0x2500400;
constexpr uint32_t kIpFrameMemorySize = 100u << 20;
constexpr uint8_t kSlotTagFull = 0;
constexpr uint8_t kSlotTagRect = 1;

// Sizes device memory (refusing less than 20 MiB) and lays out the view area and the ring;
// creates the acknowledgement ring's lock.
NTSTATUS LayoutDeviceMemory(SorvikDevice* device);
// The fixed layout of a device in IpMode: 100 MiB, the view area below 48 MiB shared by
// region 0 alone, the ring above it.
NTSTATUS LayoutDeviceMemoryIp(SorvikDevice* device);
// At the host's Start: divides the view area between the present views and acquires each
// from the host.
NTSTATUS LayoutViews(SorvikDevice* device, DeviceMemory* memory);
// The layout for a view of kWideViewWidth pixels or more: the ring moves up to 8 MiB and the
// regions split at a fixed address. On memory too small for that split (below 45 MiB) the view
// area is halved instead, so no region reaches into the ring.
NTSTATUS LayoutWideViews(SorvikDevice* device, DeviceMemory* memory);
// Cuts the region into three slots, all free. An inverted region is taken as empty.
void InitRegion(MemRegion* region);
// Bytes from slot |slot| of |region| to the next slot (to the region's end for the last).
uint32_t SlotCapacity(const MemRegion* region, uint32_t slot);

// The first free slot of the view, starting with the slot used last; STATUS_UNSUCCESSFUL when
// all three are busy.
NTSTATUS PickFreeSlot(DeviceMemory* memory, uint32_t view, uint32_t* address, uint32_t* slot);
// Frees the slot busy with |tag| and makes |slot| the busy one of that tag and the last used.
void MarkSlotBusy(DeviceMemory* memory, uint32_t view, uint32_t slot, uint8_t tag);

// Finds ring space for |length| bytes (descriptor and payload); does not move the ring.
// STATUS_UNSUCCESSFUL when it cannot fit, STATUS_INSUFFICIENT_RESOURCES when it would overwrite
// an unacknowledged payload or nine are unacknowledged; |*address| is 0 on failure.
NTSTATUS AllocRingSpace(DeviceMemory* memory, uint32_t length, uint32_t* address);
// After the payload went out: moves the ring past it and records it as in flight (unless the
// device runs in IpMode or without acknowledgement tracking).
void RecordInFlight(DeviceMemory* memory, uint32_t address, uint32_t length, uint32_t sequence);

}  // namespace vorn::display
