#include "display/device_memory.h"

#include <cstring>

#include "display/host_display.h"
#include "display/trace.h"
#include "display/trace_messages.h"
#include "display/vendor_requests.h"

namespace vorn::display {
namespace {

constexpr uint32_t kMiB = 1u << 20;
constexpr uint32_t kRingSize = 10 * kMiB;
constexpr uint32_t kRingTopGap = 2048;
constexpr uint32_t kViewGap = 1024;
constexpr uint8_t kFormatRgb24 = 2;

constexpr uint32_t Align32(uint32_t v) { return (v + 31) & ~31u; }

void SetRegion(MemRegion* region, uint32_t start, uint32_t end) {
  region->UnalignedStart = start;
  region->UnalignedEnd = end;
  region->Start = Align32(start);
  region->End = end;
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

  status = CreateWaitLock(device, &device->AckRing.Lock);
  if (!NT_SUCCESS(status)) {
    TracePoint(kTraceHost, kTraceError, kTraceUnitBringUp, kMsgCreateFailed,
               {kCreateAckLock, static_cast<uint32_t>(status)});
    return STATUS_UNSUCCESSFUL;
  }
  return STATUS_SUCCESS;
}

void InitRegion(MemRegion* region) {
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
    SetRegion(&memory->Regions[0], memory->ViewStart, memory->ViewEnd / 2 - kViewGap);
    SetRegion(&memory->Regions[1], memory->ViewEnd / 2, memory->ViewEnd);
    InitRegion(&memory->Regions[0]);
    InitRegion(&memory->Regions[1]);
    for (ViewContext& v : device->Views) QueryMonitorStatus(device, v.Index, &v.Connected);
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
    status = AcquireHostDisplay(&v);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

}  // namespace vorn::display
