#include "display/views/view_buffers.h"

#include "display/device/device.h"
#include "display/modes/modes.h"
#include "platform/win32/handle.h"
#include "platform/win32/synch.h"

namespace vorn::display {
namespace {

constexpr uint8_t kFormatModeMoreStaging = 2;

void CloseIf(HANDLE* handle) {
  if (*handle) CloseHandle(*handle);
  *handle = nullptr;
}

}  // namespace

uint32_t ViewBufferFrameBytes(const ViewContext* view) {
  const uint64_t bytes = uint64_t{(view->Modes.ModeMaxWidth + 31) >> 5} *
                         view->Modes.ModeMaxHeight * 128;
  return bytes > 0x7FFFFFFFu ? 0 : static_cast<uint32_t>(bytes);
}

NTSTATUS CreateSystemMemoryObject(ViewContext* view) {
  SorvikDevice* device = view->Owner;
  if (!view->SystemMem)
    view->SystemMem = static_cast<SystemMemObj*>(HeapZalloc(device, sizeof(SystemMemObj)));
  SystemMemObj* obj = view->SystemMem;
  if (!obj) return STATUS_UNSUCCESSFUL;
  *obj = SystemMemObj{};
  obj->Owner = view;
  obj->ReadyEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  obj->ConsumedEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  if (!obj->ReadyEvent || !obj->ConsumedEvent) return STATUS_UNSUCCESSFUL;
  if (!NT_SUCCESS(CreateWaitLock(device, &obj->HandoffLock))) return STATUS_UNSUCCESSFUL;
  return STATUS_SUCCESS;
}

void FreeFrameBuffers(ViewContext* view) {
  SystemMemObj* obj = view->SystemMem;
  if (!obj) return;
  if (obj->pSourceBuf) HeapRelease(view->Owner, obj->pSourceBuf);
  if (obj->Staging) HeapRelease(view->Owner, obj->Staging);
  obj->pSourceBuf = nullptr;
  obj->Staging = nullptr;
  obj->SourceBufSize = obj->StagingSize = 0;
  obj->WritePos = obj->InFlight = 0;
}

NTSTATUS AllocFrameBuffers(ViewContext* view) {
  SystemMemObj* obj = view->SystemMem;
  if (!obj) return STATUS_UNSUCCESSFUL;
  FreeFrameBuffers(view);
  SorvikDevice* device = view->Owner;
  const uint32_t frame = ViewBufferFrameBytes(view);
  const uint32_t frames = device->ThreeStagingFrames || device->FormatMode == kFormatModeMoreStaging
                              ? kStagingFramesMore
                              : kStagingFramesNormal;
  const uint64_t staging = uint64_t{frame} * frames + kStagingExtraBytes;
  if (frame == 0 || staging > 0x7FFFFFFFu) return STATUS_UNSUCCESSFUL;
  obj->pSourceBuf = static_cast<uint8_t*>(HeapZalloc(device, frame));
  obj->Staging = static_cast<uint8_t*>(HeapZalloc(device, static_cast<size_t>(staging)));
  if (!obj->pSourceBuf || !obj->Staging) {
    FreeFrameBuffers(view);
    return STATUS_UNSUCCESSFUL;
  }
  obj->SourceBufSize = frame;
  obj->StagingSize = static_cast<uint32_t>(staging);
  obj->WritePos = 0;
  return STATUS_SUCCESS;
}

void SystemMemoryFree(ViewContext* view) {
  SystemMemObj* obj = view->SystemMem;
  if (!obj) return;
  FreeFrameBuffers(view);
  CloseIf(&obj->ReadyEvent);
  CloseIf(&obj->ConsumedEvent);
  // The hand-off lock is a child of the USB target and goes with it.
  obj->HandoffLock = nullptr;
}

}  // namespace vorn::display
