#include "display/device/bring_up.h"
#include "display/device/ip_mode.h"
#include "display/interrupt/interrupt_reader.h"
#include "display/device/trace.h"
#include "display/device/trace_messages.h"

namespace vorn::display {
namespace {

constexpr uint8_t kEndpointBulkOut = 0x02;
constexpr uint8_t kEndpointIpBulkOut = 0x04;
constexpr USHORT kLanguageEnglishUs = 0x0409;
constexpr USHORT kProductChars = 64;

void Trace(uint8_t level, uint16_t number, std::initializer_list<uint32_t> args = {}) {
  TracePoint(kTraceBringUp, level, kTraceUnitBringUp, number, args);
}

void ClassifyPipes(SorvikDevice* device) {
  BYTE count = Wdf<WdfUsbInterfaceGetNumConfiguredPipesTableIndex>(device, device->UsbInterface);
  for (BYTE i = 0; i < count; ++i) {
    WDF_USB_PIPE_INFORMATION info;
    WDF_USB_PIPE_INFORMATION_INIT(&info);
    WDFUSBPIPE pipe =
        Wdf<WdfUsbInterfaceGetConfiguredPipeTableIndex>(device, device->UsbInterface, i, &info);
    if (!pipe) continue;
    Wdf<WdfUsbTargetPipeSetNoMaximumPacketSizeCheckTableIndex>(device, pipe);
    Trace(kTraceInfo, kMsgPipe, {i, static_cast<uint32_t>(info.PipeType), info.EndpointAddress});
    if (info.PipeType == WdfUsbPipeTypeInterrupt) {
      device->InterruptPipe = pipe;
    } else if (info.PipeType == WdfUsbPipeTypeBulk &&
               Wdf<WdfUsbTargetPipeIsOutEndpointTableIndex>(device, pipe)) {
      if (info.EndpointAddress == kEndpointBulkOut) {
        device->BulkOutput = pipe;
      } else if (info.EndpointAddress == kEndpointIpBulkOut) {
        device->IpBulkOutput = pipe;
        device->IpMode = 1;
      }
    }
  }
}

}  // namespace

void PublishProductString(SorvikDevice* device) {
  if (device->IProduct == 0) return;
  // One character more than asked for, so a string that fills the count still ends in zero.
  WCHAR text[kProductChars + 1] = {};
  USHORT count = kProductChars;
  NTSTATUS status = Wdf<WdfUsbTargetDeviceQueryStringTableIndex>(
      device, device->UsbDevice, WDFREQUEST{nullptr}, PWDF_REQUEST_SEND_OPTIONS{nullptr}, text,
      &count, device->IProduct, kLanguageEnglishUs);
  if (!NT_SUCCESS(status) || count == 0 || count > kProductChars) return;
  if (text[count - 1] != 0) ++count;
  Trace(kTraceInfo, kMsgProductString, {count});
  const ULONG bytes = count * sizeof(WCHAR);
  for (const DEVPROPKEY* key : {&DEVPKEY_Device_FriendlyName, &DEVPKEY_Device_DeviceDesc}) {
    WDF_DEVICE_PROPERTY_DATA property;
    WDF_DEVICE_PROPERTY_DATA_INIT(&property, key);
    Wdf<WdfDeviceAssignPropertyTableIndex>(device, device->WdfDevice, &property,
                                           DEVPROP_TYPE_STRING, bytes, static_cast<PVOID>(text));
  }
}

NTSTATUS OpenDevice(SorvikDevice* device) {
  WDF_USB_DEVICE_CREATE_CONFIG config;
  WDF_USB_DEVICE_CREATE_CONFIG_INIT(&config, USBD_CLIENT_CONTRACT_VERSION_602);
  NTSTATUS status = Wdf<WdfUsbTargetDeviceCreateWithParametersTableIndex>(
      device, device->WdfDevice, &config, PWDF_OBJECT_ATTRIBUTES{nullptr}, &device->UsbDevice);
  if (!NT_SUCCESS(status) || !device->UsbDevice) {
    device->UsbDevice = nullptr;
    if (NT_SUCCESS(status)) status = STATUS_UNSUCCESSFUL;
    Trace(kTraceError, kMsgUsbTargetFailed, {static_cast<uint32_t>(status)});
    return status;
  }

  WDF_USB_DEVICE_INFORMATION info;
  WDF_USB_DEVICE_INFORMATION_INIT(&info);
  status = Wdf<WdfUsbTargetDeviceRetrieveInformationTableIndex>(device, device->UsbDevice, &info);
  if (NT_SUCCESS(status)) {
    device->UsbTraits = info.Traits;
    Trace(kTraceInfo, kMsgUsbInfo,
          {info.Traits, (info.Traits & WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED) ? 1u : 0u,
           (info.Traits & WDF_USB_DEVICE_TRAIT_SELF_POWERED) ? 1u : 0u});
  } else {
    Trace(kTraceError, kMsgUsbInfoFailed, {static_cast<uint32_t>(status)});
  }

  USB_DEVICE_DESCRIPTOR descriptor = {};
  Wdf<WdfUsbTargetDeviceGetDeviceDescriptorTableIndex>(device, device->UsbDevice, &descriptor);
  device->BcdUsb = descriptor.bcdUSB;
  device->IProduct = descriptor.iProduct;
  Trace(kTraceInfo, kMsgDescriptor, {descriptor.bcdUSB, descriptor.iProduct});

  WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
  WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
  status = Wdf<WdfUsbTargetDeviceSelectConfigTableIndex>(device, device->UsbDevice,
                                                         PWDF_OBJECT_ATTRIBUTES{nullptr}, &params);
  if (!NT_SUCCESS(status)) {
    Trace(kTraceError, kMsgSelectConfigFailed, {static_cast<uint32_t>(status)});
    return status;
  }

  device->UsbInterface =
      Wdf<WdfUsbTargetDeviceGetInterfaceTableIndex>(device, device->UsbDevice, UCHAR{0});
  if (device->UsbInterface)
    ClassifyPipes(device);
  else
    Trace(kTraceError, kMsgNoInterface);

  PublishProductString(device);

  status = device->IpMode ? InitDeviceIpMode(device) : InitDevice(device);
  if (!NT_SUCCESS(status)) {
    Trace(kTraceError, kMsgInitFailed, {static_cast<uint32_t>(status)});
    return status;
  }
  return ConfigInterruptReader(device);
}

}  // namespace vorn::display
