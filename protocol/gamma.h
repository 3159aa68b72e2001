// GammaRamp: the 772-byte colour table record. The display host hands it to the plug-in's
// SetGamma; applications hand it to the station as the input of its night-light tables code.
// Its three 256-byte tables reach the device as three ReqGammaTable transfers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "protocol/byte_order.h"

namespace vorn::protocol {

inline constexpr size_t kGammaRampSize = 772;
inline constexpr size_t kGammaTableSize = 256;
inline constexpr size_t kGammaTableCount = 3;

// Byte 0 as the plug-in reads it.
inline constexpr uint8_t kGammaKindOff = 0;
inline constexpr uint8_t kGammaKindOn = 1;
inline constexpr uint8_t kGammaKindRewrite = 255;  // the plug-in's own copy: write the device again

// ReqGammaControl modes (low byte of its wValue, the view in the high byte).
inline constexpr uint8_t kGammaControlOff = 0;
inline constexpr uint8_t kGammaControlOn = 2;

// The wIndex that carries each table: Tables[0] (bytes 4-259) goes with 0x400, Tables[1]
// with 0x200, Tables[2] with 0x100.
inline constexpr uint16_t kGammaTableIndex[kGammaTableCount] = {0x400, 0x200, 0x100};

struct GammaRamp {
  // Byte 0: for the plug-in the kind (kGammaKind...); as the station's input the view.
  uint8_t Kind = 0;
  // Byte 1: the station's input only, the night-light mode (the tables are sent for mode 1).
  uint8_t Mode = 0;
  uint8_t Reserved[2] = {};
  uint8_t Tables[kGammaTableCount][kGammaTableSize] = {};
};
static_assert(sizeof(GammaRamp) == kGammaRampSize);
static_assert(offsetof(GammaRamp, Kind) == 0);
static_assert(offsetof(GammaRamp, Mode) == 1);
static_assert(offsetof(GammaRamp, Reserved) == 2);
static_assert(offsetof(GammaRamp, Tables) == 4);
static_assert(offsetof(GammaRamp, Tables) + 1 * kGammaTableSize == 260);
static_assert(offsetof(GammaRamp, Tables) + 2 * kGammaTableSize == 516);

// The ramp is all bytes, so its wire form is its memory form.
inline bool DecodeGammaRamp(ByteSpan in, GammaRamp* out) {
  if (!out || in.size() < kGammaRampSize) return false;
  std::memcpy(out, in.data(), kGammaRampSize);
  return true;
}
inline bool EncodeGammaRamp(const GammaRamp& g, MutableByteSpan out) {
  if (out.size() < kGammaRampSize) return false;
  std::memcpy(out.data(), &g, kGammaRampSize);
  return true;
}

}  // namespace vorn::protocol
