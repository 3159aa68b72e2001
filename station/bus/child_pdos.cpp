// The child devices. The child module is not part of this build: creating children fails
// loudly and none is ever created (ChildCount stays 0), so removal, marking and bus
// relations have nothing to act on; a request that reaches a child anyway fails loudly.
#include "station/bus/child_pdos.h"

#include "station/bus/child_pdo_extension.h"

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

NTSTATUS CreateChildPdos(StationExtension*, ULONG) { return NotBuilt("CreateChildPdos"); }

bool ChildExists(StationExtension* station, ULONG function) {
  const ULONG key = ULONG{station->StationIndex} << 8 | function;
  bool found = false;
  KeWaitForSingleObject(&station->ChildListMutex, Executive, KernelMode, FALSE, nullptr);
  if (station->ChildList.Flink) {
    for (LIST_ENTRY* e = station->ChildList.Flink; e != &station->ChildList; e = e->Flink) {
      if (CONTAINING_RECORD(e, ChildPdoExtension, ListLink)->ChildKey == key) {
        found = true;
        break;
      }
    }
  }
  KeReleaseMutex(&station->ChildListMutex, FALSE);
  return found;
}

void MarkChildrenMissingByMask(StationExtension* station, ULONG) {
  if (station->ChildCount) NotBuilt("MarkChildrenMissingByMask");
}

NTSTATUS PdoPnp(DEVICE_OBJECT*, IRP* irp) { return CompleteNotBuilt(irp, "PdoPnp"); }

NTSTATUS PdoPower(DEVICE_OBJECT*, IRP* irp) {
  PoStartNextPowerIrp(irp);
  return CompleteNotBuilt(irp, "PdoPower");
}

}  // namespace vorn::station
