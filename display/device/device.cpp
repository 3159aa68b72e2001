#include "display/device/device.h"

#include "platform/win32/heap.h"

namespace vorn::display {

void* HeapZalloc(SorvikDevice* device, size_t bytes) {
  return HeapAlloc(device->hMyHeap, HEAP_ZERO_MEMORY, bytes);
}

void HeapRelease(SorvikDevice* device, void* block) {
  if (block) HeapFree(device->hMyHeap, 0, block);
}

NTSTATUS CreateWaitLock(SorvikDevice* device, WDFWAITLOCK* lock) {
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.ParentObject = device->UsbDevice;
  *lock = nullptr;
  NTSTATUS status = Wdf<WdfWaitLockCreateTableIndex>(device, &attributes, lock);
  if (NT_SUCCESS(status) && *lock == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
  return status;
}

void LockUntimed(SorvikDevice* device, WDFWAITLOCK lock) {
  Wdf<WdfWaitLockAcquireTableIndex>(device, lock, static_cast<LONGLONG*>(nullptr));
}

void Unlock(SorvikDevice* device, WDFWAITLOCK lock) {
  Wdf<WdfWaitLockReleaseTableIndex>(device, lock);
}

bool LockTimed(SorvikDevice* device, WDFWAITLOCK lock, uint32_t ms) {
  LONGLONG timeout = WDF_REL_TIMEOUT_IN_MS(ms);
  return Wdf<WdfWaitLockAcquireTableIndex>(device, lock, &timeout) == STATUS_SUCCESS;
}

}  // namespace vorn::display
