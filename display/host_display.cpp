#include "display/host_display.h"

#include <cstring>

#include "display/device_threads.h"
#include "display/gamma.h"
#include "display/modes.h"
#include "display/present.h"
#include "display/trace.h"
#include "display/trace_messages.h"
#include "display/vendor_requests.h"

namespace vorn::display {
namespace {

constexpr uint8_t kDescriptorHdmi = 2;
constexpr uint8_t kDescriptorDp = 8;
constexpr uint8_t kDescriptorDvi = 4;

// View callbacks. The cursor, present and gamma paths are filled in by their own parts of the
// plug-in; until then a view ignores updates.
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

NTSTATUS UpdateCursor(ViewContext*, const HostCursor*) { return STATUS_SUCCESS; }
NTSTATUS SetGamma(ViewContext*, const void*) { return STATUS_SUCCESS; }

ULONG OutputTypeOf(uint8_t descriptor_type) {
  if (descriptor_type == kDescriptorHdmi || descriptor_type == kDescriptorDp) return kOutputTypeHdmi;
  if (descriptor_type == kDescriptorDvi) return kOutputTypeDvi;
  return kOutputTypeOther;
}

}  // namespace

NTSTATUS AcquireHostDisplay(ViewContext* view) {
  SorvikDevice* device = view->Owner;
  NTSTATUS status = QueryMonitorStatus(device, view->Index, &view->Connected);
  if (view->DetectEnabled && !view->Connected) {
    TracePoint(kTraceHost, kTraceInfo, kTraceUnitViews, kMsgViewNoMonitor, {view->Index});
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
  d.EdidBuffer = view->EdidBuffer;
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
  return STATUS_SUCCESS;
}

NTSTATUS ReleaseHostDisplay(ViewContext* view) {
  StopViewThreads(view);
  if (view->hDisplayContext) {
    SorvikDevice* device = view->Owner;
    if (device->Host.ReleaseDisplay) device->Host.ReleaseDisplay(view->hDisplayContext);
    view->hDisplayContext = 0;
  }
  return STATUS_SUCCESS;
}

}  // namespace vorn::display
