#include "tools/vorn-sim/command_packets.h"

#include "sim/chip/ip_profile.h"

namespace vorn::sim {
namespace {

// The record carries 16-bit sides.
constexpr uint32_t kMaxSide = 0xFFFF;
constexpr uint16_t kRefreshHz = 60;

}  // namespace

void UseCommandPackets(SessionOptions* o) {
  o->monitors = 1;
  o->format = Format::kJpeg;
  o->memory_mib = chip::kIpMemoryMiB;
}

chip::ChipProfile CommandPacketProfile(const SessionOptions& o) {
  std::vector<chip::IpModeLine> modes = chip::StandardIpModes();
  bool listed = false;
  for (const chip::IpModeLine& m : modes) listed = listed || (m.width == o.width && m.height == o.height);
  if (!listed && o.width && o.height && o.width <= kMaxSide && o.height <= kMaxSide)
    modes.push_back({static_cast<uint16_t>(o.width), static_cast<uint16_t>(o.height), 0, kRefreshHz});
  return chip::MakeIpProfile(modes);
}

}  // namespace vorn::sim
