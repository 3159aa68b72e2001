// The station's functional device object: AddDevice, the I/O count, synchronous requests to
// the USB stack below, and the Plug and Play requests that move the station through its
// states.
#include <cstring>

#include "platform/kernel/power.h"
#include "protocol/guids.h"
#include "station/dispatch.h"
#include "station/driver_globals.h"
#include "station/bus/child_pdos.h"
#include "station/kernel_utils.h"
#include "station/registry.h"
#include "station/station_start.h"

namespace vorn::station {


namespace {

constexpr ULONG kErrorCodeStarted = 0;
constexpr ULONG kErrorCodeFailed = 10;
constexpr ULONG kMaxInterfaceTries = 256;

void SetState(StationExtension* station, ULONG state, bool remember) {
  KIRQL irql;
  KeAcquireSpinLock(&station->StateLock, &irql);
  if (remember) station->PreviousState = station->FdoState;
  __atomic_store_n(&station->FdoState, state, __ATOMIC_SEQ_CST);
  KeReleaseSpinLock(&station->StateLock, irql);
}

ULONG GetState(StationExtension* station) {
  KIRQL irql;
  KeAcquireSpinLock(&station->StateLock, &irql);
  ULONG state = station->FdoState;
  KeReleaseSpinLock(&station->StateLock, irql);
  return state;
}

// Returns once no request holds the count but the initial reference.
void WaitForIoIdle(StationExtension* station) {
  for (;;) {
    KIRQL irql;
    KeAcquireSpinLock(&station->IoCountLock, &irql);
    ULONG count = station->IoCount;
    KeReleaseSpinLock(&station->IoCountLock, irql);
    if (count <= 1) return;
    KeWaitForSingleObject(&station->IoIdleEvent, Executive, KernelMode, FALSE, nullptr);
  }
}

NTSTATUS SignalDone(DEVICE_OBJECT*, IRP*, PVOID context) {
  KeSetEvent(static_cast<KEVENT*>(context), 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends |irp| down with its stack location copied and waits; the IRP's status is the result.
NTSTATUS ForwardSync(StationExtension* station, IRP* irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(station->LowerDeviceObject, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

NTSTATUS PassDown(StationExtension* station, IRP* irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(station->LowerDeviceObject, irp);
}

void FreeString(UNICODE_STRING* s) {
  if (s->Buffer) RtlFreeUnicodeString(s);
  *s = UNICODE_STRING{};
}

NTSTATUS ReadDescriptor(StationExtension* station, UCHAR type, void* buffer, ULONG length) {
  URB urb{};
  UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, buffer,
                               nullptr, length, nullptr);
  return SubmitUrbSync(station, &urb);
}

NTSTATUS SelectConfiguration(StationExtension* station) {
  USB_CONFIGURATION_DESCRIPTOR* config = station->ConfigurationDescriptor;
  const ULONG wanted = config->bNumInterfaces;
  if (wanted == 0) return STATUS_DEVICE_DATA_ERROR;
  auto* list = static_cast<USBD_INTERFACE_LIST_ENTRY*>(AllocatePool(
      NonPagedPoolNx, sizeof(USBD_INTERFACE_LIST_ENTRY) * (wanted + 1), kTagSelect));
  if (!list) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG found = 0;
  for (ULONG number = 0; number < kMaxInterfaceTries && found < wanted; ++number) {
    USB_INTERFACE_DESCRIPTOR* d = USBD_ParseConfigurationDescriptorEx(
        config, config, static_cast<LONG>(number), 0, -1, -1, -1);
    if (d) list[found++].InterfaceDescriptor = d;
  }
  if (found == 0) {
    ExFreePoolWithTag(list, kTagSelect);
    return STATUS_DEVICE_DATA_ERROR;
  }
  URB* urb = USBD_CreateConfigurationRequestEx(config, list);
  if (!urb) {
    ExFreePoolWithTag(list, kTagSelect);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  USBD_INTERFACE_INFORMATION* first = list[0].Interface;
  for (ULONG i = 0; i < first->NumberOfPipes; ++i)
    first->Pipes[i].MaximumTransferSize = g_StationGlobals->MaximumTransferSize;
  NTSTATUS status = SubmitUrbSync(station, urb);
  if (NT_SUCCESS(status)) {
    auto* copy = static_cast<USBD_INTERFACE_INFORMATION*>(
        AllocatePool(NonPagedPoolNx, first->Length, kTagInterfaceInfo));
    if (copy) {
      std::memcpy(copy, first, first->Length);
      station->InterfaceInfo = copy;
    } else {
      status = STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  ExFreePool(urb);
  ExFreePoolWithTag(list, kTagSelect);
  return status;
}

NTSTATUS UnconfigureDevice(StationExtension* station) {
  URB urb{};
  UsbBuildSelectConfigurationRequest(&urb, sizeof(_URB_SELECT_CONFIGURATION), nullptr);
  return SubmitUrbSync(station, &urb);
}

void FreeConfiguration(StationExtension* station) {
  if (station->ConfigurationDescriptor)
    ExFreePoolWithTag(station->ConfigurationDescriptor, kTagConfiguration);
  station->ConfigurationDescriptor = nullptr;
  if (station->InterfaceInfo) ExFreePoolWithTag(station->InterfaceInfo, kTagInterfaceInfo);
  station->InterfaceInfo = nullptr;
}

// The station cleanup, the configuration and interface copies; the interface links only at
// REMOVE, so a START after a STOP brings the control interface back.
void ReleaseDeviceResources(StationExtension* station, bool free_links) {
  StationCleanup(station);
  if (free_links) {
    FreeString(&station->InterfaceLink1);
    FreeString(&station->InterfaceLink2);
  }
  FreeConfiguration(station);
}

NTSTATUS FdoStartDevice(StationExtension* station, IRP* irp) {
  FreeConfiguration(station);
  NTSTATUS status = ForwardSync(station, irp);
  if (!NT_SUCCESS(status)) return status;
  status = ReadDescriptor(station, USB_DEVICE_DESCRIPTOR_TYPE, &station->DeviceDescriptor,
                          sizeof(USB_DEVICE_DESCRIPTOR));
  if (!NT_SUCCESS(status)) return status;
  USB_CONFIGURATION_DESCRIPTOR head{};
  status = ReadDescriptor(station, USB_CONFIGURATION_DESCRIPTOR_TYPE, &head, sizeof head);
  if (!NT_SUCCESS(status)) return status;
  // A configuration shorter than its own head cannot be parsed.
  if (head.wTotalLength < sizeof head) return STATUS_DEVICE_DATA_ERROR;
  auto* config = static_cast<USB_CONFIGURATION_DESCRIPTOR*>(
      AllocatePool(NonPagedPoolNx, head.wTotalLength, kTagConfiguration));
  if (!config) return STATUS_INSUFFICIENT_RESOURCES;
  status = ReadDescriptor(station, USB_CONFIGURATION_DESCRIPTOR_TYPE, config, head.wTotalLength);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(config, kTagConfiguration);
    return status;
  }
  config->wTotalLength = head.wTotalLength;  // never parse past the buffer
  station->ConfigurationDescriptor = config;
  station->RemoteWakeup = (config->bmAttributes >> 5) & 1;
  status = SelectConfiguration(station);
  if (!NT_SUCCESS(status)) return status;
  SetState(station, kFdoStarted, true);
  InterlockedExchange(reinterpret_cast<volatile LONG*>(&station->WaitWakeArmed), 0);
  InterlockedExchange(reinterpret_cast<volatile LONG*>(&station->WaitWakeCompletionClaimed), 0);
  InterlockedExchange(reinterpret_cast<volatile LONG*>(&station->WaitWakeCancelRequested), 0);
  if (station->RemoteWakeup) ArmWaitWake(station);
  return STATUS_SUCCESS;
}

NTSTATUS StartDevice(StationExtension* station, IRP* irp) {
  // A station stopped and started again makes its children anew.
  SetChildrenClosed(station, false);
  NTSTATUS status = FdoStartDevice(station, irp);
  bool started = NT_SUCCESS(status);
  if (started) {
    status = StationStart(station);
    started = NT_SUCCESS(status);
  }
  ULONG error = started ? kErrorCodeStarted : kErrorCodeFailed;
  WriteParameter(u"ErrorCode", REG_DWORD, sizeof error, &error);
  return CompleteIrp(irp, started ? status : STATUS_SUCCESS, 0);
}

NTSTATUS StopDevice(StationExtension* station, IRP* irp) {
  if (station->RemoteWakeup) CancelWaitWake(station);
  RemoveChildPdos(station, false, true, false);
  StopStationTimer(station);
  // The children go with the stop; a worker that merely restarts would never bring them back.
  WriteFlag(station->RecreateChildren, 1);
  SetState(station, kFdoStopped, false);
  // Requests still in progress finish before the pipes and buffers they use go away.
  ReleaseIoCount(station);
  WaitForIoIdle(station);
  ReleaseDeviceResources(station, false);
  NTSTATUS status = UnconfigureDevice(station);
  return PassDown(station, irp, status);
}

NTSTATUS SurpriseRemoval(StationExtension* station, IRP* irp) {
  KeSetEvent(&station->AbortEvent, 0, FALSE);
  WmiDeregister(station);
  if (station->RemoteWakeup) CancelWaitWake(station);
  SetState(station, kFdoSurpriseRemoved, false);
  RemoveChildPdos(station, false, true, false);
  StopStationTimer(station);
  return PassDown(station, irp, STATUS_SUCCESS);
}

NTSTATUS RemoveDevice(StationExtension* station, IRP* irp) {
  // The device is going: a control transfer that still waits for it (the worker's requests
  // wait without limit) is cancelled as at a surprise removal, so the worker can be stopped
  // even when the chip stopped answering.
  KeSetEvent(&station->AbortEvent, 0, FALSE);
  if (GetState(station) != kFdoSurpriseRemoved) {
    WmiDeregister(station);
    if (station->RemoteWakeup) CancelWaitWake(station);
  }
  RemoveChildPdos(station, false, false, true);
  StopStationTimer(station);
  SetState(station, kFdoRemoved, false);
  ReleaseIoCount(station);  // the dispatcher's
  ReleaseIoCount(station);  // the initial one
  KeWaitForSingleObject(&station->RemoveEvent, Executive, KernelMode, FALSE, nullptr);
  ReleaseDeviceResources(station, true);
  DEVICE_OBJECT* lower = station->LowerDeviceObject;
  DEVICE_OBJECT* fdo = station->DeviceObject;
  NTSTATUS status = PassDown(station, irp, STATUS_SUCCESS);
  IoDetachDevice(lower);
  IoDeleteDevice(fdo);
  return status;
}

NTSTATUS QueryCapabilities(StationExtension* station, IRP* irp) {
  DEVICE_CAPABILITIES* caps =
      IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
  if (!caps || caps->Version == 0 || caps->Size < sizeof(DEVICE_CAPABILITIES))
    return CompleteIrp(irp, STATUS_UNSUCCESSFUL, irp->IoStatus.Information);
  caps->SurpriseRemovalOK = 1;
  NTSTATUS status = ForwardSync(station, irp);
  if (NT_SUCCESS(status)) {
    std::memcpy(&station->Capabilities, caps, sizeof(DEVICE_CAPABILITIES));
    caps->SurpriseRemovalOK = 1;
  }
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS QueryBusRelations(StationExtension* station, IRP* irp) {
  KeWaitForSingleObject(&station->ChildListMutex, Executive, KernelMode, FALSE, nullptr);
  auto* old = reinterpret_cast<DEVICE_RELATIONS*>(irp->IoStatus.Information);
  if (old && station->ChildCount == 0) {
    KeReleaseMutex(&station->ChildListMutex, FALSE);
    ReleaseIoCount(station);
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(station->LowerDeviceObject, irp);
  }
  ULONG old_count = old ? old->Count : 0;
  ULONG capacity = old_count + station->ChildCount + 1;
  auto* list = static_cast<DEVICE_RELATIONS*>(AllocatePool(
      PagedPool, offsetof(DEVICE_RELATIONS, Objects) + sizeof(DEVICE_OBJECT*) * capacity,
      kTagRelations));
  if (!list) {
    KeReleaseMutex(&station->ChildListMutex, FALSE);
    ReleaseIoCount(station);
    return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES, irp->IoStatus.Information);
  }
  for (ULONG i = 0; i < old_count; ++i) list->Objects[i] = old->Objects[i];
  list->Count = old_count;
  if (station->ChildCount) AppendPresentChildren(station, list, capacity);
  KeReleaseMutex(&station->ChildListMutex, FALSE);
  if (old) ExFreePool(old);
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(list);
  ReleaseIoCount(station);
  return PassDown(station, irp, STATUS_SUCCESS);
}

NTSTATUS FdoPnp(StationExtension* station, IRP* irp) {
  IO_STACK_LOCATION* st = IoGetCurrentIrpStackLocation(irp);
  AcquireIoCount(station);
  NTSTATUS status;
  switch (st->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = StartDevice(station, irp);
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
      SetState(station,
               st->MinorFunction == IRP_MN_QUERY_STOP_DEVICE ? kFdoStopPending : kFdoRemovePending,
               true);
      ReleaseIoCount(station);
      WaitForIoIdle(station);
      return PassDown(station, irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
      station->Removed = 1;
      return RemoveDevice(station, irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      if (GetState(station) != kFdoRemovePending) {
        status = PassDown(station, irp, irp->IoStatus.Status);
        break;
      }
      status = ForwardSync(station, irp);
      if (NT_SUCCESS(status)) SetState(station, station->PreviousState, false);
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      break;
    case IRP_MN_STOP_DEVICE:
      return StopDevice(station, irp);
    case IRP_MN_CANCEL_STOP_DEVICE: {
      bool pending = GetState(station) == kFdoStopPending;
      if (!pending) irp->IoStatus.Status = STATUS_SUCCESS;
      status = ForwardSync(station, irp);
      if (NT_SUCCESS(status) && pending) SetState(station, station->PreviousState, false);
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (st->Parameters.QueryDeviceRelations.Type == BusRelations)
        return QueryBusRelations(station, irp);
      status = PassDown(station, irp, irp->IoStatus.Status);
      break;
    case IRP_MN_QUERY_CAPABILITIES:
      status = QueryCapabilities(station, irp);
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      station->SurpriseRemoved = 1;
      station->Removed = 1;
      status = SurpriseRemoval(station, irp);
      break;
    default:
      status = PassDown(station, irp, irp->IoStatus.Status);
      break;
  }
  ReleaseIoCount(station);
  return status;
}

void UndoAddDevice(StationExtension* station, DEVICE_OBJECT* fdo) {
  FreeString(&station->InterfaceLink1);
  FreeString(&station->InterfaceLink2);
  WmiDeregister(station);
  if (station->LowerDeviceObject) IoDetachDevice(station->LowerDeviceObject);
  IoDeleteDevice(fdo);
}

NTSTATUS AddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
  DEVICE_OBJECT* fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(StationExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  StationExtension* station = Station(fdo);
  std::memset(station, 0, sizeof *station);
  station->DeviceObject = fdo;
  station->IsFdo = 1;
  station->PhysicalDeviceObject = pdo;
  station->DriverModel = g_StationGlobals->DriverModel;
  fdo->Flags |= DO_DIRECT_IO;
  if (pdo->Flags & DO_POWER_PAGABLE) fdo->Flags |= DO_POWER_PAGABLE;

  KeInitializeSpinLock(&station->StateLock);
  KeInitializeSpinLock(&station->IoCountLock);
  KeInitializeSpinLock(&station->RomBufferLock);
  KeInitializeSpinLock(&station->RomResultLock);
  KeInitializeEvent(&station->AbortEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&station->RemoveEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&station->IoIdleEvent, SynchronizationEvent, TRUE);
  KeInitializeEvent(&station->WorkerStopEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&station->WorkerKickEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&station->RomTransferEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&station->RomBurnEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&station->PanelBusyEvent, NotificationEvent, FALSE);  // not busy before a save
  KeInitializeMutex(&station->ChildListMutex, 0);
  KeInitializeMutex(&station->TimerMutex, 0);
  KeInitializeMutex(&station->EventSlotMutex, 0);
  KeInitializeMutex(&station->RomMutex, 0);
  station->ChildList.Flink = station->ChildList.Blink = &station->ChildList;
  WriteFlag(station->ChildListReady, 1);
  station->IoCount = 1;
  station->SystemPowerState = PowerSystemWorking;
  station->DevicePowerState = PowerDeviceD0;
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  PoSetPowerState(fdo, DevicePowerState, d0);

  station->LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo, pdo);
  if (!station->LowerDeviceObject) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  status = WmiRegister(station);
  if (NT_SUCCESS(status))
    status = IoRegisterDeviceInterface(pdo, &protocol::kMainControlInterfaceGuid, nullptr,
                                       &station->InterfaceLink1);
  if (NT_SUCCESS(status))
    status = IoRegisterDeviceInterface(pdo, &protocol::kNsControlInterfaceGuid, nullptr,
                                       &station->InterfaceLink2);
  if (NT_SUCCESS(status)) status = AssignStationIndex(station);
  if (!NT_SUCCESS(status)) {
    UndoAddDevice(station, fdo);
    return status;
  }
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

}  // namespace

void AcquireIoCount(StationExtension* station) {
  KIRQL irql;
  KeAcquireSpinLock(&station->IoCountLock, &irql);
  if (station->IoCount++ == 1) KeClearEvent(&station->IoIdleEvent);
  KeReleaseSpinLock(&station->IoCountLock, irql);
}

void ReleaseIoCount(StationExtension* station) {
  KIRQL irql;
  KeAcquireSpinLock(&station->IoCountLock, &irql);
  ULONG old = station->IoCount--;
  KeReleaseSpinLock(&station->IoCountLock, irql);
  // The events are set after the lock is let go: once RemoveEvent is set the station may be
  // deleted, so nothing of it is touched afterwards.
  if (old == 2) KeSetEvent(&station->IoIdleEvent, 0, FALSE);
  if (old == 1) KeSetEvent(&station->RemoveEvent, 0, FALSE);
}

constexpr LONGLONG kUrbTimeout = -20000000;  // 2 s, relative

NTSTATUS SubmitUrbSync(StationExtension* station, URB* urb) {
  KEVENT done;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IRP* irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB,
                                           station->LowerDeviceObject, nullptr, 0, nullptr, 0,
                                           TRUE, nullptr, &iosb);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  // The completion keeps the IRP, so a time-out can cancel it without racing its end.
  IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
  AcquireIoCount(station);
  if (IoCallDriver(station->LowerDeviceObject, irp) == STATUS_PENDING) {
    // A device that does not answer is given up on after 2 s: the request is cancelled and
    // waited for, so neither Plug and Play nor the caller hangs on a silent chip.
    LARGE_INTEGER timeout;
    timeout.QuadPart = kUrbTimeout;
    if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
      IoCancelIrp(irp);
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
  }
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  ReleaseIoCount(station);
  return status;
}

bool StationServesRequests(const StationExtension* station) {
  return __atomic_load_n(&station->FdoState, __ATOMIC_SEQ_CST) == kFdoStarted &&
         ReadFlag(station->StartSucceeded) && !ReadFlag(station->DeviceGone) &&
         station->Pipes[kControlPipe].Object != nullptr;
}

NTSTATUS StationAddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
  KMUTEX* mutex = &g_StationGlobals->AddDeviceMutex;
  KeWaitForSingleObject(mutex, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = AddDevice(driver, pdo);
  KeReleaseMutex(mutex, FALSE);
  return status;
}

NTSTATUS DispatchPnp(DEVICE_OBJECT* device, IRP* irp) {
  auto* head = ExtensionHead(device);
  if (head->State == kFdoRemoved) return CompleteIrp(irp, STATUS_NO_SUCH_DEVICE, 0);
  if (!IsStationDevice(device)) return PdoPnp(device, irp);
  return FdoPnp(Station(device), irp);
}

NTSTATUS PassDownToLowerDevice(DEVICE_OBJECT* fdo, IRP* irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(Station(fdo)->LowerDeviceObject, irp);
}

}  // namespace vorn::station
