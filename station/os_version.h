// The OS version word: major << 24 | minor << 16 | low 16 bits of the build number.
#pragma once

#include "platform/kernel/base.h"

namespace vorn::station {

// The word, determined on first use and then kept in DriverServices.
ULONG GetOsVersion();
// Determines the word afresh and returns it with the build bits cleared.
ULONG QueryOsVersion();

}  // namespace vorn::station
