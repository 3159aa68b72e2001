// --command-packets: vorn-sim runs an adapter with bulk OUT endpoint 0x04, which the plug-in
// drives in its command-packet mode: one monitor, JPEG frames each in one bulk transfer, fixed
// settings, and the hardware cursor as command packets on endpoint 0x04.
#pragma once

#include "sim/chip/chip_profile.h"
#include "tools/vorn-sim/session.h"

namespace vorn::sim {

inline constexpr const char* kCommandPacketsOption = "--command-packets";
inline constexpr const char* kCommandPacketsUsage =
    "  --command-packets  an adapter with the command-packet endpoint 0x04: one monitor, JPEG\n"
    "                  frames, the hardware cursor as command packets, on the direct road\n";

// What such an adapter can run: one monitor, JPEG.
void UseCommandPackets(SessionOptions* o);
// Its chip: the command-packet adapter listing the standard modes and the one asked for.
chip::ChipProfile CommandPacketProfile(const SessionOptions& o);

}  // namespace vorn::sim
