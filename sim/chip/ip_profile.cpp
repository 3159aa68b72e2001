#include "sim/chip/ip_profile.h"

#include "protocol/byte_order.h"
#include "sim/chip/edid_blob.h"

namespace vorn::chip {
namespace {

constexpr uint32_t kHeadSize = 16;
constexpr uint32_t kModeLineSize = 8;

}  // namespace

std::vector<uint8_t> BuildIpDisplayInfo(const std::vector<uint8_t>& edid,
                                        const std::vector<IpModeLine>& modes, bool modes_first) {
  const uint32_t edid_size = static_cast<uint32_t>(edid.size());
  const uint32_t mode_size = static_cast<uint32_t>(modes.size() * kModeLineSize);
  const uint32_t edid_offset = modes_first ? kHeadSize + mode_size : kHeadSize;
  const uint32_t mode_offset = modes_first ? kHeadSize : kHeadSize + edid_size;
  std::vector<uint8_t> r(kHeadSize + edid_size + mode_size);
  protocol::StoreLe32(&r[0], edid_offset);
  protocol::StoreLe32(&r[4], edid_size);
  protocol::StoreLe32(&r[8], mode_offset);
  protocol::StoreLe32(&r[12], mode_size);
  for (uint32_t i = 0; i < edid_size; ++i) r[edid_offset + i] = edid[i];
  for (size_t i = 0; i < modes.size(); ++i) {
    uint8_t* m = &r[mode_offset + i * kModeLineSize];
    protocol::StoreLe16(m + 0, modes[i].width);
    protocol::StoreLe16(m + 2, modes[i].height);
    protocol::StoreLe16(m + 4, modes[i].unused);
    protocol::StoreLe16(m + 6, modes[i].refresh);
  }
  return r;
}

std::vector<IpModeLine> StandardIpModes() {
  return {{1920, 1080, 0, 60}, {1680, 1050, 0, 60}, {1280, 720, 0, 60}, {1024, 768, 0, 60}};
}

ChipProfile MakeIpProfile(const std::vector<IpModeLine>& modes) {
  ChipProfile p;
  p.name = "command-packets-usb3-100mib";
  p.bcd_usb = 0x0300;
  p.product_id = 0x0104;
  p.product = u"Vorn Station IP";
  p.has_ip_endpoint = true;
  p.memory_mib = kIpMemoryMiB;
  // No capability block of its own: the host does not ask for one in this mode.
  p.capability_magic = 0;
  p.monitors[0].connected = true;
  p.monitors[0].edid = MakeEdid("Vorn IP");
  p.ip_device_info = {0x01, 0x00, 0x04, 0x00, 0x64, 0x00, 0x00, 0x00};
  p.ip_display_info = BuildIpDisplayInfo(p.monitors[0].edid, modes);
  return p;
}

}  // namespace vorn::chip
