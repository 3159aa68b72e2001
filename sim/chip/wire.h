// Offsets of the capability block as the chip model answers it, and the byte-order helpers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/byte_order.h"
#include "protocol/vendor_request.h"

namespace vorn::chip::wire {

constexpr size_t kCapMagic = 0;
constexpr size_t kCapFlags = 84;
constexpr size_t kCapViewDescriptor0 = 88;
constexpr size_t kCapViewDescriptor1 = 92;
constexpr size_t kCapQuality = 100;
constexpr size_t kCapBandwidth = 101;

using protocol::LoadLe16;
using protocol::LoadLe32;
using protocol::StoreLe16;
using protocol::StoreLe32;

}  // namespace vorn::chip::wire
