#include "display/vendor_requests.h"

#include "display/trace.h"
#include "display/trace_messages.h"
#include "protocol/vendor_request.h"

namespace vorn::display {
namespace {

void InitOptions(WDF_REQUEST_SEND_OPTIONS* options) {
  WDF_REQUEST_SEND_OPTIONS_INIT(options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
  WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(options, WDF_REL_TIMEOUT_IN_MS(kVendorTimeoutMs));
}

void TraceFailure(uint8_t code, uint16_t value, uint16_t index, NTSTATUS status) {
  TracePoint(kTraceVendor, kTraceError, kTraceUnitTransfers, kMsgVendorFailed,
             {code, value, index, static_cast<uint32_t>(status)});
}

// Runs one request under the device lock; a lock not had within 5 s sends nothing.
template <class Send>
NTSTATUS Locked(SorvikDevice* device, uint8_t code, uint16_t value, uint16_t index, Send send) {
  if (AcquireDeviceLock(device) != STATUS_SUCCESS) {
    TracePoint(kTraceVendor, kTraceError, kTraceUnitTransfers, kMsgLockTimeout, {code});
    return STATUS_UNSUCCESSFUL;
  }
  NTSTATUS status = send();
  ReleaseDeviceLock(device);
  if (!NT_SUCCESS(status)) TraceFailure(code, value, index, status);
  return status;
}

}  // namespace

NTSTATUS VendorRequestIn(SorvikDevice* device, WDFUSBDEVICE target, uint8_t code, uint16_t value,
                         uint16_t index, void* buffer, uint32_t length, ULONG* transferred) {
  WDF_USB_CONTROL_SETUP_PACKET setup;
  WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(&setup, BmRequestDeviceToHost, BmRequestToDevice, code,
                                           value, index);
  WDF_MEMORY_DESCRIPTOR memory;
  WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&memory, buffer, length);
  WDF_REQUEST_SEND_OPTIONS options;
  InitOptions(&options);
  ULONG moved = 0;
  NTSTATUS status = Wdf<WdfUsbTargetDeviceSendControlTransferSynchronouslyTableIndex>(
      device, target, WDFREQUEST{nullptr}, &options, &setup, &memory, &moved);
  if (transferred) *transferred = moved;
  return status;
}

NTSTATUS VendorRequestOut(SorvikDevice* device, WDFUSBDEVICE target, uint8_t code,
                          uint16_t value, uint16_t index, const void* buffer, uint32_t length) {
  WDF_USB_CONTROL_SETUP_PACKET setup;
  WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(&setup, BmRequestHostToDevice, BmRequestToDevice, code,
                                           value, index);
  WDF_MEMORY_DESCRIPTOR memory;
  PWDF_MEMORY_DESCRIPTOR data = nullptr;
  if (buffer && length > 0) {
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&memory, const_cast<void*>(buffer), length);
    data = &memory;
  }
  WDF_REQUEST_SEND_OPTIONS options;
  InitOptions(&options);
  ULONG moved = 0;
  return Wdf<WdfUsbTargetDeviceSendControlTransferSynchronouslyTableIndex>(
      device, target, WDFREQUEST{nullptr}, &options, &setup, data, &moved);
}

NTSTATUS AcquireDeviceLock(SorvikDevice* device) {
  if (!device->DeviceLock) return STATUS_INVALID_DEVICE_STATE;
  LONGLONG timeout = WDF_REL_TIMEOUT_IN_MS(kDeviceLockTimeoutMs);
  return Wdf<WdfWaitLockAcquireTableIndex>(device, device->DeviceLock, &timeout);
}

void ReleaseDeviceLock(SorvikDevice* device) {
  Wdf<WdfWaitLockReleaseTableIndex>(device, device->DeviceLock);
}

NTSTATUS ReadDeviceValue(SorvikDevice* device, uint16_t item, void* buffer, uint16_t length) {
  return Locked(device, protocol::ReqReadDeviceValue, 0, item, [&] {
    return VendorRequestIn(device, device->UsbDevice, protocol::ReqReadDeviceValue, 0, item,
                           buffer, length, nullptr);
  });
}

NTSTATUS ReadCapabilityBlock(SorvikDevice* device, void* buffer, uint16_t index, uint16_t length) {
  if (!buffer) return STATUS_UNSUCCESSFUL;
  return Locked(device, protocol::ReqReadCapabilities, 0, index, [&] {
    return VendorRequestIn(device, device->UsbDevice, protocol::ReqReadCapabilities, 0, index,
                           buffer, length, nullptr);
  });
}

NTSTATUS QueryMemorySize(SorvikDevice* device, uint8_t* mib) {
  if (!mib) return STATUS_UNSUCCESSFUL;
  return Locked(device, protocol::ReqMemorySize, 0, 0, [&] {
    return VendorRequestIn(device, device->UsbDevice, protocol::ReqMemorySize, 0, 0, mib, 1,
                           nullptr);
  });
}

NTSTATUS QueryMonitorStatus(SorvikDevice* device, uint16_t view, uint8_t* connected) {
  if (!connected) return STATUS_UNSUCCESSFUL;
  if (device->IpMode) {
    *connected = 1;
    return STATUS_SUCCESS;
  }
  return Locked(device, protocol::ReqMonitorStatus, view, 0, [&] {
    return VendorRequestIn(device, device->UsbDevice, protocol::ReqMonitorStatus, view, 0,
                           connected, 1, nullptr);
  });
}

NTSTATUS ResetBulkStream(SorvikDevice* device) {
  TracePoint(kTraceVendor, kTraceInfo, kTraceUnitTransfers, kMsgResetBulkStream);
  return Locked(device, protocol::ReqResetBulkStream, 0, 0, [&] {
    return VendorRequestOut(device, device->UsbDevice, protocol::ReqResetBulkStream, 0, 0,
                            nullptr, 0);
  });
}

NTSTATUS StartDisplay(SorvikDevice* device) {
  return Locked(device, protocol::ReqStartDisplay, 0, 0, [&] {
    return VendorRequestOut(device, device->UsbDevice, protocol::ReqStartDisplay, 0, 0, nullptr,
                            0);
  });
}

NTSTATUS SendGammaControl(SorvikDevice* device, uint16_t view, uint8_t mode) {
  const uint16_t value = static_cast<uint16_t>((view << 8) + mode);
  return Locked(device, protocol::ReqGammaControl, value, 0, [&] {
    return VendorRequestOut(device, device->UsbDevice, protocol::ReqGammaControl, value, 0,
                            nullptr, 0);
  });
}

}  // namespace vorn::display
