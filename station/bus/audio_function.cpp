// The audio function module's registration. Not part of this build: it registers (so the
// table knows the slot was offered) and fails, and the function is not enabled.
#include "station/bus/audio_child.h"
#include "station/bus/function_modules.h"
#include "station/kernel_utils.h"

namespace vorn::station {

NTSTATUS AudioFunctionInit(UCHAR, UCHAR* registered, const StationServiceTable*,
                             FunctionModuleOps*) {
  *registered = 1;
  return NotBuilt("AudioFunctionInit");
}

}  // namespace vorn::station
