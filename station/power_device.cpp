// Device power requests. Leaving D0 stops the tick and the worker and then, on a system work
// item, waits until no other request holds the I/O count before the request goes down, so
// nothing talks to a device that is powering down. Returning to D0 starts the tick and the
// worker again once the stack below is back; the worker then runs without its first-run work.
#include "platform/kernel/power.h"
#include "platform/kernel/workitem.h"
#include "station/kernel_utils.h"
#include "station/power_requests.h"
#include "station/station_start.h"

namespace vorn::station {
namespace {

constexpr ULONG kTagPowerWork = PoolTag("PwrW");

// What a queued power-down carries to its work item.
struct PowerDownContext {
  DEVICE_OBJECT* Fdo;
  IRP* Irp;
  PIO_WORKITEM WorkItem;
};
static_assert(sizeof(PowerDownContext) == 3 * sizeof(void*));

// The power-up's last step when the stack below completed it above PASSIVE_LEVEL.
struct PowerUpContext {
  StationExtension* Station;
  IRP* Irp;
  PIO_WORKITEM WorkItem;
};

NTSTATUS PassDown(StationExtension* station, IRP* irp, PIO_COMPLETION_ROUTINE completion) {
  PoStartNextPowerIrp(irp);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, completion, station, TRUE, TRUE, TRUE);
  return PoCallDriver(station->LowerDeviceObject, irp);
}

// Returns once no request holds the count but the initial reference (and those the caller
// gave back for the time of the wait).
void WaitUntilIdle(StationExtension* station) {
  for (;;) {
    KIRQL irql;
    KeAcquireSpinLock(&station->IoCountLock, &irql);
    ULONG count = station->IoCount;
    KeReleaseSpinLock(&station->IoCountLock, irql);
    if (count <= 1) return;
    KeWaitForSingleObject(&station->IoIdleEvent, Executive, KernelMode, FALSE, nullptr);
  }
}

void FinishPowerUpWork(DEVICE_OBJECT*, PVOID context) {
  auto* c = static_cast<PowerUpContext*>(context);
  PIO_WORKITEM item = c->WorkItem;
  FinishPowerUp(c->Station, c->Irp);
  IoFreeWorkItem(item);
  ExFreePoolWithTag(c, kTagPowerWork);
}

}  // namespace

NTSTATUS FdoSetDevicePower(StationExtension* station, IRP* irp) {
  ULONG next = RequestedPowerState(irp);
  ULONG current = ReadPowerState(station->DevicePowerState);
  if (!IsDeviceState(next)) return CompletePowerRequest(station, irp, STATUS_INVALID_PARAMETER);
  if (next < current) return PassDown(station, irp, DevicePowerUpCompletion);
  if (current == PowerDeviceD0 && next > PowerDeviceD0) {
    StopStationTimer(station);
    NTSTATUS status = QueuePowerDownWork(station, irp);
    if (!NT_SUCCESS(status)) return CompletePowerRequest(station, irp, status);
    return STATUS_PENDING;
  }
  // D0 again while the system works (the return from a sleep state whose device state was D0
  // too): the tick and the worker stopped when the system left the working state, so this
  // return must start them again like any other.
  if (next == PowerDeviceD0 && ReadPowerState(station->SystemPowerState) == PowerSystemWorking)
    return PassDown(station, irp, DevicePowerUpCompletion);
  return PassDown(station, irp, DevicePowerDownCompletion);
}

NTSTATUS FdoQueryDevicePower(StationExtension* station, IRP* irp) {
  ULONG next = RequestedPowerState(irp);
  if (!IsDeviceState(next)) return CompletePowerRequest(station, irp, STATUS_INVALID_PARAMETER);
  if (next < ReadPowerState(station->DevicePowerState)) return PassDown(station, irp, DevicePowerDownCompletion);
  NTSTATUS status = QueuePowerDownWork(station, irp);
  if (!NT_SUCCESS(status)) return CompletePowerRequest(station, irp, status);
  return STATUS_PENDING;
}

NTSTATUS QueuePowerDownWork(StationExtension* station, IRP* irp) {
  auto* c = static_cast<PowerDownContext*>(
      AllocatePool(NonPagedPoolNx, sizeof(PowerDownContext), kTagPowerWork));
  if (!c) return STATUS_INSUFFICIENT_RESOURCES;
  c->Fdo = station->DeviceObject;
  c->Irp = irp;
  c->WorkItem = IoAllocateWorkItem(station->DeviceObject);
  if (!c->WorkItem) {
    ExFreePoolWithTag(c, kTagPowerWork);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IoMarkIrpPending(irp);
  IoQueueWorkItem(c->WorkItem, PowerDownWork, DelayedWorkQueue, c);
  return STATUS_PENDING;
}

void PowerDownWork(DEVICE_OBJECT*, PVOID context) {
  auto* c = static_cast<PowerDownContext*>(context);
  StationExtension* station = Station(c->Fdo);
  // This request's reference, and the one of the system request waiting for it, if one is:
  // a device request that no system request of the station's own asked for holds only its
  // own, and giving back one more would let the count reach zero under requests in progress.
  ULONG references = 1;
  if (InterlockedCompareExchangePointer(
          reinterpret_cast<PVOID volatile*>(&station->PendingSystemPowerIrp), nullptr, nullptr))
    ++references;
  for (ULONG i = 0; i < references; ++i) ReleaseIoCount(station);
  WaitUntilIdle(station);
  for (ULONG i = 0; i < references; ++i) AcquireIoCount(station);
  PassDown(station, c->Irp, DevicePowerDownCompletion);
  IoFreeWorkItem(c->WorkItem);
  ExFreePoolWithTag(c, kTagPowerWork);
}

NTSTATUS DevicePowerDownCompletion(DEVICE_OBJECT* fdo, IRP* irp, PVOID context) {
  auto* station = static_cast<StationExtension*>(context);
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  IO_STACK_LOCATION* st = IoGetCurrentIrpStackLocation(irp);
  if (NT_SUCCESS(irp->IoStatus.Status) && st->MinorFunction == IRP_MN_SET_POWER) {
    WritePowerState(station->DevicePowerState, RequestedPowerState(irp));
    PoSetPowerState(fdo, DevicePowerState, st->Parameters.Power.State);
  }
  PoStartNextPowerIrp(irp);
  ReleaseIoCount(station);
  return STATUS_SUCCESS;
}

NTSTATUS DevicePowerUpCompletion(DEVICE_OBJECT*, IRP* irp, PVOID context) {
  auto* station = static_cast<StationExtension*>(context);
  if (!NT_SUCCESS(irp->IoStatus.Status)) {
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    PoStartNextPowerIrp(irp);
    ReleaseIoCount(station);
    return STATUS_SUCCESS;
  }
  // Starting the tick and the worker takes a mutex and creates a thread, which only
  // PASSIVE_LEVEL allows; a stack that completes at DISPATCH_LEVEL gets the rest on a work
  // item.
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    auto* c = static_cast<PowerUpContext*>(
        AllocatePool(NonPagedPoolNx, sizeof(PowerUpContext), kTagPowerWork));
    PIO_WORKITEM item = c ? IoAllocateWorkItem(station->DeviceObject) : nullptr;
    if (item) {
      *c = PowerUpContext{station, irp, item};
      IoQueueWorkItem(item, FinishPowerUpWork, DelayedWorkQueue, c);
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (c) ExFreePoolWithTag(c, kTagPowerWork);
  }
  FinishPowerUp(station, irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void FinishPowerUp(StationExtension* station, IRP* irp) {
  POWER_STATE state = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State;
  WritePowerState(station->DevicePowerState, state.DeviceState);
  PoSetPowerState(station->DeviceObject, DevicePowerState, state);
  // A station whose device has gone stays without tick and worker; a station without pipes
  // (its start sequence failed) is refused by StartStationTimer itself.
  if (state.DeviceState == PowerDeviceD0 &&
      __atomic_load_n(&station->FdoState, __ATOMIC_SEQ_CST) != kFdoSurpriseRemoved)
    StartStationTimer(station);
  CompletePowerRequest(station, irp, STATUS_SUCCESS);
}

}  // namespace vorn::station
