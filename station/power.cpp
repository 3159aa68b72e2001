// The station's power dispatch and its wait-wake request. The station is the power policy
// owner of the adapter: system and device requests go to their handlers (power_system.cpp,
// power_device.cpp), the wait-wake request is kept while it is below and re-armed after a
// wake when the configuration allows remote wake-up; it is cancelled at STOP,
// SURPRISE_REMOVAL and REMOVE.
#include "platform/kernel/power.h"
#include "station/dispatch.h"
#include "station/bus/child_pdos.h"
#include "station/kernel_utils.h"
#include "station/power_requests.h"
#include "station/station_start.h"

namespace vorn::station {


namespace {

LONG Exchange(ULONG* flag, LONG value) {
  return InterlockedExchange(reinterpret_cast<volatile LONG*>(flag), value);
}

IRP* TakeWaitWakeIrp(StationExtension* station) {
  return static_cast<IRP*>(InterlockedExchangePointer(
      reinterpret_cast<PVOID volatile*>(&station->WaitWakeIrp), nullptr));
}

void PowerRequestDone(DEVICE_OBJECT*, UCHAR, POWER_STATE, PVOID context, IO_STATUS_BLOCK*) {
  ReleaseIoCount(static_cast<StationExtension*>(context));
}

void WaitWakeRequestDone(DEVICE_OBJECT*, UCHAR, POWER_STATE, PVOID context,
                         IO_STATUS_BLOCK* io_status) {
  auto* station = static_cast<StationExtension*>(context);
  Exchange(&station->WaitWakeArmed, 0);
  if (!NT_SUCCESS(io_status->Status) ||
      ReadPowerState(station->DevicePowerState) == PowerDeviceD0)
    return;
  AcquireIoCount(station);
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  if (PoRequestPowerIrp(station->DeviceObject, IRP_MN_SET_POWER, d0, PowerRequestDone, station,
                        nullptr) != STATUS_PENDING)
    ReleaseIoCount(station);
  if (station->RemoteWakeup) ArmWaitWake(station);
}

NTSTATUS WaitWakeCompletion(DEVICE_OBJECT*, IRP* irp, PVOID context) {
  auto* station = static_cast<StationExtension*>(context);
  if (InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&station->WaitWakeIrp),
                                        nullptr, irp) == irp)
    return STATUS_SUCCESS;
  // The cancel side took the request: the first of the two to claim it lets the other finish.
  if (Exchange(&station->WaitWakeCompletionClaimed, 1) == 0) return STATUS_MORE_PROCESSING_REQUIRED;
  return STATUS_SUCCESS;
}

NTSTATUS FdoWaitWake(StationExtension* station, IRP* irp) {
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&station->WaitWakeIrp), irp);
  if (Exchange(&station->WaitWakeCancelRequested, 1) == 1 && TakeWaitWakeIrp(station) == irp) {
    PoStartNextPowerIrp(irp);
    ReleaseIoCount(station);
    return CompleteIrp(irp, STATUS_CANCELLED, 0);
  }
  IoMarkIrpPending(irp);
  PoStartNextPowerIrp(irp);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, WaitWakeCompletion, station, TRUE, TRUE, TRUE);
  PoCallDriver(station->LowerDeviceObject, irp);
  ReleaseIoCount(station);
  return STATUS_PENDING;
}

NTSTATUS FdoPower(StationExtension* station, IRP* irp) {
  ULONG state = __atomic_load_n(&station->FdoState, __ATOMIC_SEQ_CST);
  if (state == kFdoRemoved) {
    PoStartNextPowerIrp(irp);
    return CompleteIrp(irp, STATUS_DELETE_PENDING, 0);
  }
  if (state == kFdoNotStarted) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(station->LowerDeviceObject, irp);
  }
  AcquireIoCount(station);
  IO_STACK_LOCATION* st = IoGetCurrentIrpStackLocation(irp);
  bool system = st->Parameters.Power.Type == SystemPowerState;
  switch (st->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
      return FdoWaitWake(station, irp);
    case IRP_MN_SET_POWER:
      IoMarkIrpPending(irp);
      if (system) {
        FdoSetSystemPower(station, irp);
      } else {
        FdoSetDevicePower(station, irp);
      }
      return STATUS_PENDING;
    case IRP_MN_QUERY_POWER:
      IoMarkIrpPending(irp);
      if (system) {
        FdoQuerySystemPower(station, irp);
      } else {
        FdoQueryDevicePower(station, irp);
      }
      return STATUS_PENDING;
    default:
      break;
  }
  ReleaseIoCount(station);
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(station->LowerDeviceObject, irp);
}

}  // namespace

NTSTATUS CompletePowerRequest(StationExtension* station, IRP* irp, NTSTATUS status) {
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  ReleaseIoCount(station);
  return status;
}

NTSTATUS DispatchPower(DEVICE_OBJECT* device, IRP* irp) {
  if (ExtensionHead(device)->State == kFdoRemoved) {
    PoStartNextPowerIrp(irp);
    return CompleteIrp(irp, STATUS_SUCCESS, 0);
  }
  if (!IsStationDevice(device)) return PdoPower(device, irp);
  return FdoPower(Station(device), irp);
}

NTSTATUS ArmWaitWake(StationExtension* station) {
  if (Exchange(&station->WaitWakeArmed, 1) == 1) return STATUS_DEVICE_BUSY;
  Exchange(&station->WaitWakeCompletionClaimed, 0);
  Exchange(&station->WaitWakeCancelRequested, 0);
  POWER_STATE state;
  state.SystemState = station->Capabilities.SystemWake;
  NTSTATUS status = PoRequestPowerIrp(station->DeviceObject, IRP_MN_WAIT_WAKE, state,
                                      WaitWakeRequestDone, station, nullptr);
  if (!NT_SUCCESS(status)) Exchange(&station->WaitWakeArmed, 0);
  return status;
}

void CancelWaitWake(StationExtension* station) {
  Exchange(&station->WaitWakeCancelRequested, 1);
  IRP* irp = TakeWaitWakeIrp(station);
  if (!irp) return;
  IoCancelIrp(irp);
  if (Exchange(&station->WaitWakeCompletionClaimed, 1) == 1) {
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

}  // namespace vorn::station
