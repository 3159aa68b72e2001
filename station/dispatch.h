// The driver's dispatch routines, installed by DriverEntry. Each module serves its own major
// function; read, write and internal device control are answered here.
#pragma once

#include "platform/kernel/irp.h"

namespace vorn::station {

// Read and write are not offered: STATUS_UNSUCCESSFUL, Information 0.
NTSTATUS DispatchReadWrite(DEVICE_OBJECT* device, IRP* irp);
// A child's request goes to PdoInternalDeviceControl; the station's own is passed down
// unchanged.
NTSTATUS DispatchInternalDeviceControl(DEVICE_OBJECT* device, IRP* irp);

// Installs every dispatch routine, the unload routine and AddDevice into |driver|.
void InstallDispatchRoutines(DRIVER_OBJECT* driver);

// Served by the station's other modules.
NTSTATUS StationAddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo);  // device object
NTSTATUS DispatchPnp(DEVICE_OBJECT* device, IRP* irp);                  // device object
NTSTATUS DispatchCreate(DEVICE_OBJECT* device, IRP* irp);               // control interface
NTSTATUS DispatchClose(DEVICE_OBJECT* device, IRP* irp);                // control interface
NTSTATUS DispatchCleanup(DEVICE_OBJECT* device, IRP* irp);              // control interface
NTSTATUS DispatchDeviceControl(DEVICE_OBJECT* device, IRP* irp);        // control codes
NTSTATUS DispatchPower(DEVICE_OBJECT* device, IRP* irp);                // power
NTSTATUS DispatchSystemControl(DEVICE_OBJECT* device, IRP* irp);        // WMI
NTSTATUS PdoInternalDeviceControl(DEVICE_OBJECT* device, IRP* irp);     // child requests
// Sends |irp| on to the device below the station's FDO with the current stack location
// skipped (the device object module knows the lower device).
NTSTATUS PassDownToLowerDevice(DEVICE_OBJECT* fdo, IRP* irp);

}  // namespace vorn::station
