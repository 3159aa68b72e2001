#include "display/device/bring_up.h"
#include "display/frames/device_memory.h"
#include "display/views/gamma.h"
#include "jpeg/primitives/frame/cpu.h"
#include "display/device/trace.h"
#include "display/device/trace_messages.h"
#include "display/device/vendor_requests.h"
#include "platform/win32/synch.h"
#include "protocol/vendor_request.h"

namespace vorn::display {
namespace {

constexpr uint32_t kCapabilityPauseMs = 2000;
constexpr uint32_t kDefaultImageCodeVersion = 85;
constexpr uint32_t kCursorSlotBaseView1 = 5;

void TraceCreateFailed(uint32_t what, NTSTATUS status) {
  TracePoint(kTraceHost, kTraceError, kTraceUnitBringUp, kMsgCreateFailed,
             {what, static_cast<uint32_t>(status)});
}

HANDLE AutoResetEvent() { return CreateEventW(nullptr, FALSE, FALSE, nullptr); }

}  // namespace

NTSTATUS InitDevice(SorvikDevice* device) {
  // The processor build of every converter and JPEG primitive, chosen again at each open; a
  // second adapter opening while the first one encodes stores the same slot.
  jpeg::prim::InitPrimitives();
  ReadRegistrySettings(device);

  NTSTATUS status = CreateWaitLock(device, &device->DeviceLock);
  if (!NT_SUCCESS(status)) {
    TraceCreateFailed(kCreateDeviceLock, status);
    return status;
  }

  uint32_t image_code = kDefaultImageCodeVersion;
  ReadDeviceValue(device, protocol::DeviceValueImageCodeVersion, &image_code, sizeof image_code);
  ReadDeviceValue(device, protocol::DeviceValueHwPlatform, &device->HwPlatform,
                  sizeof device->HwPlatform);
  ReadDeviceValue(device, protocol::DeviceValueVendorCmdVersion, &device->VendorCmdVersion,
                  sizeof device->VendorCmdVersion);
  TracePoint(kTraceBringUp, kTraceInfo, kTraceUnitBringUp, kMsgDeviceValues,
             {image_code, device->HwPlatform, device->VendorCmdVersion});

  uint32_t slots = device->CursorSlotTotal / 2;
  if (slots < 1) slots = 1;
  for (uint16_t i = 0; i < kViewCountMax; ++i) {
    status = CreateViewContext(device, &device->Views[i], i, slots, i == 0 ? 0 : kCursorSlotBaseView1);
    if (!NT_SUCCESS(status)) {
      TraceCreateFailed(kCreateViewContext, status);
      return status;
    }
  }

  Sleep(kCapabilityPauseMs);

  status = ReadCapabilities(device);
  if (!NT_SUCCESS(status)) {
    TracePoint(kTraceHost, kTraceError, kTraceUnitBringUp, kMsgCapabilityFailed,
               {static_cast<uint32_t>(status)});
    return STATUS_UNSUCCESSFUL;
  }
  TracePoint(kTraceBringUp, kTraceInfo, kTraceUnitBringUp, kMsgSettings,
             {device->JpegQuality, device->FlipMode, device->FormatMode, device->DetectMonitor});

  if (!NT_SUCCESS(LayoutDeviceMemory(device))) return STATUS_UNSUCCESSFUL;

  device->SendThread.StopEvent = AutoResetEvent();
  device->MonitorStatusEvent = AutoResetEvent();
  device->HotplugThread.StopEvent = AutoResetEvent();
  if (!device->SendThread.StopEvent || !device->MonitorStatusEvent ||
      !device->HotplugThread.StopEvent) {
    TraceCreateFailed(kCreateEvent, STATUS_UNSUCCESSFUL);
    return STATUS_UNSUCCESSFUL;
  }

  ResetGamma(&device->Views[0]);
  ResetGamma(&device->Views[1]);
  StartDisplay(device);
  return STATUS_SUCCESS;
}

}  // namespace vorn::display
