#include "display/device/device_threads.h"

#include "display/cursor/cursor.h"
#include "display/encode/encode_thread.h"
#include "display/modes/modes.h"
#include "display/send/send_thread.h"
#include "display/views/dirty_rects.h"

#include "display/device/trace.h"
#include "display/device/trace_messages.h"
#include "platform/win32/handle.h"
#include "platform/win32/synch.h"
#include "platform/win32/thread.h"

namespace vorn::display {
namespace {

enum ThreadKind : uint32_t { kThreadSend = 1, kThreadHotplug = 2, kThreadEncode = 3, kThreadCursor = 4 };

// How often a wait for the send thread to take a packet looks whether that thread still runs.
constexpr uint32_t kSettlePollMs = 20;

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
  NTSTATUS status = StartDeviceThread(&device->SendThread, &SendThread, device);
  if (!NT_SUCCESS(status))
    TracePoint(kTraceBringUp, kTraceError, kTraceUnitThreads, kMsgThreadFailed, {kThreadSend});
  return status;
}

void StopSendThread(SorvikDevice* device) { StopDeviceThread(&device->SendThread); }

static void StopViewThreadsLocked(ViewContext* view);

// Under the view's mode lock (below).
static NTSTATUS StartViewThreadsLocked(ViewContext* view) {
  if (view->ThreadsRunning.load()) return STATUS_SUCCESS;
  SystemMemObj* mem = view->SystemMem;
  if (!view->StopEvent || !view->DirtyEvent || !mem || !mem->Staging || !mem->ReadyEvent ||
      !mem->ConsumedEvent || !mem->HandoffLock)
    return STATUS_UNSUCCESSFUL;
  view->ThreadsRunning = 1;
  ResetEvent(view->StopEvent);
  ResetEvent(view->DirtyEvent);
  if (view->CursorEvent) ResetEvent(view->CursorEvent);
  // A new mode starts without a band.
  view->BandRect.left = view->BandRect.top = view->BandRect.bottom = 0;
  // Each thread is attempted even when the other could not be created.
  NTSTATUS status = STATUS_SUCCESS;
  view->EncodeThread = CreateThread(nullptr, 0, &EncodeThread, view, 0, nullptr);
  if (!view->EncodeThread) {
    TracePoint(kTraceEntry, kTraceError, kTraceUnitThreads, kMsgThreadFailed, {kThreadEncode});
    status = STATUS_UNSUCCESSFUL;
  }
  view->CursorThread = CreateThread(nullptr, 0, &CursorThread, view, 0, nullptr);
  if (!view->CursorThread) {
    TracePoint(kTraceEntry, kTraceError, kTraceUnitThreads, kMsgThreadFailed, {kThreadCursor});
    status = STATUS_UNSUCCESSFUL;
  }
  // A half-started view is stopped again, so that the flag tells the truth and a later start
  // gets both threads.
  if (!NT_SUCCESS(status)) StopViewThreadsLocked(view);
  return status;
}

static void StopViewThreadsLocked(ViewContext* view) {
  if (!view->ThreadsRunning.load()) return;
  view->ThreadsRunning = 0;
  if (view->StopEvent) SetEvent(view->StopEvent);
  for (HANDLE* thread : {&view->EncodeThread, &view->CursorThread}) {
    if (!*thread) continue;
    WaitForSingleObject(*thread, INFINITE);
    CloseHandle(*thread);
    *thread = nullptr;
  }
}

// The host's SetMode and the hot-plug thread's release can start and stop one view's threads
// at the same moment; the view's mode lock makes each start and each stop whole, so no thread
// is started behind a stop that had already looked, and no handle is overwritten or closed
// twice. No caller holds that lock, and no view thread ever takes it.
NTSTATUS StartViewThreads(ViewContext* view) {
  LockModes(view);
  const NTSTATUS status = StartViewThreadsLocked(view);
  UnlockModes(view);
  return status;
}

void StopViewThreads(ViewContext* view) {
  LockModes(view);
  StopViewThreadsLocked(view);
  UnlockModes(view);
}

void SettleViewPacket(ViewContext* view) {
  SystemMemObj* mem = view->SystemMem;
  if (!mem || !mem->ReadyEvent || !mem->ConsumedEvent) return;
  SorvikDevice* device = view->Owner;
  while (device->SendThread.Running &&
         WaitForSingleObject(mem->ConsumedEvent, kSettlePollMs) == WAIT_TIMEOUT) {
  }
  if (WaitForSingleObject(mem->ConsumedEvent, 0) == WAIT_OBJECT_0) return;
  ResetEvent(mem->ReadyEvent);
  SetEvent(mem->ConsumedEvent);
  RequestFullRefresh(view);
}

}  // namespace vorn::display
