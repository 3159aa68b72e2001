#include "station/dispatch.h"

#include "station/device_extension.h"
#include "station/driver_entry.h"
#include "station/kernel_utils.h"

namespace vorn::station {

NTSTATUS DispatchReadWrite(DEVICE_OBJECT*, IRP* irp) {
  return CompleteIrp(irp, STATUS_UNSUCCESSFUL, 0);
}

NTSTATUS DispatchInternalDeviceControl(DEVICE_OBJECT* device, IRP* irp) {
  if (!IsStationDevice(device)) return PdoInternalDeviceControl(device, irp);
  return PassDownToLowerDevice(device, irp);
}

void InstallDispatchRoutines(DRIVER_OBJECT* driver) {
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
  driver->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->DriverUnload = StationUnload;
  driver->DriverExtension->AddDevice = StationAddDevice;
}

}  // namespace vorn::station
