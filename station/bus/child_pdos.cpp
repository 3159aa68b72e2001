// The child devices. The child module is not part of this build: no child is ever created
// (ChildCount stays 0), so removal and bus relations have nothing to act on; a request that
// reaches a child anyway fails loudly.
#include "station/bus/child_pdos.h"

#include "platform/kernel/power.h"
#include "station/kernel_utils.h"
#include "station/station_extension.h"

namespace vorn::station {

void RemoveChildPdos(StationExtension* station, bool, bool, bool) {
  if (station->ChildCount) NotBuilt("RemoveChildPdos");
}

void AppendPresentChildren(StationExtension* station, DEVICE_RELATIONS*, ULONG) {
  if (station->ChildCount) NotBuilt("AppendPresentChildren");
}

NTSTATUS PdoPnp(DEVICE_OBJECT*, IRP* irp) { return CompleteNotBuilt(irp, "PdoPnp"); }

NTSTATUS PdoPower(DEVICE_OBJECT*, IRP* irp) {
  PoStartNextPowerIrp(irp);
  return CompleteNotBuilt(irp, "PdoPower");
}

}  // namespace vorn::station
