// The ROM reply channel (bulk-IN channel 5 and the ROM interrupt replies). The ROM module is
// not part of this build: arming reports that on the debugger output and lets the start go
// on (every ROM request is refused with the control codes, which are not built either), so
// the station still serves its other functions.
#include "station/kernel_utils.h"
#include "station/station_start.h"

namespace vorn::station {

NTSTATUS ArmRomReplies(StationExtension*) {
  NotBuilt("ArmRomReplies");
  return STATUS_SUCCESS;
}

void RomCleanup(StationExtension*) {}

}  // namespace vorn::station
