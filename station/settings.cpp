#include "station/settings.h"

#include <cstring>

#include "station/registry.h"

namespace vorn::station {
namespace {

constexpr ULONG kOsVersion6_2 = MakeOsVersion(6, 2, 0);
constexpr ULONG kMmAddressMaskFrom6_2 = 0x40000000;
constexpr ULONG kDefaultMaximumTransferSize = 0xFF000;

// One driver-wide setting: where it lives in StationGlobals, how many bytes of its value
// are taken, and what it holds when the value is missing.
struct Setting {
  const char16_t* name;
  size_t offset;
  ULONG width;
  ULONG default_value;
};

#define SETTING(field, width, value) \
  Setting { u## #field, offsetof(StationGlobals, field), width, value }

// In the order they are read. MmAddressMask's default depends on the OS and is set apart.
constexpr ULONG kOsDependent = 0;
constexpr Setting kSettings[] = {
    SETTING(BulkDebugLevel, 4, 0),
    SETTING(DriverModel, 4, 1),
    SETTING(MaximumTransferSize, 4, kDefaultMaximumTransferSize),
    SETTING(RomMaxBlockSize, 4, 0),
    SETTING(RomXferTimeout, 4, 2500),
    SETTING(RomBurnTimeout, 4, 30000),
    SETTING(DeviceNamePolicy, 1, 2),
    SETTING(MmAddressMask, 4, kOsDependent),
    SETTING(ForcedSlicing, 1, 0),
    SETTING(RomAutoUpdateFlags, 1, 7),
    SETTING(ForcedUpdateFW, 1, 0),
    SETTING(ValidateRomSection, 1, 1),
    SETTING(CEPM_RetryCount, 1, 5),
    SETTING(AudioJackDetection, 1, 3),
    SETTING(StandaloneMic, 1, 1),
    SETTING(SupportNS, 1, 1),
    SETTING(VirtualNS, 1, 0),
    SETTING(SupportPDOs, 4, 0x109),
};
#undef SETTING

void StoreDefault(StationGlobals* globals, const Setting& s, ULONG value) {
  auto* field = reinterpret_cast<UCHAR*>(globals) + s.offset;
  if (s.width == 1) {
    *field = static_cast<UCHAR>(value);
  } else {
    std::memcpy(field, &value, sizeof value);
  }
}

}  // namespace

ULONG DefaultMmAddressMask(ULONG os_version) {
  return os_version < kOsVersion6_2 ? 0 : kMmAddressMaskFrom6_2;
}

void LoadDriverParameters(StationGlobals* globals, ULONG os_version) {
  for (const Setting& s : kSettings) {
    ULONG value = s.offset == offsetof(StationGlobals, MmAddressMask)
                      ? DefaultMmAddressMask(os_version)
                      : s.default_value;
    StoreDefault(globals, s, value);
    auto* field = reinterpret_cast<UCHAR*>(globals) + s.offset;
    ReadParameter(s.name, s.width == 1 ? REG_BINARY : REG_DWORD, s.width, field);
  }
  // A transfer size of 0 would leave every bulk transfer without progress.
  if (globals->MaximumTransferSize == 0) globals->MaximumTransferSize = kDefaultMaximumTransferSize;
}

}  // namespace vorn::station
