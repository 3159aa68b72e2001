// Internal device control requests of a child device (URBs and port requests). Not part of
// this build: such a request fails loudly.
#include "station/dispatch.h"
#include "station/kernel_utils.h"

namespace vorn::station {

NTSTATUS PdoInternalDeviceControl(DEVICE_OBJECT*, IRP* irp) {
  return CompleteNotBuilt(irp, "PdoInternalDeviceControl");
}

}  // namespace vorn::station
