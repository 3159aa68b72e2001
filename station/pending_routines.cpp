// Stand-in routines for the modules that are not part of the driver yet. Each is weak: the
// module that serves the request defines the routine and its definition replaces the one
// here. Until then a request is completed at once, so none is ever held or lost.
#include "station/bus/function_modules.h"
#include "station/dispatch.h"
#include "station/kernel_utils.h"
#include "platform/kernel/power.h"
#include "station/station_start.h"

namespace vorn::station {

NTSTATUS PdoPnp(DEVICE_OBJECT* device, IRP* irp);
NTSTATUS PdoPower(DEVICE_OBJECT* device, IRP* irp);
void AppendPresentChildren(StationExtension* station, DEVICE_RELATIONS* relations,
                           ULONG capacity);

#define VORN_PENDING __attribute__((weak))

// Children: none exist until the child module is built, so there is nothing to report,
// remove or serve; a child's requests are completed as they came.
VORN_PENDING NTSTATUS PdoPnp(DEVICE_OBJECT*, IRP* irp) {
  return CompleteIrp(irp, irp->IoStatus.Status, irp->IoStatus.Information);
}

VORN_PENDING NTSTATUS PdoPower(DEVICE_OBJECT*, IRP* irp) {
  PoStartNextPowerIrp(irp);
  return CompleteIrp(irp, irp->IoStatus.Status, irp->IoStatus.Information);
}

VORN_PENDING void AppendPresentChildren(StationExtension*, DEVICE_RELATIONS*, ULONG) {}

VORN_PENDING void RemoveChildPdos(StationExtension*, bool) {}

// The ROM reply channel: nothing to arm until the ROM module is built.
VORN_PENDING NTSTATUS ArmRomReplies(StationExtension*) { return STATUS_SUCCESS; }

VORN_PENDING void RomCleanup(StationExtension*) {}

VORN_PENDING NTSTATUS DispatchCreate(DEVICE_OBJECT*, IRP* irp) {
  return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

VORN_PENDING NTSTATUS DispatchClose(DEVICE_OBJECT*, IRP* irp) {
  return CompleteIrp(irp, STATUS_SUCCESS, 0);
}

VORN_PENDING NTSTATUS DispatchCleanup(DEVICE_OBJECT*, IRP* irp) {
  return CompleteIrp(irp, STATUS_SUCCESS, 0);
}

VORN_PENDING NTSTATUS DispatchDeviceControl(DEVICE_OBJECT*, IRP* irp) {
  return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

VORN_PENDING NTSTATUS PdoInternalDeviceControl(DEVICE_OBJECT*, IRP* irp) {
  return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

// A module that is not built in registers but does not enable its function.
VORN_PENDING NTSTATUS DisplayFunctionInit(UCHAR, UCHAR* registered, const StationServiceTable*,
                                          FunctionModuleOps*) {
  *registered = 1;
  return STATUS_NOT_SUPPORTED;
}

VORN_PENDING NTSTATUS AudioFunctionInit(UCHAR, UCHAR* registered, const StationServiceTable*,
                                        FunctionModuleOps*) {
  *registered = 1;
  return STATUS_NOT_SUPPORTED;
}

#undef VORN_PENDING

}  // namespace vorn::station
