// The driver-wide settings under the service key's "Parameters", read once at load over
// their defaults.
#pragma once

#include "station/driver_globals.h"

namespace vorn::station {

// Stores every driver-wide default in |globals| (the OS-dependent ones from |os_version|),
// then reads each setting's value over its default (a missing or refused value keeps it).
void LoadDriverParameters(StationGlobals* globals, ULONG os_version);

// The page-priority mask default: 0 before OS 6.2, 0x40000000 from 6.2 on.
ULONG DefaultMmAddressMask(ULONG os_version);

}  // namespace vorn::station
