// Adapters with bulk OUT endpoint 0x04: one monitor output, 100 MiB of frame memory laid out
// by the host (view area below 48 MiB, the payload ring above it), no capability block, and a
// display information record that carries the monitor's EDID and a plain list of modes.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/chip/chip_profile.h"

namespace vorn::chip {

constexpr uint8_t kIpMemoryMiB = 100;
constexpr uint32_t kIpRingStart = 48u << 20;
constexpr uint32_t kIpRingEnd = (100u << 20) - 2048;

struct IpModeLine {
  uint16_t width = 0, height = 0;
  uint16_t unused = 0;  // the third field of an entry, which the host does not read
  uint16_t refresh = 0;
};

// A display information record: the 16-byte head (EDID offset and size, mode list offset and
// size), then the EDID and the mode list, the EDID first unless |modes_first|.
std::vector<uint8_t> BuildIpDisplayInfo(const std::vector<uint8_t>& edid,
                                        const std::vector<IpModeLine>& modes,
                                        bool modes_first = false);

// The modes the standard command-packet adapter lists: 1920x1080, 1680x1050, 1280x720 and
// 1024x768 at 60 Hz.
std::vector<IpModeLine> StandardIpModes();

// The standard command-packet adapter: USB 3, endpoint 0x04, 100 MiB, a 1920 x 1080 monitor
// whose EDID and |modes| the display information record carries, and an 8-byte device
// information record.
ChipProfile MakeIpProfile(const std::vector<IpModeLine>& modes = StandardIpModes());

}  // namespace vorn::chip
