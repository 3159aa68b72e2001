#include "sim/chip/chip_profile.h"

#include "sim/chip/edid_blob.h"
#include "sim/chip/timing_table.h"

namespace vorn::chip {
namespace {
constexpr uint32_t kViewTypeDefault = 2;
constexpr uint32_t kDetectBothViews = 0x3;
constexpr uint32_t kDefaultCmdVersion = 8;
constexpr uint32_t kDefaultHwPlatform = 3;
constexpr uint32_t kDefaultImageCode = 0x0105;
}  // namespace

int ChipProfile::ViewCount() const {
  int n = 0;
  for (uint32_t d : view_descriptor)
    if (d & 0xF) ++n;
  return n;
}

ChipProfile MakeProfile(const ProfileOptions& o) {
  ChipProfile p;
  p.bcd_usb = o.usb3 ? 0x0300 : 0x0200;
  p.memory_mib = o.memory_mib;
  p.capability_flags = kDetectBothViews;
  p.device_values = {{kDeviceValueHwPlatform, kDefaultHwPlatform},
                     {kDeviceValueImageCode, kDefaultImageCode},
                     {kDeviceValueCmdVersion, kDefaultCmdVersion}};
  // 3840x2160 only where the memory holds its frames.
  const bool uhd = o.common_modes && UhdFits(o.memory_mib, o.views < 2 ? 1 : 2);
  const std::vector<uint8_t> table = o.common_modes ? CommonTimingTable(uhd) : StandardTimingTable();
  const uint32_t records = static_cast<uint32_t>(table.size() / 32);
  for (int v = 0; v < o.views && v < 2; ++v) {
    p.view_descriptor[v] = MakeViewDescriptor(kViewTypeDefault, records);
    p.timing_tables[v] = table;
    p.monitors[v].connected = true;
    const char* name = v == 0 ? "Vorn Left" : "Vorn Right";
    p.monitors[v].edid = o.common_modes ? MakeCommonEdid(name, uhd) : MakeEdid(name);
  }
  p.name = std::string(o.views == 1 ? "one-view" : "two-views") + (o.usb3 ? "-usb3" : "-usb2") +
           "-" + std::to_string(o.memory_mib) + "mib";
  return p;
}

std::vector<ChipProfile> StandardProfiles() {
  std::vector<ChipProfile> out;
  for (int views : {1, 2})
    for (bool usb3 : {false, true}) out.push_back(MakeProfile({views, 64, usb3}));
  return out;
}

}  // namespace vorn::chip
