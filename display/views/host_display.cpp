#include "display/views/host_display.h"

#include <algorithm>
#include <cstring>

#include "display/cursor/cursor.h"
#include "display/device/device_threads.h"
#include "display/modes/edid.h"
#include "display/views/gamma.h"
#include "display/modes/modes.h"
#include "display/views/present.h"
#include "display/device/trace.h"
#include "display/device/trace_messages.h"
#include "display/device/vendor_requests.h"

namespace vorn::display {
namespace {

constexpr uint8_t kDescriptorHdmi = 2;
constexpr uint8_t kDescriptorDp = 8;
constexpr uint8_t kDescriptorDvi = 4;

// View callbacks.
NTSTATUS GetModes(ViewContext* view, TargetMode** modes, ULONG* count) {
  LockModes(view);
  if (modes) *modes = view->Modes.Targets;
  if (count) *count = view->Modes.Targets ? view->Modes.TargetCount : 0;
  UnlockModes(view);
  return STATUS_SUCCESS;
}

NTSTATUS SetMode(ViewContext* view, const HostMode* mode) {
  if (!mode || !mode->Width || !mode->Height) {
    StopViewThreads(view);
    return STATUS_SUCCESS;
  }
  return SelectModeAndStart(view, mode->Width, mode->Height, mode->Refresh, mode->BitsPerPixel)
             ? STATUS_SUCCESS
             : STATUS_UNSUCCESSFUL;
}

// The cursor work is queued for the view's cursor thread; the host never waits for the device.
NTSTATUS UpdateCursor(ViewContext* view, const HostCursor* cursor) {
  SetCursorInfo(view, cursor);
  return STATUS_SUCCESS;
}

ULONG OutputTypeOf(uint8_t descriptor_type) {
  if (descriptor_type == kDescriptorHdmi || descriptor_type == kDescriptorDp) return kOutputTypeHdmi;
  if (descriptor_type == kDescriptorDvi) return kOutputTypeDvi;
  return kOutputTypeOther;
}

bool HasEdidHeader(const uint8_t* edid, uint32_t size) {
  static constexpr uint8_t kHeader[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  return edid && size >= kEdidBlockSize && std::memcmp(edid, kHeader, sizeof kHeader) == 0;
}

// One read into the view's buffer, zeroed first so that a block 0 without the header (which
// the read leaves uncopied) cannot pass for the previous monitor's EDID. |*n| comes back as
// the EDID's full size, which may exceed the buffer.
NTSTATUS ReadIntoBuffer(ViewContext* view, uint32_t* n) {
  std::memset(view->EdidBuffer, 0, view->EdidCapacity);
  *n = view->EdidCapacity;
  NTSTATUS status = ReadEdidBlocks(view->Owner, view->Index, view->EdidBuffer, n);
  if (!NT_SUCCESS(status) || !HasEdidHeader(view->EdidBuffer, view->EdidCapacity))
    return STATUS_UNSUCCESSFUL;
  return STATUS_SUCCESS;
}

NTSTATUS ReadEdid(ViewContext* view) {
  SorvikDevice* device = view->Owner;
  view->EdidSize = 0;
  if (!view->EdidBuffer) {
    view->EdidBuffer = static_cast<uint8_t*>(HeapZalloc(device, kEdidInitialCapacity));
    view->EdidCapacity = view->EdidBuffer ? kEdidInitialCapacity : 0;
    if (!view->EdidBuffer) return STATUS_UNSUCCESSFUL;
  }
  uint32_t n = 0;
  if (!NT_SUCCESS(ReadIntoBuffer(view, &n))) return STATUS_UNSUCCESSFUL;
  if (n > view->EdidCapacity) {
    // The host may still read the buffer it was given at an earlier acquire: keep it.
    auto* retired = static_cast<RetiredEdid*>(HeapZalloc(device, sizeof(RetiredEdid)));
    if (!retired) return STATUS_UNSUCCESSFUL;
    *retired = {view->RetiredEdids, view->EdidBuffer};
    view->RetiredEdids = retired;
    view->EdidBuffer = static_cast<uint8_t*>(HeapZalloc(device, n));
    view->EdidCapacity = view->EdidBuffer ? n : 0;
    if (!view->EdidBuffer) return STATUS_UNSUCCESSFUL;
    if (!NT_SUCCESS(ReadIntoBuffer(view, &n))) return STATUS_UNSUCCESSFUL;
  }
  // The EDID may have grown between the two reads; only what the buffer holds counts.
  view->EdidSize = std::min(n, view->EdidCapacity);
  return STATUS_SUCCESS;
}

void CopyOut(const uint8_t* edid, uint32_t edid_size, uint8_t* destination, uint32_t* size) {
  if (!destination || !size) return;
  if (edid) std::memcpy(destination, edid, std::min(*size, edid_size));
  *size = edid_size;
}

// FetchEdid; with |process| the caller holds the mode lock.
NTSTATUS FetchEdidHeld(ViewContext* view, uint8_t* destination, uint32_t* size, bool process) {
  if (view->Owner->IpMode) {
    if (view->EdidBuffer && view->EdidSize)
      CopyOut(view->EdidBuffer, std::min(view->EdidSize, view->EdidCapacity), destination, size);
    return STATUS_SUCCESS;
  }
  if (destination && size) std::memset(destination, 0, *size);
  NTSTATUS status = ReadEdid(view);
  TracePoint(kTraceEdid, kTraceInfo, kTraceUnitViews, kMsgEdidFetched,
             {view->Index, view->EdidSize, static_cast<uint32_t>(status)});
  if (!NT_SUCCESS(status)) {
    if (process) ResetTimingLimits(view);
    return status;
  }
  CopyOut(view->EdidBuffer, view->EdidSize, destination, size);
  if (process) ProcessEdid(view, view->EdidBuffer, view->EdidSize);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS FetchEdid(ViewContext* view, uint8_t* destination, uint32_t* size, bool process) {
  if (!process) return FetchEdidHeld(view, destination, size, false);
  LockModes(view);
  NTSTATUS status = FetchEdidHeld(view, destination, size, true);
  UnlockModes(view);
  return status;
}

NTSTATUS AcquireHostDisplay(ViewContext* view) {
  SorvikDevice* device = view->Owner;
  NTSTATUS status = QueryMonitorStatus(device, view->Index, &view->Connected);
  if (view->DetectEnabled && !view->Connected) {
    TracePoint(kTraceHost, kTraceInfo, kTraceUnitViews, kMsgViewNoMonitor, {view->Index});
    return status;
  }

  // The mode arrays are rebuilt under the mode lock, so the host's GetModes and SetMode of a
  // view it already holds never see them half built.
  LockModes(view);
  status = STATUS_SUCCESS;
  if (!device->IpMode) status = BuildModeList(view);
  if (NT_SUCCESS(status)) {
    if (!NT_SUCCESS(FetchEdidHeld(view, nullptr, nullptr, true))) ProcessEdid(view, nullptr, 0);
    status = BuildTargetModes(view);
  }
  UnlockModes(view);
  if (!NT_SUCCESS(status)) {
    TracePoint(kTraceHost, kTraceError, kTraceUnitViews, kMsgAcquireFailed,
               {view->Index, static_cast<uint32_t>(status)});
    return status;
  }

  DisplayInterface& d = view->Display;
  std::memset(&d, 0, sizeof d);
  d.Context = view;
  d.WdfDevice = device->WdfDevice;
  d.SetMode = &SetMode;
  d.UpdateCursor = &UpdateCursor;
  d.Present = &Present;
  d.GetModes = &GetModes;
  d.EdidBuffer = view->EdidSize ? view->EdidBuffer : nullptr;
  d.EdidSize = view->EdidSize;
  d.ViewCount = device->ViewCount == 1 ? 1 : 2;
  d.ViewIndex = device->ViewCount == 1 ? 0 : view->Index;
  d.OutputType = OutputTypeOf(view->DescriptorType);
  d.MaxCursorWidth = kMaxCursorSize;
  d.MaxCursorHeight = kMaxCursorSize;
  if (GammaOffered(device)) d.SetGamma = &SetGamma;

  view->hDisplayContext = device->Host.AcquireDisplay ? device->Host.AcquireDisplay(&d) : 0;
  TracePoint(kTraceHost, kTraceInfo, kTraceUnitViews, kMsgViewAcquired,
             {view->Index, d.ViewCount, d.ViewIndex, static_cast<uint32_t>(view->hDisplayContext),
              d.TargetID});
  return status;
}

NTSTATUS ReleaseHostDisplay(ViewContext* view) {
  StopViewThreads(view);
  if (view->hDisplayContext) {
    SorvikDevice* device = view->Owner;
    TracePoint(kTraceHost, kTraceInfo, kTraceUnitViews, kMsgViewReleased,
               {view->Index, static_cast<uint32_t>(view->hDisplayContext)});
    if (device->Host.ReleaseDisplay) device->Host.ReleaseDisplay(view->hDisplayContext);
    view->hDisplayContext = 0;
  }
  return STATUS_SUCCESS;
}

}  // namespace vorn::display
