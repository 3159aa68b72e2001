// Plug and Play and power of the root hub and of each device's PDO.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/kernel/pool.h"
#include "platform/kernel/power.h"
#include "platform/usb/bus/usb_bus_internal.h"

namespace vorn::usb {
namespace {

constexpr ULONG kIdTag = PoolTag("UsbI");

// A pool copy of |strings| as a multi-string (|multi|) or a single string.
ULONG_PTR PoolStrings(const std::vector<WString>& strings, bool multi) {
  size_t chars = 1;
  for (auto& s : strings) chars += s.size() + 1;
  if (!multi) chars = strings.empty() ? 1 : strings[0].size() + 1;
  auto* out = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool | POOL_ZERO_ALLOCATION, chars * 2, kIdTag));
  if (!out) return 0;
  WCHAR* p = out;
  for (auto& s : strings) {
    std::memcpy(p, s.data(), s.size() * 2);
    p += s.size() + 1;
    if (!multi) break;
  }
  return reinterpret_cast<ULONG_PTR>(out);
}

WString Format(const char* format, unsigned a, unsigned b = 0, unsigned c = 0) {
  char text[96];
  snprintf(text, sizeof(text), format, a, b, c);
  return ToWString(text);
}

NTSTATUS RootPnp(DeviceExtension* ext, IRP* irp) {
  IO_STACK_LOCATION* st = IoGetCurrentIrpStackLocation(irp);
  UsbBus::Impl* bus = ext->bus;
  switch (st->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return CompleteNow(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
      DEVICE_OBJECT* root = bus->root;
      CompleteNow(irp, STATUS_SUCCESS);
      IoDeleteDevice(root);
      return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (st->Parameters.QueryDeviceRelations.Type != BusRelations) break;
      std::lock_guard<std::mutex> guard(bus->lock);
      ULONG count = 0;
      for (Port* p : bus->ports) count += p->reported ? 1 : 0;
      auto* rel = static_cast<DEVICE_RELATIONS*>(ExAllocatePoolWithTag(
          PagedPool, offsetof(DEVICE_RELATIONS, Objects) + sizeof(DEVICE_OBJECT*) * (count ? count : 1), kIdTag));
      if (!rel) return CompleteNow(irp, STATUS_INSUFFICIENT_RESOURCES);
      rel->Count = 0;
      for (Port* p : bus->ports) {
        if (!p->reported) continue;
        ObReferenceObject(p->pdo);
        rel->Objects[rel->Count++] = p->pdo;
      }
      return CompleteNow(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(rel));
    }
    case IRP_MN_QUERY_ID: {
      BUS_QUERY_ID_TYPE type = st->Parameters.QueryId.IdType;
      if (type == BusQueryDeviceID || type == BusQueryHardwareIDs) {
        ULONG_PTR s = PoolStrings({u"USB\\ROOT_HUB"}, type == BusQueryHardwareIDs);
        return CompleteNow(irp, s ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES, s);
      }
      if (type == BusQueryInstanceID) {
        ULONG_PTR s = PoolStrings({u"0"}, false);
        return CompleteNow(irp, s ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES, s);
      }
      break;
    }
    default:
      break;
  }
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS PdoCapabilities(Port* port, IRP* irp) {
  DEVICE_CAPABILITIES* caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
  if (!caps || caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES))
    return CompleteNow(irp, STATUS_UNSUCCESSFUL);
  caps->Removable = 1;
  caps->SurpriseRemovalOK = 1;
  caps->UniqueID = 0;
  caps->DeviceD1 = 0;
  caps->DeviceD2 = 1;
  caps->WakeFromD2 = port->options.remote_wakeup_capable;
  caps->Address = static_cast<ULONG>(port->number);
  caps->UINumber = static_cast<ULONG>(port->number);
  caps->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
  caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  caps->DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
  caps->DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
  caps->DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
  caps->DeviceState[PowerSystemHibernate] = PowerDeviceD3;
  caps->DeviceState[PowerSystemShutdown] = PowerDeviceD3;
  caps->SystemWake = port->options.remote_wakeup_capable ? PowerSystemSleeping3 : PowerSystemUnspecified;
  caps->DeviceWake = port->options.remote_wakeup_capable ? PowerDeviceD2 : PowerDeviceUnspecified;
  if (port->options.capabilities) port->options.capabilities(*caps);
  return CompleteNow(irp, STATUS_SUCCESS);
}

NTSTATUS PdoPnp(DEVICE_OBJECT* pdo, Port* port, IRP* irp) {
  IO_STACK_LOCATION* st = IoGetCurrentIrpStackLocation(irp);
  const USB_DEVICE_DESCRIPTOR& d = port->device_descriptor;
  switch (st->MinorFunction) {
    case IRP_MN_START_DEVICE:
      port->removed = false;
      return CompleteNow(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_EJECT:
      return CompleteNow(irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
      port->bus->CancelAll(port, false);
      return CompleteNow(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
      port->removed = true;
      port->bus->CancelAll(port, true);
      port->bus->PurgeChaos(port);
      if (auto* ww = static_cast<IRP*>(InterlockedExchangePointer(&port->wait_wake, nullptr))) {
        TakeBackFromCancel(ww);
        PoStartNextPowerIrp(ww);
        CompleteNow(ww, STATUS_CANCELLED);
      }
      UsbBus::Impl* bus = port->bus;
      bool gone;
      {
        std::lock_guard<std::mutex> guard(bus->lock);
        gone = !port->reported;
        if (gone) bus->ports.erase(std::find(bus->ports.begin(), bus->ports.end(), port));
      }
      CompleteNow(irp, STATUS_SUCCESS);
      if (gone) {
        IoDeleteDevice(pdo);
        delete port;
      }
      return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_CAPABILITIES:
      return PdoCapabilities(port, irp);
    case IRP_MN_QUERY_ID: {
      WString device_id = Format("USB\\VID_%04X&PID_%04X", d.idVendor, d.idProduct);
      std::vector<WString> ids;
      bool multi = true;
      switch (st->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
          ids = {device_id};
          multi = false;
          break;
        case BusQueryHardwareIDs:
          ids = {Format("USB\\VID_%04X&PID_%04X&REV_%04X", d.idVendor, d.idProduct, d.bcdDevice), device_id};
          break;
        case BusQueryCompatibleIDs: {
          auto* i = USBD_ParseConfigurationDescriptorEx(
              reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(port->config.data()), nullptr, -1, -1, -1, -1, -1);
          unsigned c = d.bDeviceClass, s = d.bDeviceSubClass, p = d.bDeviceProtocol;
          if (c == 0 && i) c = i->bInterfaceClass, s = i->bInterfaceSubClass, p = i->bInterfaceProtocol;
          ids = {Format("USB\\Class_%02X&SubClass_%02X&Prot_%02X", c, s, p), Format("USB\\Class_%02X&SubClass_%02X", c, s),
                 Format("USB\\Class_%02X", c)};
          break;
        }
        case BusQueryInstanceID:
          ids = {port->options.instance_id.empty() ? Format("%u", static_cast<unsigned>(port->number))
                                                   : port->options.instance_id};
          multi = false;
          break;
        default: {
          NTSTATUS status = irp->IoStatus.Status;
          IoCompleteRequest(irp, IO_NO_INCREMENT);
          return status;
        }
      }
      ULONG_PTR s = PoolStrings(ids, multi);
      return CompleteNow(irp, s ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES, s);
    }
    case IRP_MN_QUERY_DEVICE_TEXT: {
      WString text = st->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription
                         ? WString(u"USB Composite Device")
                         : Format("Port_#%04u.Hub_#0001", static_cast<unsigned>(port->number));
      ULONG_PTR s = PoolStrings({text}, false);
      return CompleteNow(irp, s ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES, s);
    }
    case IRP_MN_QUERY_BUS_INFORMATION: {
      auto* info = static_cast<PNP_BUS_INFORMATION*>(ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), kIdTag));
      if (!info) return CompleteNow(irp, STATUS_INSUFFICIENT_RESOURCES);
      *info = PNP_BUS_INFORMATION{GUID_BUS_TYPE_USB, PNPBus, 0};
      return CompleteNow(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(info));
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (st->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) break;
      auto* rel = static_cast<DEVICE_RELATIONS*>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kIdTag));
      if (!rel) return CompleteNow(irp, STATUS_INSUFFICIENT_RESOURCES);
      rel->Count = 1;
      rel->Objects[0] = pdo;
      ObReferenceObject(pdo);
      return CompleteNow(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(rel));
    }
    default:
      break;
  }
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void WaitWakeCancel(DEVICE_OBJECT* pdo, IRP* irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Port* port = Ext(pdo)->port;
  // Whoever takes the request back from the port completes it.
  if (InterlockedCompareExchangePointer(&port->wait_wake, nullptr, irp) == irp) {
    PoStartNextPowerIrp(irp);
    CompleteNow(irp, STATUS_CANCELLED);
  }
}

}  // namespace

NTSTATUS BusPnp(DEVICE_OBJECT* device, IRP* irp) {
  DeviceExtension* ext = Ext(device);
  if (ext->is_root) return RootPnp(ext, irp);
  return PdoPnp(device, ext->port, irp);
}

NTSTATUS BusPower(DEVICE_OBJECT* device, IRP* irp) {
  DeviceExtension* ext = Ext(device);
  IO_STACK_LOCATION* st = IoGetCurrentIrpStackLocation(irp);
  PoStartNextPowerIrp(irp);
  switch (st->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (st->Parameters.Power.Type == DevicePowerState) PoSetPowerState(device, DevicePowerState, st->Parameters.Power.State);
      return CompleteNow(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_POWER:
      return CompleteNow(irp, STATUS_SUCCESS);
    case IRP_MN_WAIT_WAKE: {
      if (ext->is_root) break;
      Port* port = ext->port;
      if (!port->options.remote_wakeup_capable || st->Parameters.WaitWake.PowerState > PowerSystemSleeping3)
        return CompleteNow(irp, STATUS_INVALID_DEVICE_STATE);
      IoMarkIrpPending(irp);
      if (InterlockedCompareExchangePointer(&port->wait_wake, irp, nullptr) != nullptr) {
        irp->IoStatus.Status = STATUS_DEVICE_BUSY;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
      }
      IoSetCancelRoutine(irp, WaitWakeCancel);
      if (Cancelled(irp) && IoSetCancelRoutine(irp, nullptr) &&
          InterlockedCompareExchangePointer(&port->wait_wake, nullptr, irp) == irp) {
        CompleteNow(irp, STATUS_CANCELLED);
      }
      return STATUS_PENDING;
    }
    default:
      break;
  }
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace vorn::usb
