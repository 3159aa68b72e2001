// The control codes of the station's control interface. Not part of this build: every device
// control request fails loudly.
#include "station/dispatch.h"
#include "station/kernel_utils.h"

namespace vorn::station {

NTSTATUS DispatchDeviceControl(DEVICE_OBJECT*, IRP* irp) {
  return CompleteNotBuilt(irp, "DispatchDeviceControl");
}

}  // namespace vorn::station
