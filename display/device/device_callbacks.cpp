#include "display/device/device_callbacks.h"

#include "display/cursor/cursor.h"
#include "display/device/bring_up.h"
#include "display/frames/device_memory.h"
#include "display/device/device_threads.h"
#include "display/views/host_display.h"
#include "display/interrupt/interrupt_reader.h"
#include "display/device/trace.h"
#include "display/device/trace_messages.h"
#include "display/device/vendor_requests.h"
#include "platform/win32/handle.h"
#include "platform/win32/heap.h"

namespace vorn::display {
namespace {

void CloseIf(HANDLE* handle) {
  if (*handle) CloseHandle(*handle);
  *handle = nullptr;
}

void DeviceStop(SorvikDevice* device) {
  StopInterruptReader(device);
  StopHotplug(device);
  StopViewThreads(&device->Views[0]);
  StopViewThreads(&device->Views[1]);
  StopSendThread(device);
  // A packet handed off just before the stop is dropped, never sent after the restart.
  SettleViewPacket(&device->Views[0]);
  SettleViewPacket(&device->Views[1]);
}

void DeviceRestart(SorvikDevice* device) {
  for (ViewContext& view : device->Views)
    if (view.Present) ResetCursorCache(view.Hwc, true);  // every shape is uploaded again
  StartInterruptReader(device);
  StartHotplug(device);
  StartSendThread(device);
  StartDisplay(device);
}

}  // namespace

void DeviceCleanup(SorvikDevice* device) {
  StopInterruptReader(device);
  StopHotplug(device);
  StopSendThread(device);
  DestroyViewContext(&device->Views[0]);
  DestroyViewContext(&device->Views[1]);
  CloseIf(&device->SendThread.StopEvent);
  CloseIf(&device->MonitorStatusEvent);
  CloseIf(&device->HotplugThread.StopEvent);
  // The USB target takes its pipes, its reader and every wait lock of the device with it.
  if (device->UsbDevice) Wdf<WdfObjectDeleteTableIndex>(device, static_cast<WDFOBJECT>(device->UsbDevice));
  device->UsbDevice = nullptr;
  device->UsbInterface = nullptr;
  device->BulkOutput = device->InterruptPipe = device->IpBulkOutput = nullptr;
  device->DeviceLock = nullptr;
  device->AckRing.Lock = nullptr;
}

void FreeDevice(SorvikDevice* device) {
  HANDLE heap = device->hMyHeap;
  device->~SorvikDevice();
  HeapFree(heap, 0, device);
  HeapDestroy(heap);
}

NTSTATUS Start(SorvikDevice* device) {
  TracePoint(kTraceCallbacks, kTraceInfo, kTraceUnitEntry, kMsgStart);
  if (!device) return STATUS_INVALID_PARAMETER;
  if (device->IpMode) {
    AcquireHostDisplay(&device->Views[0]);
    return StartSendThread(device);
  }
  NTSTATUS status = LayoutViews(device, &device->Memory);
  if (!NT_SUCCESS(status)) {
    TracePoint(kTraceCallbacks, kTraceError, kTraceUnitEntry, kMsgStartFailed,
               {static_cast<uint32_t>(status)});
    return status;
  }
  StartHotplug(device);
  return StartSendThread(device);
}

NTSTATUS Close(SorvikDevice* device) {
  TracePoint(kTraceCallbacks, kTraceInfo, kTraceUnitEntry, kMsgClose);
  if (!device) return STATUS_INVALID_PARAMETER;
  device->Closing = 1;
  DeviceCleanup(device);
  FreeDevice(device);
  return STATUS_SUCCESS;
}

NTSTATUS PowerEvent(SorvikDevice* device, ULONG type) {
  TracePoint(kTraceCallbacks, kTraceInfo, kTraceUnitEntry, kMsgPowerEvent, {type});
  if (!device) return STATUS_SUCCESS;
  if (type == kPowerEventStop)
    DeviceStop(device);
  else if (type == kPowerEventRestart)
    DeviceRestart(device);
  return STATUS_SUCCESS;
}

}  // namespace vorn::display
