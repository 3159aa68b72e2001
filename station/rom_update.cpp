// The automatic ROM update. The ROM module is not part of this build: the hook reports that
// on the debugger output and writes nothing, so the worker goes on with the ROM as it is.
#include "station/kernel_utils.h"
#include "station/worker.h"

namespace vorn::station {

bool RomAutoUpdate(StationExtension*) {
  NotBuilt("RomAutoUpdate");
  return false;
}

}  // namespace vorn::station
