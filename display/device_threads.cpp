#include "display/device_threads.h"

#include "display/trace.h"
#include "display/trace_messages.h"
#include "platform/win32/handle.h"
#include "platform/win32/synch.h"
#include "platform/win32/thread.h"

namespace vorn::display {
namespace {

enum ThreadKind : uint32_t { kThreadSend = 1, kThreadHotplug = 2 };

// The send loop: for now it only waits for its stop event; the packet pipeline runs here.
DWORD WINAPI SendThreadMain(LPVOID parameter) {
  auto* device = static_cast<SorvikDevice*>(parameter);
  WaitForSingleObject(device->SendThread.StopEvent, INFINITE);
  return 0;
}

// The hot-plug loop: waits for a monitor status change or its stop event. Following the
// monitors (re-reading their status, acquiring and releasing views) happens here.
DWORD WINAPI HotplugThreadMain(LPVOID parameter) {
  auto* device = static_cast<SorvikDevice*>(parameter);
  HANDLE events[2] = {device->HotplugThread.StopEvent, device->MonitorStatusEvent};
  for (;;) {
    DWORD which = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (which != WAIT_OBJECT_0 + 1) break;
  }
  return 0;
}

}  // namespace

NTSTATUS StartDeviceThread(DeviceThread* thread, LPTHREAD_START_ROUTINE routine, void* parameter) {
  if (thread->Running) return STATUS_SUCCESS;
  if (!thread->StopEvent) return STATUS_UNSUCCESSFUL;
  ResetEvent(thread->StopEvent);
  thread->Thread = CreateThread(nullptr, 0, routine, parameter, 0, nullptr);
  if (!thread->Thread) return STATUS_UNSUCCESSFUL;
  thread->Running = 1;
  return STATUS_SUCCESS;
}

void StopDeviceThread(DeviceThread* thread) {
  if (!thread->Running) return;
  SetEvent(thread->StopEvent);
  if (thread->Thread) {
    WaitForSingleObject(thread->Thread, INFINITE);
    CloseHandle(thread->Thread);
    thread->Thread = nullptr;
  }
  thread->Running = 0;
}

NTSTATUS StartSendThread(SorvikDevice* device) {
  NTSTATUS status = StartDeviceThread(&device->SendThread, &SendThreadMain, device);
  if (!NT_SUCCESS(status))
    TracePoint(kTraceBringUp, kTraceError, kTraceUnitThreads, kMsgThreadFailed, {kThreadSend});
  return status;
}

void StopSendThread(SorvikDevice* device) { StopDeviceThread(&device->SendThread); }

NTSTATUS StartHotplug(SorvikDevice* device) {
  if (device->IpMode) return STATUS_SUCCESS;
  NTSTATUS status = StartDeviceThread(&device->HotplugThread, &HotplugThreadMain, device);
  if (!NT_SUCCESS(status))
    TracePoint(kTraceInterrupt, kTraceError, kTraceUnitThreads, kMsgThreadFailed, {kThreadHotplug});
  return status;
}

void StopHotplug(SorvikDevice* device) { StopDeviceThread(&device->HotplugThread); }

void StopViewThreads(ViewContext* view) {
  if (!view->ThreadsRunning) return;
  if (view->StopEvent) SetEvent(view->StopEvent);
  if (view->EncodeThread) {
    WaitForSingleObject(view->EncodeThread, INFINITE);
    CloseHandle(view->EncodeThread);
    view->EncodeThread = nullptr;
  }
  view->ThreadsRunning = 0;
}

}  // namespace vorn::display
