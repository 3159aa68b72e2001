// Pool tags of the driver-wide layer (each module names its own beside its code).
#pragma once

#include "platform/kernel/pool.h"

namespace vorn::station {

inline constexpr ULONG kTagServiceKey = PoolTag("ksvc");  // the service registry path copy
inline constexpr ULONG kTagRegistry = PoolTag("regy");    // key paths and value buffers
inline constexpr ULONG kTagProperty = PoolTag("Prop");    // device property buffers

}  // namespace vorn::station
