#include "display/device/ip_mode.h"

#include <cstring>

#include "display/device/bring_up.h"
#include "display/device/trace.h"
#include "display/device/trace_messages.h"
#include "display/device/vendor_requests.h"
#include "display/frames/device_memory.h"
#include "display/modes/edid.h"
#include "display/modes/modes.h"
#include "display/views/present.h"
#include "display/views/view_buffers.h"
#include "jpeg/primitives/frame/cpu.h"
#include "platform/win32/synch.h"
#include "protocol/byte_order.h"

namespace vorn::display {
namespace {

constexpr uint32_t kCursorSlotBaseView1 = 5;
constexpr uint32_t kControlChunkBytes = 512;
// Room in the mode array beyond the record's own modes.
constexpr uint32_t kIpExtraModeEntries = 2;
// The totals a mode of the record is given: 115 % of its width, 105 % of its height.
constexpr uint32_t kHorizontalTotalPercent = 115;
constexpr uint32_t kVerticalTotalPercent = 105;

void Trace(uint8_t level, uint16_t number, std::initializer_list<uint32_t> args = {}) {
  TracePoint(kTraceBringUp, level, kTraceUnitBringUp, number, args);
}

HANDLE AutoResetEvent() { return CreateEventW(nullptr, FALSE, FALSE, nullptr); }

// [offset, offset + size) lies behind the head and within 32 bits.
bool RangeUsable(uint32_t offset, uint32_t size) {
  if (size == 0) return true;
  return offset >= kIpDisplayInfoHeadSize && uint64_t{offset} + size <= 0xFFFFFFFFu;
}

bool Overlap(uint32_t a, uint32_t a_size, uint32_t b, uint32_t b_size) {
  if (a_size == 0 || b_size == 0) return false;
  return uint64_t{a} < uint64_t{b} + b_size && uint64_t{b} < uint64_t{a} + a_size;
}

// A mode the view can show: non-zero, and one frame of it fits the device's view area.
bool ModeUsable(uint32_t width, uint32_t height, uint32_t refresh, uint32_t view_area) {
  if (!width || !height || !refresh) return false;
  return uint64_t{(width + 31) / 32} * 128 * height <= view_area;
}

}  // namespace

NTSTATUS CheckIpDisplayInfoHead(const uint8_t* bytes, uint32_t length, IpDisplayInfoHead* head,
                                uint32_t* total) {
  if (!bytes || length < kIpDisplayInfoHeadSize) return STATUS_DATA_ERROR;
  IpDisplayInfoHead h;
  h.EdidOffset = protocol::LoadLe32(bytes + 0);
  h.EdidSize = protocol::LoadLe32(bytes + 4);
  h.ModeOffset = protocol::LoadLe32(bytes + 8);
  h.ModeSize = protocol::LoadLe32(bytes + 12);
  if (h.ModeSize == 0) return STATUS_INSUFFICIENT_RESOURCES;
  if (!RangeUsable(h.EdidOffset, h.EdidSize) || !RangeUsable(h.ModeOffset, h.ModeSize) ||
      Overlap(h.EdidOffset, h.EdidSize, h.ModeOffset, h.ModeSize))
    return STATUS_DATA_ERROR;
  // The range that starts later ends later, as the two do not overlap; an empty EDID has no
  // extent of its own.
  const uint64_t edid_end = uint64_t{h.EdidOffset} + h.EdidSize;
  const uint64_t mode_end = uint64_t{h.ModeOffset} + h.ModeSize;
  const uint64_t whole = h.EdidSize && h.ModeOffset < h.EdidOffset ? edid_end : mode_end;
  if (whole > kIpDisplayInfoMaxSize) return STATUS_DATA_ERROR;
  if (head) *head = h;
  if (total) *total = static_cast<uint32_t>(whole);
  return STATUS_SUCCESS;
}

void InitIpModeEntry(ModeEntry* entries, uint32_t index, uint32_t width, uint32_t height,
                     uint32_t refresh, uint32_t source) {
  ModeEntry& e = entries[index];
  e = ModeEntry{};
  e.Source = source;
  e.Width = static_cast<uint16_t>(width);
  e.Height = static_cast<uint16_t>(height);
  e.BitsPerPixel = kModeBitsPerPixel;
  e.Refresh = static_cast<uint16_t>(refresh);
  e.Offered = 1;
  e.Valid = 1;
  e.HorizontalTotal = width * kHorizontalTotalPercent / 100;
  e.VerticalTotal = height * kVerticalTotalPercent / 100;
  e.PixelRateHz = uint64_t{e.HorizontalTotal} * e.VerticalTotal * refresh;
}

NTSTATUS ParseIpDisplayInfo(ViewContext* view, const uint8_t* record, uint32_t length) {
  IpDisplayInfoHead h;
  uint32_t total = 0;
  NTSTATUS status = CheckIpDisplayInfoHead(record, length, &h, &total);
  if (!NT_SUCCESS(status)) return status;
  if (total > length) return STATUS_DATA_ERROR;
  SorvikDevice* device = view->Owner;
  ViewModes& m = view->Modes;
  LockModes(view);

  // The EDID goes to the host as it came; it is not processed in this mode.
  if (h.EdidSize > view->EdidCapacity) {
    auto* grown = static_cast<uint8_t*>(HeapZalloc(device, h.EdidSize));
    if (grown) {
      HeapRelease(device, view->EdidBuffer);
      view->EdidBuffer = grown;
      view->EdidCapacity = h.EdidSize;
    }
  }
  if (h.EdidSize <= view->EdidCapacity && view->EdidBuffer) {
    if (h.EdidSize) std::memcpy(view->EdidBuffer, record + h.EdidOffset, h.EdidSize);
    view->EdidSize = h.EdidSize;
  } else {
    view->EdidSize = 0;
    status = STATUS_UNSUCCESSFUL;
  }
  ResetTimingLimits(view);

  const uint32_t n = h.ModeSize / kIpModeEntrySize;
  const uint32_t capacity = n + kIpExtraModeEntries;
  auto* entries = static_cast<ModeEntry*>(HeapZalloc(device, capacity * sizeof(ModeEntry)));
  if (!entries) {
    UnlockModes(view);
    return STATUS_UNSUCCESSFUL;
  }
  const uint32_t view_area = device->Memory.ViewEnd - device->Memory.ViewStart;
  uint32_t count = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t* mode = record + h.ModeOffset + i * kIpModeEntrySize;
    const uint32_t w = protocol::LoadLe16(mode + 0);
    const uint32_t ht = protocol::LoadLe16(mode + 2);
    const uint32_t r = protocol::LoadLe16(mode + 6);
    if (!ModeUsable(w, ht, r, view_area)) continue;
    ModeEntry* same = nullptr;
    for (uint32_t j = 0; j < count && !same; ++j)
      if (entries[j].Width == w && entries[j].Height == ht && entries[j].Refresh == r)
        same = &entries[j];
    if (same) {
      same->Offered = 1;
      same->Valid = 1;
      same->Source = i;
      continue;
    }
    InitIpModeEntry(entries, count++, w, ht, r, i);
  }
  HeapRelease(device, m.Modes);
  m.Modes = entries;
  m.ModeCount = count;
  m.ModeCapacity = capacity;
  SortModes(m.Modes, m.ModeCount);
  m.OfferedCount = CountOfferedModes(view);
  ComputeModeLimits(view);
  m.TableMaxWidth = static_cast<uint16_t>(m.ModeMaxWidth);
  m.TableMaxHeight = static_cast<uint16_t>(m.ModeMaxHeight);
  UnlockModes(view);
  return status;
}

NTSTATUS ReadIpDisplayInfo(SorvikDevice* device) {
  uint8_t first[kIpDisplayInfoHeadSize] = {};
  ULONG moved = 0;
  NTSTATUS status = ReadIpDisplayInfoBytes(device, first, sizeof first, &moved);
  if (!NT_SUCCESS(status)) return status;
  uint32_t total = 0;
  status = CheckIpDisplayInfoHead(first, moved, nullptr, &total);
  if (!NT_SUCCESS(status)) return status;

  auto* record = static_cast<uint8_t*>(HeapZalloc(device, total));
  if (!record) return STATUS_INSUFFICIENT_RESOURCES;
  moved = 0;
  status = ReadIpDisplayInfoBytes(device, record, total, &moved);
  // The whole must be the record the head described: as long, and with the same head, so no
  // range of it points elsewhere than the checks saw.
  if (NT_SUCCESS(status) &&
      (moved != total || std::memcmp(record, first, kIpDisplayInfoHeadSize) != 0))
    status = STATUS_DATA_ERROR;
  if (NT_SUCCESS(status)) {
    ViewContext* view = &device->Views[0];
    status = ParseIpDisplayInfo(view, record, total);
    if (NT_SUCCESS(status)) {
      view->Modes.BufferFrameBytes = 0;
      if (!NT_SUCCESS(AllocFrameBuffers(view)) || !NT_SUCCESS(AllocSystemFrame(view))) {
        FreeFrameBuffers(view);
        FreeSystemFrame(view);
        status = STATUS_UNSUCCESSFUL;
      } else {
        view->Modes.BufferFrameBytes = view->Modes.ModeMaxFrameBytes;
      }
    }
  }
  HeapRelease(device, record);
  return status;
}

NTSTATUS InitDeviceIpMode(SorvikDevice* device) {
  jpeg::prim::InitPrimitives();
  // Fixed settings: no registry, no device values, no capability block.
  device->HwPlatform = 0;
  device->VendorCmdVersion = kIpVendorCmdVersion;
  device->FrameMemorySize = kIpFrameMemorySize;
  device->JpegQuality = kIpJpegQuality;
  device->JpegSampling = kIpJpegSampling;
  device->FlipMode = kIpFlipMode;
  device->CursorSlotTotal = kIpCursorSlots;
  device->ControlChunkSize = kControlChunkBytes;
  device->FormatMode = 0;
  device->DetectMonitor = 0;
  device->MaxPixels = 0;
  device->BandwidthLimit = 0;
  Trace(kTraceInfo, kMsgSettings,
        {device->JpegQuality, device->FlipMode, device->FormatMode, device->DetectMonitor});

  NTSTATUS status = CreateWaitLock(device, &device->DeviceLock);
  if (!NT_SUCCESS(status)) {
    TracePoint(kTraceHost, kTraceError, kTraceUnitBringUp, kMsgCreateFailed,
               {kCreateDeviceLock, static_cast<uint32_t>(status)});
    return status;
  }
  status = LayoutDeviceMemoryIp(device);
  if (!NT_SUCCESS(status)) return status;

  // A view the plug-in could not set up would be used half built later: its failure ends the
  // bring-up as it does in the normal one.
  for (uint16_t i = 0; i < kViewCountMax; ++i) {
    status = CreateViewContext(device, &device->Views[i], i, kIpCursorSlots,
                               i == 0 ? 0 : kCursorSlotBaseView1);
    if (!NT_SUCCESS(status)) {
      TracePoint(kTraceHost, kTraceError, kTraceUnitBringUp, kMsgCreateFailed,
                 {kCreateViewContext, static_cast<uint32_t>(status)});
      return status;
    }
  }
  ViewContext& view0 = device->Views[0];
  view0.Present = 1;
  view0.DetectEnabled = 0;
  device->Views[1].Present = 0;

  uint8_t info[kIpDeviceInfoSize] = {};
  ReadIpDeviceInfo(device, info);  // the answer is not used

  status = ReadIpDisplayInfo(device);
  Trace(NT_SUCCESS(status) ? kTraceInfo : kTraceError, kMsgIpDisplayInfo,
        {view0.EdidSize, view0.Modes.ModeCount, static_cast<uint32_t>(status)});
  // A record that is there but does not hold together refuses the adapter; without a record
  // the view simply has no modes to offer.
  if (status == STATUS_DATA_ERROR) return status;

  device->SendThread.StopEvent = AutoResetEvent();
  device->MonitorStatusEvent = AutoResetEvent();
  device->HotplugThread.StopEvent = AutoResetEvent();
  if (!device->SendThread.StopEvent || !device->MonitorStatusEvent ||
      !device->HotplugThread.StopEvent) {
    TracePoint(kTraceHost, kTraceError, kTraceUnitBringUp, kMsgCreateFailed,
               {kCreateEvent, static_cast<uint32_t>(STATUS_UNSUCCESSFUL)});
    return STATUS_UNSUCCESSFUL;
  }
  device->ViewCount = 1;
  return STATUS_SUCCESS;
}

}  // namespace vorn::display
