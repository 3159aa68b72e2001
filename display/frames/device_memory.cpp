#include "display/frames/device_memory.h"

#include <cstring>

#include "display/frames/frame_ack.h"
#include "display/frames/frame_packet.h"
#include "display/views/host_display.h"
#include "display/modes/modes.h"
#include "display/device/trace.h"
#include "display/device/trace_messages.h"
#include "display/device/vendor_requests.h"

namespace vorn::display {
namespace {

constexpr uint32_t kMiB = 1u << 20;
constexpr uint32_t kRingSize = 10 * kMiB;
constexpr uint32_t kWideRingSize = 8 * kMiB;
constexpr uint32_t kIpRingStart = 48 * kMiB;
constexpr uint32_t kRingTopGap = 2048;
constexpr uint32_t kViewGap = 1024;
constexpr uint8_t kFormatRgb24 = 2;
constexpr uint32_t kSlots = 3;

void SetRegion(MemRegion* region, uint32_t start, uint32_t end) {
  region->UnalignedStart = start;
  region->UnalignedEnd = end;
  region->Start = Align32(start);
  region->End = end;
}

NTSTATUS CreateAckLock(SorvikDevice* device) {
  const NTSTATUS status = CreateWaitLock(device, &device->AckRing.Lock);
  if (!NT_SUCCESS(status)) {
    TracePoint(kTraceHost, kTraceError, kTraceUnitBringUp, kMsgCreateFailed,
               {kCreateAckLock, static_cast<uint32_t>(status)});
    return STATUS_UNSUCCESSFUL;
  }
  return STATUS_SUCCESS;
}

void HalveViewArea(DeviceMemory* memory) {
  SetRegion(&memory->Regions[0], memory->ViewStart, memory->ViewEnd / 2 - kViewGap);
  SetRegion(&memory->Regions[1], memory->ViewEnd / 2, memory->ViewEnd);
  InitRegion(&memory->Regions[0]);
  InitRegion(&memory->Regions[1]);
}

NTSTATUS RingFailure(const DeviceMemory* memory, uint32_t length, uint32_t* address,
                     NTSTATUS status) {
  TracePoint(kTraceUsb, kTraceWarning, kTraceUnitTransfers, kMsgRingSpace,
             {length, memory->NextAlloc, memory->LastAllocStart, static_cast<uint32_t>(status)});
  *address = 0;
  return status;
}

}  // namespace

NTSTATUS LayoutDeviceMemory(SorvikDevice* device) {
  DeviceMemory& m = device->Memory;
  std::memset(&m, 0, sizeof m);
  std::memset(&device->AckRing, 0, sizeof device->AckRing);
  m.Owner = device;

  uint8_t mib = 0;
  NTSTATUS status = QueryMemorySize(device, &mib);
  if (!NT_SUCCESS(status) || mib < kMinFrameMemoryMiB) {
    TracePoint(kTraceHost, kTraceError, kTraceUnitBringUp, kMsgMemoryFailed,
               {mib, static_cast<uint32_t>(status)});
    return STATUS_UNSUCCESSFUL;
  }
  const uint32_t size = uint32_t{mib} << 20;
  device->FrameMemorySize = size;
  if (device->FormatMode == kFormatRgb24) {
    m.RingStart = m.RingEnd = size;
  } else {
    m.RingStart = size - kRingSize;
    m.RingEnd = size - kRingTopGap;
  }
  m.NextAlloc = m.RingStart;
  m.LastAllocStart = m.RingEnd;
  m.ViewStart = 0;
  m.ViewEnd = m.RingStart - kViewGap;
  TracePoint(kTraceBringUp, kTraceInfo, kTraceUnitBringUp, kMsgMemory,
             {size, m.ViewEnd, m.RingStart, m.RingEnd});

  return CreateAckLock(device);
}

NTSTATUS LayoutDeviceMemoryIp(SorvikDevice* device) {
  DeviceMemory& m = device->Memory;
  std::memset(&m, 0, sizeof m);
  std::memset(&device->AckRing, 0, sizeof device->AckRing);
  m.Owner = device;
  device->FrameMemorySize = kIpFrameMemorySize;
  m.RingStart = kIpRingStart;
  m.RingEnd = kIpFrameMemorySize - kRingTopGap;
  m.NextAlloc = m.RingStart;
  m.LastAllocStart = m.RingEnd;
  m.ViewStart = 0;
  m.ViewEnd = kIpRingStart - kViewGap;
  SetRegion(&m.Regions[0], m.ViewStart, m.ViewEnd);
  SetRegion(&m.Regions[1], 0, 0);
  InitRegion(&m.Regions[0]);
  InitRegion(&m.Regions[1]);
  return CreateAckLock(device);
}

void InitRegion(MemRegion* region) {
  if (region->End < region->Start) region->End = region->Start;
  const uint32_t third = (region->End - region->Start) / 3;
  region->Slots[0] = {region->Start, 0, 0};
  region->Slots[1] = {Align32(region->Start + third), 0, 0};
  region->Slots[2] = {Align32(region->Slots[1].Address + third), 0, 0};
  region->LastSlot = 0;
}

NTSTATUS LayoutViews(SorvikDevice* device, DeviceMemory* memory) {
  ViewContext* views = device->Views;
  NTSTATUS status = STATUS_SUCCESS;
  if (views[0].Present && views[1].Present) {
    for (ViewContext& v : device->Views) {
      status = RebuildModes(&v);
      if (!NT_SUCCESS(status)) return status;
    }
    if (views[0].Modes.ModeMaxWidth < kWideViewWidth &&
        views[1].Modes.ModeMaxWidth < kWideViewWidth) {
      HalveViewArea(memory);
      for (ViewContext& v : device->Views) QueryMonitorStatus(device, v.Index, &v.Connected);
    } else {
      LayoutWideViews(device, memory);
    }
    for (ViewContext& v : device->Views) {
      status = AcquireHostDisplay(&v);
      if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
  }
  if (!views[0].Present && !views[1].Present) return STATUS_UNSUCCESSFUL;
  for (MemRegion& r : memory->Regions) {
    SetRegion(&r, memory->ViewStart, memory->ViewEnd);
    InitRegion(&r);
  }
  for (ViewContext& v : device->Views) {
    if (!v.Present) continue;
    QueryMonitorStatus(device, v.Index, &v.Connected);
    status = RebuildModes(&v);
    if (!NT_SUCCESS(status)) return status;
    status = AcquireHostDisplay(&v);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS LayoutWideViews(SorvikDevice* device, DeviceMemory* memory) {
  if (device->FormatMode != kFormatRgb24) {
    memory->RingStart = device->FrameMemorySize - kWideRingSize;
    memory->RingEnd = device->FrameMemorySize - kRingTopGap;
    memory->ViewEnd = memory->RingStart - kViewGap;
    memory->NextAlloc = memory->RingStart;
    memory->LastAllocStart = memory->RingEnd;
  }
  // The fixed split needs the view area to reach past region 1's start; on less memory it
  // would put region 1 upside down and region 0 over the ring.
  if (kWideRegion0End > memory->ViewEnd || kWideRegion1Start >= memory->ViewEnd) {
    HalveViewArea(memory);
    return STATUS_SUCCESS;
  }
  SetRegion(&memory->Regions[0], memory->ViewStart, kWideRegion0End);
  SetRegion(&memory->Regions[1], kWideRegion1Start, memory->ViewEnd);
  InitRegion(&memory->Regions[0]);
  InitRegion(&memory->Regions[1]);
  return STATUS_SUCCESS;
}

uint32_t SlotCapacity(const MemRegion* region, uint32_t slot) {
  if (slot >= kSlots) return 0;
  const uint32_t start = region->Slots[slot].Address;
  const uint32_t end = slot + 1 < kSlots ? region->Slots[slot + 1].Address : region->End;
  return end > start ? end - start : 0;
}

NTSTATUS PickFreeSlot(DeviceMemory* memory, uint32_t view, uint32_t* address, uint32_t* slot) {
  if (view >= kViewCountMax) return STATUS_INVALID_PARAMETER;
  const MemRegion& r = memory->Regions[view];
  for (uint32_t i = 0; i < kSlots; ++i) {
    const uint32_t s = (r.LastSlot + i) % kSlots;
    if (!r.Slots[s].Busy) {
      *address = r.Slots[s].Address;
      *slot = s;
      return STATUS_SUCCESS;
    }
  }
  return STATUS_UNSUCCESSFUL;
}

void MarkSlotBusy(DeviceMemory* memory, uint32_t view, uint32_t slot, uint8_t tag) {
  if (view >= kViewCountMax || slot >= kSlots) return;
  MemRegion& r = memory->Regions[view];
  for (FrameSlot& s : r.Slots) {
    if (s.Busy && s.Tag == tag) {
      s.Busy = 0;
      break;
    }
  }
  r.Slots[slot].Busy = 1;
  r.Slots[slot].Tag = tag;
  r.LastSlot = static_cast<uint8_t>(slot);
}

NTSTATUS AllocRingSpace(DeviceMemory* memory, uint32_t length, uint32_t* address) {
  if (length == 0) return RingFailure(memory, length, address, STATUS_INVALID_PARAMETER);
  uint32_t candidate = memory->NextAlloc;
  if (uint64_t{memory->NextAlloc} + length > memory->RingEnd) {
    const uint64_t end = uint64_t{memory->RingStart} + length;
    if (end > memory->RingEnd || end > memory->LastAllocStart)
      return RingFailure(memory, length, address, STATUS_UNSUCCESSFUL);
    candidate = memory->RingStart;
  }
  SorvikDevice* device = memory->Owner;
  LockUntimed(device, device->AckRing.Lock);
  const bool overlaps = OverlapsInFlight(&device->AckRing, candidate, length);
  Unlock(device, device->AckRing.Lock);
  if (overlaps) return RingFailure(memory, length, address, STATUS_INSUFFICIENT_RESOURCES);
  *address = candidate;
  return STATUS_SUCCESS;
}

void RecordInFlight(DeviceMemory* memory, uint32_t address, uint32_t length, uint32_t sequence) {
  memory->LastAllocStart = address;
  memory->NextAlloc = Align32(address + length);
  SorvikDevice* device = memory->Owner;
  if (device->IpMode || device->NoAckTracking) return;
  // The device may acknowledge the message while its send is still completing, before it
  // is recorded here; the reader stores the sequence before it releases entries, so a payload
  // already acknowledged is not recorded (it would stay until a later acknowledgement).
  LockUntimed(device, device->AckRing.Lock);
  if (!SequenceAtOrBefore(sequence, device->LastAckedSequence.load()))
    AddInFlight(&device->AckRing, sequence, address, length);
  Unlock(device, device->AckRing.Lock);
}

}  // namespace vorn::display
