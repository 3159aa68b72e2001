#include "display/hotplug/hotplug.h"

#include "display/device/trace.h"
#include "display/device/trace_messages.h"
#include "display/device/vendor_requests.h"
#include "display/views/host_display.h"
#include "platform/win32/handle.h"
#include "platform/win32/synch.h"
#include "platform/win32/thread.h"

namespace vorn::display {
namespace {

constexpr uint32_t kThreadHotplug = 2;  // as the thread failure trace names it

// What the thread knows of one view. |count| is the number of equal readings in a row
// (kHotplugSettledCount: settled); 0 means no reading since the last announcement, so that a
// status request that failed is never taken for a reading.
struct ViewWatch {
  bool present;
  uint8_t last;
  uint8_t count;
};

// The settled reading becomes the view's connected flag; with detection on, a connected
// monitor is handed to the host and a disconnected one taken back.
void Settle(ViewContext* view, uint8_t reading) {
  view->Connected = reading;
  if (!view->DetectEnabled) return;
  if (reading && !view->hDisplayContext)
    AcquireHostDisplay(view);
  else if (!reading && view->hDisplayContext)
    ReleaseHostDisplay(view);
}

// One status request for |view|. A failed request leaves the reading and the count as they
// were: only a reading from the device counts towards settling.
void Poll(SorvikDevice* device, uint32_t index, ViewWatch* watch) {
  ViewContext* view = &device->Views[index];
  uint8_t reading = watch->last;
  if (!NT_SUCCESS(QueryMonitorStatus(device, view->Index, &reading))) return;
  if (watch->count == 0 || reading != watch->last) {
    watch->last = reading;
    watch->count = 1;
    return;
  }
  if (watch->count >= kHotplugSettledCount) return;
  if (++watch->count == kHotplugSettledCount) Settle(view, reading);
}

bool AnyUnsettled(const ViewWatch* watch) {
  for (uint32_t i = 0; i < kViewCountMax; ++i)
    if (watch[i].count < kHotplugSettledCount) return true;
  return false;
}

}  // namespace

NTSTATUS StartHotplug(SorvikDevice* device) {
  DeviceThread& t = device->HotplugThread;
  if (device->IpMode || t.Running) return STATUS_SUCCESS;
  if (!t.StopEvent || !device->MonitorStatusEvent) return STATUS_UNSUCCESSFUL;
  // The flag is set before the thread exists: the thread ends at once when it finds it clear.
  t.Running = 1;
  ResetEvent(t.StopEvent);
  t.Thread = CreateThread(nullptr, 0, &HotplugThread, device, 0, nullptr);
  if (!t.Thread) {
    t.Running = 0;
    TracePoint(kTraceInterrupt, kTraceError, kTraceUnitThreads, kMsgThreadFailed, {kThreadHotplug});
    return STATUS_UNSUCCESSFUL;
  }
  return STATUS_SUCCESS;
}

void StopHotplug(SorvikDevice* device) {
  DeviceThread& t = device->HotplugThread;
  if (t.Running) {
    t.Running = 0;
    SetEvent(t.StopEvent);
  }
  if (t.Thread) {
    WaitForSingleObject(t.Thread, INFINITE);
    CloseHandle(t.Thread);
    t.Thread = nullptr;
  }
}

DWORD WINAPI HotplugThread(LPVOID parameter) {
  auto* device = static_cast<SorvikDevice*>(parameter);
  // The views present when the thread starts are the ones it follows.
  ViewWatch watch[kViewCountMax];
  for (uint32_t i = 0; i < kViewCountMax; ++i)
    watch[i] = {device->Views[i].Present != 0, 0, kHotplugSettledCount};
  if (!device->HotplugThread.Running) return 0;

  HANDLE events[2] = {device->HotplugThread.StopEvent, device->MonitorStatusEvent};
  constexpr DWORD kStop = WAIT_OBJECT_0;
  do {
    const DWORD which = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (which == kStop) return 0;
    if (which != WAIT_OBJECT_0 + 1) continue;

    for (uint32_t i = 0; i < kViewCountMax; ++i) {
      ViewWatch& w = watch[i];
      if (!w.present) continue;
      w.count = 0;
      Poll(device, i, &w);
    }
    while (AnyUnsettled(watch)) {
      const DWORD polled = WaitForMultipleObjects(2, events, FALSE, kHotplugPollMs);
      if (polled == kStop) return 0;
      for (uint32_t i = 0; i < kViewCountMax; ++i) {
        ViewWatch& w = watch[i];
        if (!w.present) continue;
        if (polled == WAIT_TIMEOUT && w.count >= kHotplugSettledCount) continue;
        // A new announcement starts every present view's count again.
        if (polled != WAIT_TIMEOUT && w.count) w.count = 1;
        Poll(device, i, &w);
      }
    }
  } while (device->HotplugThread.Running);
  return 0;
}

}  // namespace vorn::display
