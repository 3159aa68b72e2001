// Internal device-control requests of a child device: the port requests and the URBs, which
// the station answers as the USB stack of a device that has no bus of its own. Runs on the
// caller's thread at the caller's IRQL and takes no lock; the module's operations decide
// whether the child accepts transfers at all.
#include <algorithm>
#include <cstring>

#include "station/bus/child_pdo_extension.h"
#include "station/bus/urb_handlers.h"
#include "station/dispatch.h"
#include "station/driver_globals.h"
#include "station/kernel_utils.h"

namespace vorn::station {
namespace {

constexpr ULONG kPagePriorityNormal = 0x10;

const FunctionModuleOps* OpsOf(ChildPdoExtension* child) { return child ? child->Ops : nullptr; }

// The caller's buffer of a transfer-shaped URB: TransferBuffer, else the system address of
// TransferBufferMDL; null when neither gives a valid address.
PVOID UrbBuffer(PVOID buffer, PMDL mdl) {
  PVOID address = buffer;
  if (!address && mdl) {
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
      address = mdl->MappedSystemVa;
    } else {
      ULONG mask = g_StationGlobals ? g_StationGlobals->MmAddressMask : 0;
      address = MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, 0,
                                             mask | kPagePriorityNormal);
    }
  }
  if (address && !MmIsAddressValid(address)) return nullptr;
  return address;
}

NTSTATUS Fail(ULONG* usbd_status, USBD_STATUS usbd, NTSTATUS status) {
  *usbd_status = static_cast<ULONG>(usbd);
  return status;
}

ULONG& StatusOf(URB* urb) { return reinterpret_cast<ULONG&>(urb->UrbHeader.Status); }

// Self-powered and remote wake-up bits of a GET_STATUS answer for the device.
UCHAR DeviceStatusBits(const ChildPdoExtension* child) {
  UCHAR bits = 0;
  if (child->ConfigAttributes & 0x40) bits |= 0x01;
  if (child->ConfigAttributes & 0x20) bits |= 0x02;
  return bits;
}

const USB_DEVICE_DESCRIPTOR* DeviceDescriptorOf(ChildPdoExtension* child) {
  const FunctionModuleOps* ops = OpsOf(child);
  if (!ops || !ops->GetDeviceDescriptor) return nullptr;
  return reinterpret_cast<const USB_DEVICE_DESCRIPTOR*>(ops->GetDeviceDescriptor(child->ModuleContext));
}

// Copies the module's interface record over the caller's, keeping the caller's Length.
void CopyInterfaceRecord(USBD_INTERFACE_INFORMATION* to, const USBD_INTERFACE_INFORMATION* from) {
  USHORT length = to->Length;
  std::memcpy(to, from, std::min(from->Length, length));
  to->Length = length;
}

// The byte count a caller record must have for its pipe records to lie inside it.
bool RecordHoldsItsPipes(const USBD_INTERFACE_INFORMATION* record, ULONG pipes) {
  return record->Length >= offsetof(USBD_INTERFACE_INFORMATION, Pipes) +
                               uint64_t{pipes} * sizeof(USBD_PIPE_INFORMATION);
}

}  // namespace

USHORT MinimumUrbLength(USHORT function) {
  switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: return 84;
    case URB_FUNCTION_SELECT_INTERFACE: return 56;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: return 40;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return 128;
    case URB_FUNCTION_ISOCH_TRANSFER: return 152;
    case URB_FUNCTION_CONTROL_TRANSFER:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: return 136;
    default: return 0;
  }
}

NTSTATUS PdoInternalDeviceControl(DEVICE_OBJECT* device, IRP* irp) {
  auto* child = static_cast<ChildPdoExtension*>(device->DeviceExtension);
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  PVOID argument = stack->Parameters.Others.Argument1;
  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: {
      bool pending = false;
      status = DispatchUrb(child, irp, static_cast<URB*>(argument), &pending);
      if (pending) return status;
      break;
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
      status = STATUS_SUCCESS;
      break;
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
      if (argument)
        *static_cast<ULONG*>(argument) =
            child->State == kChildStarted ? USBD_PORT_ENABLED | USBD_PORT_CONNECTED : 0;
      status = argument ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
      break;
    case IOCTL_INTERNAL_USB_GET_TOPOLOGY_ADDRESS:
      if (argument) std::memset(argument, 0, 32);
      status = argument ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST;
      break;
    default:
      if (child->Ops && child->Ops->InternalIoctl) {
        bool pending = false;
        child->Ops->InternalIoctl(child->ModuleContext, irp, &pending);
        if (pending) return STATUS_PENDING;
      }
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  return CompleteIrp(irp, status, 0);
}

NTSTATUS DispatchUrb(ChildPdoExtension* child, IRP* irp, URB* urb, bool* pending) {
  if (!urb) return STATUS_INVALID_DEVICE_REQUEST;
  *pending = false;
  StatusOf(urb) = static_cast<ULONG>(USBD_STATUS_NOT_SUPPORTED);
  USHORT function = urb->UrbHeader.Function;
  USHORT minimum = MinimumUrbLength(function);
  if (minimum == 0) return STATUS_INVALID_DEVICE_REQUEST;
  if (urb->UrbHeader.Length < minimum)
    return Fail(&StatusOf(urb), USBD_STATUS_DATA_BUFFER_ERROR, STATUS_INVALID_DEVICE_REQUEST);
  switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: return UrbSelectConfiguration(child, urb);
    case URB_FUNCTION_SELECT_INTERFACE: return UrbSelectInterface(child, urb);
    case URB_FUNCTION_ABORT_PIPE: return UrbPipeRequest(child, urb, kPipeActionAbort);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
      return UrbPipeRequest(child, urb, kPipeActionResetAndClearStall);
    case URB_FUNCTION_SYNC_RESET_PIPE: return UrbPipeRequest(child, urb, kPipeActionReset);
    case URB_FUNCTION_SYNC_CLEAR_STALL: return UrbPipeRequest(child, urb, kPipeActionClearStall);
    case URB_FUNCTION_CONTROL_TRANSFER: return UrbControlTransfer(child, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return UrbBulkOrInterruptTransfer(child, irp, urb, pending);
    case URB_FUNCTION_ISOCH_TRANSFER: return UrbIsochTransfer(child, irp, urb, pending);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return UrbGetDescriptor(child, urb);
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT: return UrbGetStatus(child, urb);
    default:
      // Vendor and class requests. A failing NTSTATUS is returned as such, whatever the URB
      // status says; a URB status that still reads success is made a failure too.
      {
        NTSTATUS status = UrbVendorClassRequest(child, urb);
        if (!NT_SUCCESS(status) && (StatusOf(urb) & 0x80000000U) == 0)
          StatusOf(urb) = static_cast<ULONG>(USBD_STATUS_NOT_ACCESSED);
        return status;
      }
  }
}

NTSTATUS FindInterfaceInfo(ChildPdoExtension* child, PVOID handle, UCHAR number, UCHAR alternate,
                           USBD_INTERFACE_INFORMATION** out, ULONG* usbd_status) {
  *usbd_status = static_cast<ULONG>(USBD_STATUS_NOT_SUPPORTED);
  *out = nullptr;
  const FunctionModuleOps* ops = OpsOf(child);
  if (!ops || !ops->GetDeviceDescriptor || !ops->GetConfigDescriptor || !ops->GetInterfaceList)
    return STATUS_NOT_SUPPORTED;
  const USB_DEVICE_DESCRIPTOR* device = DeviceDescriptorOf(child);
  if (!device || !handle) return STATUS_NOT_SUPPORTED;
  const USB_CONFIGURATION_DESCRIPTOR* config = nullptr;
  for (UCHAR i = 0; i < device->bNumConfigurations; ++i) {
    auto* c = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(
        ops->GetConfigDescriptor(child->ModuleContext, i));
    if (c && c == handle) {
      config = c;
      break;
    }
  }
  if (!config) return STATUS_NOT_SUPPORTED;
  UCHAR count = 0;
  USBD_INTERFACE_INFORMATION** list = ops->GetInterfaceList(
      child->ModuleContext, static_cast<UCHAR>(config->bConfigurationValue - 1), &count);
  for (UCHAR i = 0; list && i < count; ++i) {
    if (list[i] && list[i]->InterfaceNumber == number && list[i]->AlternateSetting == alternate) {
      *out = list[i];
      *usbd_status = USBD_STATUS_SUCCESS;
      return STATUS_SUCCESS;
    }
  }
  return Fail(usbd_status, USBD_STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES);
}

NTSTATUS FindPipeInfo(ChildPdoExtension* child, PVOID handle,
                      USBD_INTERFACE_INFORMATION** interface_out,
                      USBD_PIPE_INFORMATION** pipe_out, ULONG* usbd_status) {
  *interface_out = nullptr;
  *pipe_out = nullptr;
  const FunctionModuleOps* ops = OpsOf(child);
  const USB_DEVICE_DESCRIPTOR* device = DeviceDescriptorOf(child);
  if (ops && ops->GetInterfaceList && device && handle) {
    for (UCHAR c = 0; c < device->bNumConfigurations; ++c) {
      UCHAR count = 0;
      USBD_INTERFACE_INFORMATION** list = ops->GetInterfaceList(child->ModuleContext, c, &count);
      for (UCHAR i = 0; list && i < count; ++i) {
        USBD_INTERFACE_INFORMATION* info = list[i];
        for (ULONG p = 0; info && p < info->NumberOfPipes; ++p) {
          if (info->Pipes[p].PipeHandle == handle) {
            *interface_out = info;
            *pipe_out = &info->Pipes[p];
            *usbd_status = USBD_STATUS_SUCCESS;
            return STATUS_SUCCESS;
          }
        }
      }
    }
  }
  return Fail(usbd_status, USBD_STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES);
}

NTSTATUS UrbSelectConfiguration(ChildPdoExtension* child, URB* urb) {
  auto& r = urb->UrbSelectConfiguration;
  ULONG& usbd = StatusOf(urb);
  if (!r.ConfigurationDescriptor) {
    usbd = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
  }
  const FunctionModuleOps* ops = OpsOf(child);
  UCHAR index = static_cast<UCHAR>(r.ConfigurationDescriptor->bConfigurationValue - 1);
  auto* config = ops && ops->GetConfigDescriptor
                     ? reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(
                           ops->GetConfigDescriptor(child->ModuleContext, index))
                     : nullptr;
  if (!config) return Fail(&usbd, USBD_STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED);
  UCHAR count = 0;
  USBD_INTERFACE_INFORMATION** list =
      ops->GetInterfaceList ? ops->GetInterfaceList(child->ModuleContext, index, &count) : nullptr;

  // Every caller record must lie inside the URB and hold its own header, so the walk never
  // leaves the caller's block nor stands still on a record of Length 0.
  const ULONG urb_length = urb->UrbHeader.Length;
  const ULONG first = offsetof(_URB_SELECT_CONFIGURATION, Interface);
  const ULONG record_head = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
  ULONG offset = first;
  const UCHAR interfaces = r.ConfigurationDescriptor->bNumInterfaces;
  for (UCHAR i = 0; i < interfaces; ++i) {
    if (offset + record_head > urb_length) break;
    auto* record = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(reinterpret_cast<UCHAR*>(urb) + offset);
    if (record->Length < record_head || offset + record->Length > urb_length) break;
    offset += record->Length;
    if (i + 1 == interfaces) offset = ~0U;  // all checked
  }
  if (interfaces && offset != ~0U)
    return Fail(&usbd, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);

  child->ConfigAttributes = config->bmAttributes;
  r.ConfigurationHandle = const_cast<USB_CONFIGURATION_DESCRIPTOR*>(config);
  usbd = USBD_STATUS_SUCCESS;
  offset = first;
  for (UCHAR i = 0; i < interfaces; ++i) {
    auto* record = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(reinterpret_cast<UCHAR*>(urb) + offset);
    const USBD_INTERFACE_INFORMATION* found = nullptr;
    for (UCHAR k = 0; list && k < count && !found; ++k)
      if (list[k] && list[k]->InterfaceNumber == record->InterfaceNumber &&
          list[k]->AlternateSetting == record->AlternateSetting)
        found = list[k];
    if (!found) return Fail(&usbd, USBD_STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED);
    CopyInterfaceRecord(record, found);
    // The copied pipe count must not describe more pipe records than the caller's holds.
    if (!RecordHoldsItsPipes(record, record->NumberOfPipes))
      record->NumberOfPipes = (record->Length - record_head) / sizeof(USBD_PIPE_INFORMATION);
    offset += record->Length;
  }
  return STATUS_SUCCESS;
}

NTSTATUS UrbSelectInterface(ChildPdoExtension* child, URB* urb) {
  auto& r = urb->UrbSelectInterface;
  ULONG& usbd = StatusOf(urb);
  const ULONG record_offset = offsetof(_URB_SELECT_INTERFACE, Interface);
  if (r.Interface.Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) ||
      record_offset + r.Interface.Length > urb->UrbHeader.Length)
    return Fail(&usbd, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  USBD_INTERFACE_INFORMATION* found = nullptr;
  ULONG ignored = 0;
  if (!NT_SUCCESS(FindInterfaceInfo(child, r.ConfigurationHandle, r.Interface.InterfaceNumber,
                                    r.Interface.AlternateSetting, &found, &ignored)))
    return Fail(&usbd, USBD_STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED);
  CopyInterfaceRecord(&r.Interface, found);
  if (!RecordHoldsItsPipes(&r.Interface, r.Interface.NumberOfPipes))
    r.Interface.NumberOfPipes = (r.Interface.Length - offsetof(USBD_INTERFACE_INFORMATION, Pipes)) /
                                sizeof(USBD_PIPE_INFORMATION);
  const FunctionModuleOps* ops = OpsOf(child);
  if (!ops->SelectInterface) {
    usbd = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
  }
  return ops->SelectInterface(child->ModuleContext, &usbd, found->InterfaceNumber,
                              found->AlternateSetting);
}

NTSTATUS UrbPipeRequest(ChildPdoExtension* child, URB* urb, UCHAR action) {
  ULONG& usbd = StatusOf(urb);
  USBD_INTERFACE_INFORMATION* interface = nullptr;
  USBD_PIPE_INFORMATION* pipe = nullptr;
  NTSTATUS status = FindPipeInfo(child, urb->UrbPipeRequest.PipeHandle, &interface, &pipe, &usbd);
  if (!NT_SUCCESS(status)) return status;
  const FunctionModuleOps* ops = OpsOf(child);
  if (!ops->PipeRequest) {
    usbd = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
  }
  return ops->PipeRequest(child->ModuleContext, &usbd, interface, pipe, &action);
}

NTSTATUS UrbControlTransfer(ChildPdoExtension* child, URB* urb) {
  auto& r = urb->UrbControlTransfer;
  ULONG& usbd = StatusOf(urb);
  const UCHAR request_type = r.SetupPacket[0];
  const UCHAR request = r.SetupPacket[1];
  USHORT value, index, setup_length;
  std::memcpy(&value, &r.SetupPacket[2], 2);
  std::memcpy(&index, &r.SetupPacket[4], 2);
  std::memcpy(&setup_length, &r.SetupPacket[6], 2);
  PVOID buffer = r.TransferBufferLength ? UrbBuffer(r.TransferBuffer, r.TransferBufferMDL) : nullptr;
  const UCHAR recipient = request_type & 3;

  if ((request_type & 0x60) == 0x40) {
    // The setup's wLength is what the chip may write: it must fit the caller's buffer.
    if (setup_length > r.TransferBufferLength || (setup_length && !buffer))
      return Fail(&usbd, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    const FunctionModuleOps* ops = OpsOf(child);
    if (!ops || !ops->ControlRequest)
      return Fail(&usbd, USBD_STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED);
    static constexpr USHORT kVendorFunction[4] = {URB_FUNCTION_VENDOR_DEVICE, URB_FUNCTION_VENDOR_INTERFACE,
                                                  URB_FUNCTION_VENDOR_ENDPOINT, URB_FUNCTION_VENDOR_OTHER};
    return ops->ControlRequest(child->ModuleContext, &usbd, r.TransferFlags, kVendorFunction[recipient],
                               request, value, index, 0, buffer, setup_length, &r.TransferBufferLength);
  }
  if ((request_type & 0x60) == 0 && request == 0 && (request_type & 0x80)) {
    if (buffer) std::memset(buffer, 0, r.TransferBufferLength);
    if (recipient == 0) {
      if (!buffer || r.TransferBufferLength < 2)
        return Fail(&usbd, USBD_STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED);
      static_cast<UCHAR*>(buffer)[0] = DeviceStatusBits(child);
    } else if (recipient == 3) {
      return Fail(&usbd, USBD_STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED);
    }
    usbd = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
  }
  return Fail(&usbd, USBD_STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED);
}

NTSTATUS UrbVendorClassRequest(ChildPdoExtension* child, URB* urb) {
  auto& r = urb->UrbControlVendorClassRequest;
  ULONG& usbd = StatusOf(urb);
  PVOID buffer = nullptr;
  if (r.TransferBufferLength) {
    buffer = UrbBuffer(r.TransferBuffer, r.TransferBufferMDL);
    if (!buffer) return Fail(&usbd, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  }
  const FunctionModuleOps* ops = OpsOf(child);
  if (!ops || !ops->ControlRequest) return Fail(&usbd, USBD_STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED);
  return ops->ControlRequest(child->ModuleContext, &usbd, r.TransferFlags, r.Hdr.Function, r.Request,
                             r.Value, r.Index, r.Reserved1, buffer, r.TransferBufferLength,
                             &r.TransferBufferLength);
}

NTSTATUS UrbBulkOrInterruptTransfer(ChildPdoExtension* child, IRP* irp, URB* urb, bool* pending) {
  auto& r = urb->UrbBulkOrInterruptTransfer;
  ULONG& usbd = StatusOf(urb);
  PVOID buffer = r.TransferBufferLength ? UrbBuffer(r.TransferBuffer, r.TransferBufferMDL) : nullptr;
  if (!buffer) return Fail(&usbd, USBD_STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES);
  USBD_INTERFACE_INFORMATION* interface = nullptr;
  USBD_PIPE_INFORMATION* pipe = nullptr;
  NTSTATUS status = FindPipeInfo(child, r.PipeHandle, &interface, &pipe, &usbd);
  if (!NT_SUCCESS(status)) return status;
  const FunctionModuleOps* ops = OpsOf(child);
  if (!ops->BulkTransfer) return Fail(&usbd, USBD_STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED);
  // The module sees the URB's transfer through the IRP; it reads the direction from the flags.
  return ops->BulkTransfer(child->ModuleContext, irp, &usbd, pending, interface, pipe, buffer,
                           r.TransferBufferLength, &r.TransferBufferLength);
}

NTSTATUS UrbIsochTransfer(ChildPdoExtension* child, IRP* irp, URB* urb, bool* pending) {
  auto& r = urb->UrbIsochronousTransfer;
  ULONG& usbd = StatusOf(urb);
  // The packet records the caller declares must lie inside its URB.
  const uint64_t needed = offsetof(_URB_ISOCH_TRANSFER, IsoPacket) +
                         uint64_t{r.NumberOfPackets} * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
  if (r.NumberOfPackets == 0 || needed > urb->UrbHeader.Length)
    return Fail(&usbd, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  PVOID buffer = r.TransferBufferLength ? UrbBuffer(r.TransferBuffer, r.TransferBufferMDL) : nullptr;
  if (!buffer) return Fail(&usbd, USBD_STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES);
  USBD_INTERFACE_INFORMATION* interface = nullptr;
  USBD_PIPE_INFORMATION* pipe = nullptr;
  NTSTATUS status = FindPipeInfo(child, r.PipeHandle, &interface, &pipe, &usbd);
  if (!NT_SUCCESS(status)) return status;
  const FunctionModuleOps* ops = OpsOf(child);
  if (!ops->IsochTransfer) return Fail(&usbd, USBD_STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED);
  return ops->IsochTransfer(child->ModuleContext, irp, urb, pending, interface, pipe, buffer);
}

NTSTATUS UrbGetDescriptor(ChildPdoExtension* child, URB* urb) {
  auto& r = urb->UrbControlDescriptorRequest;
  ULONG& usbd = StatusOf(urb);
  const ULONG length = r.TransferBufferLength;
  auto* buffer = static_cast<UCHAR*>(length ? UrbBuffer(r.TransferBuffer, r.TransferBufferMDL) : nullptr);
  if (!buffer) return Fail(&usbd, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  const FunctionModuleOps* ops = OpsOf(child);
  // Each answer reports the bytes it wrote in TransferBufferLength, never more.
  switch (r.DescriptorType) {
    case USB_DEVICE_DESCRIPTOR_TYPE: {
      if (length < sizeof(USB_DEVICE_DESCRIPTOR))
        return Fail(&usbd, USBD_STATUS_BUFFER_TOO_SMALL, STATUS_BUFFER_TOO_SMALL);
      const USB_DEVICE_DESCRIPTOR* device = DeviceDescriptorOf(child);
      if (!device) return Fail(&usbd, USBD_STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED);
      std::memcpy(buffer, device, sizeof *device);
      r.TransferBufferLength = sizeof *device;
      usbd = USBD_STATUS_SUCCESS;
      return STATUS_SUCCESS;
    }
    case USB_CONFIGURATION_DESCRIPTOR_TYPE: {
      if (length < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return Fail(&usbd, USBD_STATUS_BUFFER_TOO_SMALL, STATUS_BUFFER_TOO_SMALL);
      auto* config = ops && ops->GetConfigDescriptor
                         ? reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(
                               ops->GetConfigDescriptor(child->ModuleContext, r.Index))
                         : nullptr;
      if (!config) return Fail(&usbd, USBD_STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED);
      ULONG bytes = length >= config->wTotalLength ? config->wTotalLength
                                                   : ULONG{sizeof(USB_CONFIGURATION_DESCRIPTOR)};
      std::memcpy(buffer, config, bytes);
      r.TransferBufferLength = bytes;
      usbd = USBD_STATUS_SUCCESS;
      return STATUS_SUCCESS;
    }
    case USB_STRING_DESCRIPTOR_TYPE: {
      std::memset(buffer, 0, length);
      if (length < 2) return Fail(&usbd, USBD_STATUS_BUFFER_TOO_SMALL, STATUS_BUFFER_TOO_SMALL);
      if (!ops || !ops->GetStringDescriptor)
        return Fail(&usbd, USBD_STATUS_NOT_SUPPORTED, STATUS_UNSUCCESSFUL);
      if (r.Index == 0) {
        buffer[0] = 4;
        buffer[1] = USB_STRING_DESCRIPTOR_TYPE;
        if (length >= 4) {
          buffer[2] = 0x09;
          buffer[3] = 0x04;
          r.TransferBufferLength = 4;
        } else {
          r.TransferBufferLength = 2;
        }
        usbd = USBD_STATUS_SUCCESS;
        return STATUS_SUCCESS;
      }
      const WCHAR* text = nullptr;
      ULONG bytes = 0;
      NTSTATUS status = ops->GetStringDescriptor(child->ModuleContext, &usbd, r.Index, r.LanguageId,
                                                 &text, &bytes);
      if (!NT_SUCCESS(status)) return status;
      // bLength is one byte: a text that does not fit one descriptor is refused rather than
      // announced with a wrapped length.
      if (bytes + 2 > 0xFF || (bytes && !text))
        return Fail(&usbd, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
      const ULONG descriptor_length = bytes + 2;
      buffer[0] = static_cast<UCHAR>(descriptor_length);
      buffer[1] = USB_STRING_DESCRIPTOR_TYPE;
      if (length >= descriptor_length) {
        std::memcpy(buffer + 2, text, bytes);
        r.TransferBufferLength = descriptor_length;
      } else {
        r.TransferBufferLength = 2;
      }
      usbd = USBD_STATUS_SUCCESS;
      return STATUS_SUCCESS;
    }
    default:
      return Fail(&usbd, USBD_STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED);
  }
}

NTSTATUS UrbGetStatus(ChildPdoExtension* child, URB* urb) {
  auto& r = urb->UrbControlGetStatusRequest;
  ULONG& usbd = StatusOf(urb);
  if (r.Hdr.Function == URB_FUNCTION_GET_STATUS_FROM_DEVICE) {
    auto* buffer = static_cast<UCHAR*>(
        r.TransferBufferLength >= 2 ? UrbBuffer(r.TransferBuffer, r.TransferBufferMDL) : nullptr);
    if (!buffer) return Fail(&usbd, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    buffer[0] = DeviceStatusBits(child);
  }
  usbd = USBD_STATUS_SUCCESS;
  return STATUS_SUCCESS;
}

}  // namespace vorn::station
