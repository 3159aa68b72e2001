// The driver's load-time entry and its unload routine.
#pragma once

#include "platform/kernel/irp.h"

// Called by the kernel when the driver is loaded: fills the driver-wide records from the
// service key's Parameters, publishes DriverContext, DriverVersion, USBDIVersion and
// USBSVersion, installs the dispatch routines and registers the function modules.
extern "C" NTSTATUS DriverEntry(DRIVER_OBJECT* driver, PUNICODE_STRING registry_path);

namespace vorn::station {

// Undoes what entry left behind; DriverContext then holds eight zero bytes.
void StationUnload(DRIVER_OBJECT* driver);

// "%d.%d.%d.%d" of the driver's version, as written to DriverVersion.
inline constexpr char16_t kDriverVersionText[] = u"1.0.22.921";

}  // namespace vorn::station
