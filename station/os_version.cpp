#include "station/os_version.h"

#include "station/driver_globals.h"

namespace vorn::station {
namespace {

using GetVersionRoutine = NTSTATUS (*)(RTL_OSVERSIONINFOW*);

// What the WDM-version probe answers, newest first, and the word each stands for.
struct WdmLevel {
  UCHAR major;
  UCHAR minor;
  ULONG word;
};
constexpr WdmLevel kWdmLevels[] = {
    {6, 0x00, 0x6000000}, {1, 0x30, 0x5020000}, {1, 0x20, 0x5010000},
    {1, 0x10, 0x5000000}, {1, 0x05, 0x3010000}, {1, 0x00, 0x3000000},
};

ULONG DetermineOsVersion() {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"RtlGetVersion");
  if (auto get_version = reinterpret_cast<GetVersionRoutine>(MmGetSystemRoutineAddress(&name))) {
    RTL_OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (NT_SUCCESS(get_version(&info)))
      return MakeOsVersion(info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber);
  }
  for (const WdmLevel& level : kWdmLevels)
    if (IoIsWdmVersionAvailable(level.major, level.minor)) return level.word;
  return kOsVersionNone;
}

}  // namespace

ULONG GetOsVersion() {
  if (g_DriverServices->OsVersion == kOsVersionUnknown)
    g_DriverServices->OsVersion = DetermineOsVersion();
  return g_DriverServices->OsVersion;
}

ULONG QueryOsVersion() { return DetermineOsVersion() & 0xFFFF0000; }

}  // namespace vorn::station
