// The plumbing the upper drivers of this folder share: each keeps an extension of
// {owner, lower, device} on the child it is bound to, hands a device to its owner once the
// child runs, and passes every other request down.
#pragma once

#include "platform/kernel/pnp.h"
#include "platform/kernel/power.h"
#include "platform/kernel/sync.h"

namespace vorn::usb::upper {

inline NTSTATUS LowerDone(DEVICE_OBJECT*, IRP*, PVOID context) {
  KeSetEvent(static_cast<KEVENT*>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends START down and waits for the child to finish it; the IRP is still the caller's to
// complete. Returns the child's status.
inline NTSTATUS StartLower(DEVICE_OBJECT* lower, IRP* irp) {
  KEVENT started;
  KeInitializeEvent(&started, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, LowerDone, &started, TRUE, TRUE, TRUE);
  if (IoCallDriver(lower, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&started, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

// The child leaves: the owner is told and closes what runs on the device, then it goes.
template <class Ext>
void Withdraw(Ext* ext) {
  if (!ext->device) return;
  ext->owner->Leaving(ext->device);
  delete ext->device;
  ext->device = nullptr;
}

// Any other PnP request: the device is withdrawn before the child goes, the request passed
// down, and the upper device detached and deleted on REMOVE.
template <class Ext>
NTSTATUS ForwardPnp(DEVICE_OBJECT* fdo, IRP* irp, UCHAR minor) {
  auto* ext = static_cast<Ext*>(fdo->DeviceExtension);
  DEVICE_OBJECT* lower = ext->lower;
  if (minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE) Withdraw(ext);
  IoSkipCurrentIrpStackLocation(irp);
  const NTSTATUS status = IoCallDriver(lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(lower);
    IoDeleteDevice(fdo);
  }
  return status;
}

template <class Ext>
NTSTATUS PassPower(DEVICE_OBJECT* fdo, IRP* irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(static_cast<Ext*>(fdo->DeviceExtension)->lower, irp);
}

// Creates |owner|'s upper device on |pdo| and attaches it; no owner: STATUS_NO_SUCH_DEVICE.
template <class Ext, class Owner>
NTSTATUS AddUpperDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo, Owner* owner) {
  if (!owner) return STATUS_NO_SUCH_DEVICE;
  DEVICE_OBJECT* fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Ext), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  auto* ext = static_cast<Ext*>(fdo->DeviceExtension);
  ext->owner = owner;
  ext->device = nullptr;
  ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  if (!ext->lower) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  fdo->Flags |= DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

}  // namespace vorn::usb::upper
