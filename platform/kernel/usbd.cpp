#include <algorithm>
#include <cstring>

#include "platform/kernel/pool.h"
#include "platform/kernel/usb.h"

void USBD_GetUSBDIVersion(USBD_VERSION_INFORMATION* info) {
  if (!info) return;
  info->USBDI_Version = 0x600;
  info->Supported_USB_Version = 0x200;
}

USB_COMMON_DESCRIPTOR* USBD_ParseDescriptors(PVOID descriptors, ULONG length, PVOID start, LONG type) {
  auto* p = static_cast<uint8_t*>(start);
  auto* end = static_cast<uint8_t*>(descriptors) + length;
  while (p && p + 2 <= end) {
    auto* d = reinterpret_cast<USB_COMMON_DESCRIPTOR*>(p);
    if (d->bLength < 2 || p + d->bLength > end) return nullptr;  // a malformed set ends the walk
    if (d->bDescriptorType == type) return d;
    p += d->bLength;
  }
  return nullptr;
}

USB_INTERFACE_DESCRIPTOR* USBD_ParseConfigurationDescriptorEx(
    USB_CONFIGURATION_DESCRIPTOR* config, PVOID start, LONG number, LONG alternate, LONG cls,
    LONG subclass, LONG protocol) {
  if (!config) return nullptr;
  ULONG total = config->wTotalLength;
  auto* p = static_cast<uint8_t*>(start ? start : config);
  for (;;) {
    auto* d = USBD_ParseDescriptors(config, total, p, USB_INTERFACE_DESCRIPTOR_TYPE);
    if (!d) return nullptr;
    auto* i = reinterpret_cast<USB_INTERFACE_DESCRIPTOR*>(d);
    if (d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
        (number == -1 || i->bInterfaceNumber == number) && (alternate == -1 || i->bAlternateSetting == alternate) &&
        (cls == -1 || i->bInterfaceClass == cls) && (subclass == -1 || i->bInterfaceSubClass == subclass) &&
        (protocol == -1 || i->bInterfaceProtocol == protocol))
      return i;
    p = reinterpret_cast<uint8_t*>(d) + d->bLength;
  }
}

PURB USBD_CreateConfigurationRequestEx(USB_CONFIGURATION_DESCRIPTOR* config, USBD_INTERFACE_LIST_ENTRY* list) {
  if (!config || !list) return nullptr;
  size_t size = offsetof(_URB_SELECT_CONFIGURATION, Interface);
  ULONG count = 0;
  for (auto* e = list; e->InterfaceDescriptor; ++e, ++count) {
    ULONG pipes = e->InterfaceDescriptor->bNumEndpoints;
    size += offsetof(USBD_INTERFACE_INFORMATION, Pipes) + std::max<ULONG>(pipes, 1) * sizeof(USBD_PIPE_INFORMATION);
  }
  if (count == 0) return nullptr;
  size = std::max(size, sizeof(_URB_SELECT_CONFIGURATION));
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx | POOL_ZERO_ALLOCATION, size, PoolTag("USBD")));
  if (!urb) return nullptr;
  auto* p = reinterpret_cast<uint8_t*>(&urb->UrbSelectConfiguration.Interface);
  for (auto* e = list; e->InterfaceDescriptor; ++e) {
    auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(p);
    ULONG pipes = e->InterfaceDescriptor->bNumEndpoints;
    info->Length = static_cast<USHORT>(offsetof(USBD_INTERFACE_INFORMATION, Pipes) + std::max<ULONG>(pipes, 1) * sizeof(USBD_PIPE_INFORMATION));
    info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
    info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
    info->NumberOfPipes = pipes;
    for (ULONG i = 0; i < pipes; ++i) info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    e->Interface = info;
    p += info->Length;
  }
  UsbBuildSelectConfigurationRequest(urb, static_cast<USHORT>(size), config);
  return urb;
}

void UsbBuildGetDescriptorRequest(PURB urb, USHORT length, UCHAR type, UCHAR index, USHORT language,
                                  PVOID buffer, PMDL mdl, ULONG buffer_length, PURB link) {
  auto& r = urb->UrbControlDescriptorRequest;
  r.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  r.Hdr.Length = length;
  r.TransferBufferLength = buffer_length;
  r.TransferBufferMDL = mdl;
  r.TransferBuffer = buffer;
  r.DescriptorType = type;
  r.Index = index;
  r.LanguageId = language;
  r.UrbLink = link;
}

void UsbBuildSelectConfigurationRequest(PURB urb, USHORT length, USB_CONFIGURATION_DESCRIPTOR* config) {
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbHeader.Length = length;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = config;
}

void UsbBuildInterruptOrBulkTransferRequest(PURB urb, USHORT length, USBD_PIPE_HANDLE pipe, PVOID buffer,
                                            PMDL mdl, ULONG buffer_length, ULONG flags, PURB link) {
  auto& r = urb->UrbBulkOrInterruptTransfer;
  r.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  r.Hdr.Length = length;
  r.PipeHandle = pipe;
  r.TransferBufferLength = buffer_length;
  r.TransferBufferMDL = mdl;
  r.TransferBuffer = buffer;
  r.TransferFlags = flags;
  r.UrbLink = link;
}

void UsbBuildVendorRequest(PURB urb, USHORT function, USHORT length, ULONG flags, UCHAR reserved_bits,
                           UCHAR request, USHORT value, USHORT index, PVOID buffer, PMDL mdl,
                           ULONG buffer_length, PURB link) {
  auto& r = urb->UrbControlVendorClassRequest;
  r.Hdr.Function = function;
  r.Hdr.Length = length;
  r.TransferBufferLength = buffer_length;
  r.TransferBufferMDL = mdl;
  r.TransferBuffer = buffer;
  r.RequestTypeReservedBits = reserved_bits;
  r.Request = request;
  r.Value = value;
  r.Index = index;
  r.TransferFlags = flags;
  r.UrbLink = link;
}
