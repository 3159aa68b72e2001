// The station's system and device power requests, shared by the power files: the dispatch
// (power.cpp) hands SET_POWER and QUERY_POWER to the handlers of power_system.cpp and
// power_device.cpp, which hold the I/O count the dispatch took until the request completes.
#pragma once

#include <cstring>

#include "platform/kernel/power.h"
#include "station/station_extension.h"

namespace vorn::station {

// System requests: turned into a device request for the state the USB stack reported for
// the new system state in its capabilities.
NTSTATUS FdoSetSystemPower(StationExtension* station, IRP* irp);
NTSTATUS FdoQuerySystemPower(StationExtension* station, IRP* irp);
NTSTATUS SystemPowerCompletion(DEVICE_OBJECT* fdo, IRP* irp, PVOID context);
void RequestDevicePower(StationExtension* station, IRP* system_irp);
void DevicePowerRequestDone(DEVICE_OBJECT* fdo, UCHAR minor, POWER_STATE state, PVOID context,
                            IO_STATUS_BLOCK* io_status);

// Device requests: leaving D0 stops the tick and the worker and waits until no other request
// is in progress; returning to D0 starts them again.
NTSTATUS FdoSetDevicePower(StationExtension* station, IRP* irp);
NTSTATUS FdoQueryDevicePower(StationExtension* station, IRP* irp);
NTSTATUS QueuePowerDownWork(StationExtension* station, IRP* irp);
void PowerDownWork(DEVICE_OBJECT* fdo, PVOID context);
NTSTATUS DevicePowerDownCompletion(DEVICE_OBJECT* fdo, IRP* irp, PVOID context);
NTSTATUS DevicePowerUpCompletion(DEVICE_OBJECT* fdo, IRP* irp, PVOID context);
void FinishPowerUp(StationExtension* station, IRP* irp);

// Completes a power request the station took the I/O count for, and gives the count back.
NTSTATUS CompletePowerRequest(StationExtension* station, IRP* irp, NTSTATUS status);

// The device state the capabilities give for |system|: a missing entry (unspecified or out
// of range) is D3 for a sleeping state and D0 for the working state.
DEVICE_POWER_STATE DeviceStateFor(const StationExtension* station, ULONG system);

// SystemPowerState and DevicePowerState are read and written whole, as atomics: a wake-up's
// device request may run beside the system request's own.
inline ULONG ReadPowerState(const ULONG& state) { return __atomic_load_n(&state, __ATOMIC_SEQ_CST); }
inline void WritePowerState(ULONG& state, ULONG value) {
  __atomic_store_n(&state, value, __ATOMIC_SEQ_CST);
}

// The states of a power request as the raw numbers the request carries: a caller may send
// any value, and only a checked one becomes a state.
inline ULONG RequestedPowerState(const IRP* irp) {
  ULONG raw;
  std::memcpy(&raw, &IoGetCurrentIrpStackLocation(const_cast<IRP*>(irp))->Parameters.Power.State,
              sizeof raw);
  return raw;
}

inline bool IsDeviceState(ULONG state) {
  return state >= PowerDeviceD0 && state <= PowerDeviceD3;
}

}  // namespace vorn::station
