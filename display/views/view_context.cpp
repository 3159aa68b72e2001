#include <new>

#include "display/cursor/cursor.h"
#include "display/device/bring_up.h"
#include "display/device/device_threads.h"
#include "display/modes/modes.h"
#include "display/views/present.h"
#include "display/views/view_buffers.h"
#include "platform/win32/handle.h"
#include "platform/win32/synch.h"

namespace vorn::display {
namespace {

void CloseIf(HANDLE* handle) {
  if (*handle) CloseHandle(*handle);
  *handle = nullptr;
}

}  // namespace

NTSTATUS CreateViewContext(SorvikDevice* device, ViewContext* view, uint16_t index,
                           uint32_t slot_count, uint32_t slot_base) {
  new (view) ViewContext();
  view->Index = index;
  view->Owner = device;

  view->Hwc = CreateCursorContext(view, static_cast<uint8_t>(slot_count),
                                  static_cast<uint8_t>(slot_base));
  view->SystemMem = static_cast<SystemMemObj*>(HeapZalloc(device, sizeof(SystemMemObj)));
  if (!view->Hwc || !view->SystemMem) return STATUS_UNSUCCESSFUL;

  view->EdidBuffer = static_cast<uint8_t*>(HeapZalloc(device, kEdidInitialCapacity));
  if (!view->EdidBuffer) {
    view->EdidCapacity = 0;
    return STATUS_UNSUCCESSFUL;
  }
  view->EdidCapacity = kEdidInitialCapacity;

  view->DirtyEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  view->SecondViewEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  view->StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  view->CursorEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!view->DirtyEvent || !view->SecondViewEvent || !view->StopEvent || !view->CursorEvent)
    return STATUS_UNSUCCESSFUL;
  view->ThreadsRunning = 0;

  for (WDFWAITLOCK* lock : {&view->EncodeStateLock, &view->DirtyLock, &view->CursorLock,
                            &view->FrameLock, &view->ModeLock}) {
    NTSTATUS status = CreateWaitLock(device, lock);
    if (!NT_SUCCESS(status)) return status;
  }
  if (!NT_SUCCESS(CreateSystemMemoryObject(view))) return STATUS_UNSUCCESSFUL;

  // Without the copy the view simply offers no gamma.
  view->GammaCopy = static_cast<uint8_t*>(HeapZalloc(device, kGammaRampSize));
  return STATUS_SUCCESS;
}

NTSTATUS DestroyViewContext(ViewContext* view) {
  SorvikDevice* device = view->Owner;
  if (!device) return STATUS_UNSUCCESSFUL;
  StopViewThreads(view);
  view->hDisplayContext = 0;  // dropped: the host's ReleaseDisplay is not called at close
  CloseIf(&view->DirtyEvent);
  CloseIf(&view->SecondViewEvent);
  CloseIf(&view->CursorEvent);
  CloseIf(&view->StopEvent);
  SystemMemoryFree(view);
  FreeSystemFrame(view);
  ReleaseModes(view);
  HeapRelease(device, view->SystemMem);
  HeapRelease(device, view->GammaCopy);
  FreeCursorContext(view->Hwc);
  HeapRelease(device, view->EdidBuffer);
  while (RetiredEdid* retired = view->RetiredEdids) {
    view->RetiredEdids = retired->Next;
    HeapRelease(device, retired->Buffer);
    HeapRelease(device, retired);
  }
  view->SystemMem = nullptr;
  view->GammaCopy = nullptr;
  view->Hwc = nullptr;
  view->EdidBuffer = nullptr;
  view->EdidCapacity = 0;
  // The wait locks are children of the USB target and go with it.
  view->EncodeStateLock = view->DirtyLock = view->CursorLock = view->FrameLock = nullptr;
  view->ModeLock = nullptr;
  view->Owner = nullptr;
  return STATUS_SUCCESS;
}

}  // namespace vorn::display
