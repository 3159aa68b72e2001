// The control interface's handles and sessions (create, cleanup, close). Not part of this
// build: every such request fails loudly, so no handle to the interface can be opened.
#include "station/dispatch.h"
#include "station/kernel_utils.h"

namespace vorn::station {

NTSTATUS DispatchCreate(DEVICE_OBJECT*, IRP* irp) { return CompleteNotBuilt(irp, "DispatchCreate"); }

NTSTATUS DispatchClose(DEVICE_OBJECT*, IRP* irp) { return CompleteNotBuilt(irp, "DispatchClose"); }

NTSTATUS DispatchCleanup(DEVICE_OBJECT*, IRP* irp) {
  return CompleteNotBuilt(irp, "DispatchCleanup");
}

}  // namespace vorn::station
