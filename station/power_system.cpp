// System power requests. Each one is passed down first; once the stack below has accepted it,
// the station asks for the device state its capabilities give for the new system state and
// keeps the system request pending until that device request has completed. Leaving the
// working state stops the tick and the worker before anything else happens.
#include <cstring>

#include "platform/kernel/power.h"
#include "station/kernel_utils.h"
#include "station/power_requests.h"
#include "station/station_start.h"

namespace vorn::station {
namespace {

IRP* TakePendingSystemIrp(StationExtension* station) {
  return static_cast<IRP*>(InterlockedExchangePointer(
      reinterpret_cast<PVOID volatile*>(&station->PendingSystemPowerIrp), nullptr));
}

NTSTATUS PassDownWithCompletion(StationExtension* station, IRP* irp) {
  PoStartNextPowerIrp(irp);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SystemPowerCompletion, station, TRUE, TRUE, TRUE);
  return PoCallDriver(station->LowerDeviceObject, irp);
}

}  // namespace

DEVICE_POWER_STATE DeviceStateFor(const StationExtension* station, ULONG system) {
  // The capabilities come from the stack below: read the entry as the number it is.
  ULONG mapped = PowerDeviceUnspecified;
  if (system < PowerSystemMaximum)
    std::memcpy(&mapped, &station->Capabilities.DeviceState[system], sizeof mapped);
  if (IsDeviceState(mapped)) return static_cast<DEVICE_POWER_STATE>(mapped);
  return system == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
}

NTSTATUS FdoQuerySystemPower(StationExtension* station, IRP* irp) {
  ULONG next = RequestedPowerState(irp);
  if (next > ReadPowerState(station->SystemPowerState) && station->RemoteWakeup) {
    // A wake-up the device cannot give from the state asked for is not kept armed.
    if (static_cast<ULONG>(station->Capabilities.SystemWake) < next) {
      CancelWaitWake(station);
    } else {
      ArmWaitWake(station);
    }
  }
  return PassDownWithCompletion(station, irp);
}

NTSTATUS FdoSetSystemPower(StationExtension* station, IRP* irp) {
  if (RequestedPowerState(irp) != PowerSystemWorking)
    StopStationTimer(station);
  return PassDownWithCompletion(station, irp);
}

NTSTATUS SystemPowerCompletion(DEVICE_OBJECT*, IRP* irp, PVOID context) {
  auto* station = static_cast<StationExtension*>(context);
  if (!NT_SUCCESS(irp->IoStatus.Status)) {
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    PoStartNextPowerIrp(irp);
    ReleaseIoCount(station);
    return STATUS_SUCCESS;
  }
  IO_STACK_LOCATION* st = IoGetCurrentIrpStackLocation(irp);
  if (st->MinorFunction == IRP_MN_SET_POWER)
    WritePowerState(station->SystemPowerState, RequestedPowerState(irp));
  RequestDevicePower(station, irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void RequestDevicePower(StationExtension* station, IRP* system_irp) {
  IO_STACK_LOCATION* st = IoGetCurrentIrpStackLocation(system_irp);
  POWER_STATE device;
  device.DeviceState = DeviceStateFor(station, RequestedPowerState(system_irp));
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&station->PendingSystemPowerIrp),
                             system_irp);
  NTSTATUS status = PoRequestPowerIrp(station->DeviceObject, st->MinorFunction, device,
                                      DevicePowerRequestDone, station, nullptr);
  if (NT_SUCCESS(status)) return;
  if (IRP* irp = TakePendingSystemIrp(station)) CompletePowerRequest(station, irp, status);
}

void DevicePowerRequestDone(DEVICE_OBJECT*, UCHAR, POWER_STATE, PVOID context,
                            IO_STATUS_BLOCK* io_status) {
  auto* station = static_cast<StationExtension*>(context);
  if (IRP* irp = TakePendingSystemIrp(station)) CompletePowerRequest(station, irp, io_status->Status);
}

}  // namespace vorn::station
