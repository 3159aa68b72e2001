// What makes a child look like a USB device on a hub: its capabilities (from the station's
// own), ids, texts and bus information, and the interfaces it hands out on QUERY_INTERFACE
// (the location interface, the USB bus interface versions 0 to 3, the private child
// interface). Every answer is a fresh pool copy the caller frees.
#include <cstring>

#include "platform/kernel/sync.h"
#include "platform/kernel/usb.h"
#include "protocol/guids.h"
#include "station/bus/child_pdo_extension.h"
#include "station/bus/child_pdos.h"
#include "station/kernel_utils.h"
#include "station/station_extension.h"
#include "station/station_start.h"

namespace vorn::station {
namespace {

constexpr ULONG kCapabilitiesCleared = 0x74C2;  // D2, UniqueID, SilentInstall, wake from D0/D2/D3, disabled
constexpr ULONG kCapabilitiesSet = 0xA19;       // D1, eject, removable, surprise removal, wake from D1
constexpr ULONG kInstanceIdChars = 16;

constexpr USHORT kBusInterfaceSizes[] = {sizeof(USB_BUS_INTERFACE_USBDI_V0),
                                         sizeof(USB_BUS_INTERFACE_USBDI_V1),
                                         sizeof(USB_BUS_INTERFACE_USBDI_V2),
                                         sizeof(USB_BUS_INTERFACE_USBDI_V3)};

ChildPdoExtension* Child(PVOID context) { return static_cast<ChildPdoExtension*>(context); }

WCHAR* PoolCopy(const WCHAR* text, ULONG size, POOL_TYPE type = NonPagedPoolNx) {
  auto* p = static_cast<WCHAR*>(AllocatePool(type, size, kTagChild));
  if (p) std::memcpy(p, text, size);
  return p;
}

NTSTATUS AnswerCopy(IRP* irp, const WCHAR* text, ULONG size) {
  if (!text || !size) return STATUS_INVALID_DEVICE_REQUEST;
  WCHAR* copy = PoolCopy(text, size);
  if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(copy);
  return STATUS_SUCCESS;
}

// The USB bus interface routines. They run on the upper drivers' threads at up to
// DISPATCH_LEVEL and touch only the child's LastBusTime and the station's clock.
void BusGetUSBDIVersion(PVOID, USBD_VERSION_INFORMATION* version, ULONG* hcd_capabilities) {
  if (version) USBD_GetUSBDIVersion(version);
  if (hcd_capabilities) *hcd_capabilities = 1;
}

NTSTATUS BusQueryBusTime(PVOID context, ULONG* current_frame) {
  if (!current_frame) return STATUS_INVALID_PARAMETER;
  ChildPdoExtension* child = Child(context);
  auto frame = static_cast<ULONG>(MillisecondsSinceStart(Station(child->ParentFdo)));
  __atomic_store_n(&child->LastBusTime, frame, __ATOMIC_SEQ_CST);
  *current_frame = frame;
  return STATUS_SUCCESS;
}

NTSTATUS BusSubmitIsoOutUrb(PVOID, URB*) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS BusQueryBusInformation(PVOID, ULONG, PVOID, ULONG*, ULONG*) {
  return STATUS_INVALID_PARAMETER;
}

BOOLEAN BusIsDeviceHighSpeed(PVOID context) { return Child(context)->EmulatedBcdUsb == 0x0200; }

NTSTATUS BusEnumLogEntry(PVOID, ULONG, ULONG, ULONG, ULONG) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS BusQueryControllerType(PVOID, ULONG* option_flags, USHORT* vendor_id, USHORT* device_id,
                                UCHAR* class_code, UCHAR* subclass, UCHAR* revision,
                                UCHAR* programming_interface) {
  if (!option_flags || !vendor_id || !device_id || !class_code || !subclass || !revision ||
      !programming_interface)
    return STATUS_INVALID_PARAMETER;
  *vendor_id = 0x5D19;
  *device_id = 0x4B2E;
  *class_code = 0x0C;
  *subclass = 0x03;
  *revision = 0;
  *programming_interface = 0x20;
  return STATUS_SUCCESS;
}

NTSTATUS LocationInterface(ChildPdoExtension* child, IO_STACK_LOCATION* st) {
  if (st->Parameters.QueryInterface.Size < sizeof(PNP_LOCATION_INTERFACE))
    return STATUS_INVALID_PARAMETER;
  auto* out = reinterpret_cast<PNP_LOCATION_INTERFACE*>(st->Parameters.QueryInterface.Interface);
  out->Size = sizeof(PNP_LOCATION_INTERFACE);
  out->Version = st->Parameters.QueryInterface.Version;
  out->Context = child;
  out->InterfaceReference = ChildInterfaceReference;
  out->InterfaceDereference = ChildInterfaceDereference;
  out->GetLocationString = PdoGetLocationString;
  return STATUS_SUCCESS;
}

NTSTATUS BusInterface(ChildPdoExtension* child, IO_STACK_LOCATION* st) {
  const USHORT version = st->Parameters.QueryInterface.Version;
  if (version >= sizeof kBusInterfaceSizes / sizeof kBusInterfaceSizes[0] ||
      st->Parameters.QueryInterface.Size < kBusInterfaceSizes[version])
    return STATUS_INVALID_PARAMETER;
  USB_BUS_INTERFACE_USBDI_V3 bus{};
  bus.Size = kBusInterfaceSizes[version];
  bus.Version = version;
  bus.BusContext = child;
  bus.InterfaceReference = ChildInterfaceReference;
  bus.InterfaceDereference = ChildInterfaceDereference;
  bus.GetUSBDIVersion = BusGetUSBDIVersion;
  bus.QueryBusTime = BusQueryBusTime;
  bus.SubmitIsoOutUrb = BusSubmitIsoOutUrb;
  bus.QueryBusInformation = BusQueryBusInformation;
  bus.IsDeviceHighSpeed = BusIsDeviceHighSpeed;
  bus.EnumLogEntry = BusEnumLogEntry;
  bus.QueryBusTimeEx = BusQueryBusTime;
  bus.QueryControllerType = BusQueryControllerType;
  // Only as much as the version asked for: the caller's record may be no larger.
  std::memcpy(st->Parameters.QueryInterface.Interface, &bus, bus.Size);
  return STATUS_SUCCESS;
}

NTSTATUS PrivateInterface(ChildPdoExtension* child, IO_STACK_LOCATION* st) {
  if (st->Parameters.QueryInterface.Version != kStationChildInterfaceVersion ||
      st->Parameters.QueryInterface.Size < sizeof(StationChildInterface))
    return STATUS_INVALID_PARAMETER;
  StationChildInterface out{};
  out.Size = sizeof(StationChildInterface);
  out.Version = st->Parameters.QueryInterface.Version;
  out.Context = child;
  out.InterfaceReference = ChildInterfaceReference;
  out.InterfaceDereference = ChildInterfaceDereference;
  std::memcpy(st->Parameters.QueryInterface.Interface, &out, sizeof out);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS QueryParentCapabilities(StationExtension* station, DEVICE_CAPABILITIES* out) {
  std::memset(out, 0, sizeof *out);
  out->Size = sizeof(DEVICE_CAPABILITIES);
  out->Version = 1;
  out->Address = out->UINumber = 0xFFFFFFFF;
  DEVICE_OBJECT* top = IoGetAttachedDeviceReference(station->DeviceObject);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK io_status{};
  IRP* irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &done, &io_status);
  if (!irp) {
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IO_STACK_LOCATION* st = IoGetNextIrpStackLocation(irp);
  st->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
  st->Parameters.DeviceCapabilities.Capabilities = out;
  IoCallDriver(top, irp);
  // The event is set when the request completes, whether or not it was pended.
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = io_status.Status;
  ObDereferenceObject(top);
  return status;
}

NTSTATUS PdoQueryCapabilities(ChildPdoExtension* child, IRP* irp) {
  DEVICE_CAPABILITIES* caps =
      IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
  if (!caps || caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES))
    return STATUS_UNSUCCESSFUL;
  DEVICE_CAPABILITIES parent;
  NTSTATUS status = QueryParentCapabilities(Station(child->ParentFdo), &parent);
  if (!NT_SUCCESS(status)) return status;
  std::memcpy(caps->DeviceState, parent.DeviceState, sizeof caps->DeviceState);
  caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  if (caps->DeviceState[PowerSystemSleeping1] != PowerDeviceD0)
    caps->DeviceState[PowerSystemSleeping1] = PowerDeviceD1;
  for (SYSTEM_POWER_STATE s : {PowerSystemSleeping2, PowerSystemSleeping3})
    if (caps->DeviceState[s] != PowerDeviceD0) caps->DeviceState[s] = PowerDeviceD3;
  caps->DeviceWake = PowerDeviceD1;
  caps->D1Latency = caps->D2Latency = caps->D3Latency = 0;
  caps->Flags = (parent.Flags & ~kCapabilitiesCleared) | kCapabilitiesSet;
  caps->Address = caps->UINumber = child->ChildKey;
  return STATUS_SUCCESS;
}

NTSTATUS PdoQueryId(ChildPdoExtension* child, IRP* irp) {
  switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
    case BusQueryHardwareIDs:
      return AnswerCopy(irp, child->HardwareIds, child->HardwareIdsSize);
    case BusQueryCompatibleIDs:
      return AnswerCopy(irp, child->CompatibleIds, child->CompatibleIdsSize);
    case BusQueryInstanceID: {
      auto* id = static_cast<WCHAR*>(
          AllocatePool(NonPagedPoolNx, kInstanceIdChars * sizeof(WCHAR), kTagChild));
      if (!id) return STATUS_INSUFFICIENT_RESOURCES;
      static const char kHex[] = "0123456789ABCDEF";
      const UCHAR parts[] = {static_cast<UCHAR>(child->ChildKey >> 8),
                             static_cast<UCHAR>(child->ChildKey)};
      for (int i = 0; i < 2; ++i) {
        id[2 * i] = static_cast<WCHAR>(kHex[parts[i] >> 4]);
        id[2 * i + 1] = static_cast<WCHAR>(kHex[parts[i] & 0xF]);
      }
      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(id);
      return STATUS_SUCCESS;
    }
    default:
      return irp->IoStatus.Status;
  }
}

NTSTATUS PdoQueryDeviceText(ChildPdoExtension* child, IRP* irp) {
  const WCHAR* text = nullptr;
  ULONG size = 0;
  // Read as a number: the request may carry a text type this build has no name for.
  ULONG type;
  std::memcpy(&type, &IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceText.DeviceTextType,
              sizeof type);
  switch (type) {
    case DeviceTextDescription:
      text = child->DeviceText;
      size = child->DeviceTextSize;
      break;
    case DeviceTextLocationInformation:
      text = child->LocationText;
      size = child->LocationTextSize;
      break;
    default:
      return irp->IoStatus.Status;
  }
  if (irp->IoStatus.Information) return STATUS_SUCCESS;  // a filter above answered
  if (!text || !size) return irp->IoStatus.Status;
  WCHAR* copy = PoolCopy(text, size, PagedPool);
  if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(copy);
  return STATUS_SUCCESS;
}

NTSTATUS PdoQueryInterface(ChildPdoExtension* child, IRP* irp) {
  IO_STACK_LOCATION* st = IoGetCurrentIrpStackLocation(irp);
  const GUID* type = st->Parameters.QueryInterface.InterfaceType;
  if (!type || !st->Parameters.QueryInterface.Interface) return STATUS_INVALID_PARAMETER;
  NTSTATUS status;
  if (*type == GUID_PNP_LOCATION_INTERFACE)
    status = LocationInterface(child, st);
  else if (*type == USB_BUS_INTERFACE_USBDI_GUID)
    status = BusInterface(child, st);
  else if (*type == protocol::kChildInterfaceGuid)
    status = PrivateInterface(child, st);
  else
    return irp->IoStatus.Status;
  if (NT_SUCCESS(status)) ChildInterfaceReference(child);
  return status;
}

NTSTATUS PdoQueryBusInformation(ChildPdoExtension* child, IRP* irp) {
  auto* info = static_cast<PNP_BUS_INFORMATION*>(
      AllocatePool(PagedPool, sizeof(PNP_BUS_INFORMATION), kTagChild));
  if (!info) return STATUS_INSUFFICIENT_RESOURCES;
  info->BusTypeGuid = GUID_BUS_TYPE_USB;
  info->LegacyBusType = PNPBus;
  info->BusNumber = (child->ChildKey >> 8) & 0xFF;
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(info);
  return STATUS_SUCCESS;
}

NTSTATUS PdoGetLocationString(PVOID context, WCHAR** location_strings) {
  if (!location_strings || !context) return STATUS_INVALID_PARAMETER;
  ChildPdoExtension* child = Child(context);
  auto* copy = static_cast<WCHAR*>(AllocatePool(NonPagedPoolNx, child->LocationTextSize, kTagLocation));
  if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
  if (child->LocationText) std::memcpy(copy, child->LocationText, child->LocationTextSize);
  *location_strings = copy;
  return STATUS_SUCCESS;
}

}  // namespace vorn::station
