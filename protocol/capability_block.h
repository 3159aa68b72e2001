// CapabilityBlock: the 112 bytes the device answers to ReqReadCapabilities. They declare the
// views, the monitor detection defaults and the frame formats the device wants.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "protocol/byte_order.h"

namespace vorn::protocol {

inline constexpr size_t kCapabilityBlockSize = 112;
inline constexpr uint32_t kCapabilityMagic = 0x50534944;  // the bytes "DISP"

// CapabilityFlags bits.
inline constexpr uint32_t kCapDetectView0 = 1u << 0;  // monitor detection default of view 0
inline constexpr uint32_t kCapDetectView1 = 1u << 1;
inline constexpr uint32_t kCapNoAckTracking = 1u << 3;
inline constexpr uint32_t kCapRotationShift = 4;       // bits 4-5: Rotation 0-3
inline constexpr uint32_t kCapForceFlipMode = 1u << 6;  // FlipMode becomes 1
inline constexpr uint32_t kCapThreeStagingFrames = 1u << 7;
inline constexpr uint32_t kCapFormatModeUsb2Shift = 12;  // bits 12-13 below bcdUSB 0x300
inline constexpr uint32_t kCapFormatModeUsb3Shift = 14;  // bits 14-15 from bcdUSB 0x300

struct CapabilityBlock {
  uint32_t Magic = 0;
  uint8_t Reserved4[80] = {};
  uint32_t CapabilityFlags = 0;
  // Per view: low nibble the view type (non-zero: the view exists), bits 8-15 the number of
  // device timing records.
  uint32_t ViewDescriptor[2] = {};
  uint32_t Reserved96 = 0;
  uint8_t QualityOverride = 0;  // 1..100 replaces the JPEG quality; 0 or above 100 is ignored
  uint8_t BandwidthLimit = 0;
  uint8_t Reserved102[10] = {};
};
static_assert(sizeof(CapabilityBlock) == kCapabilityBlockSize);
static_assert(offsetof(CapabilityBlock, Magic) == 0);
static_assert(offsetof(CapabilityBlock, Reserved4) == 4);
static_assert(offsetof(CapabilityBlock, CapabilityFlags) == 84);
static_assert(offsetof(CapabilityBlock, ViewDescriptor) == 88);
static_assert(offsetof(CapabilityBlock, Reserved96) == 96);
static_assert(offsetof(CapabilityBlock, QualityOverride) == 100);
static_assert(offsetof(CapabilityBlock, BandwidthLimit) == 101);
static_assert(offsetof(CapabilityBlock, Reserved102) == 102);

constexpr uint32_t CapabilityRotation(uint32_t flags) { return (flags >> kCapRotationShift) & 3; }

// FormatMode (0 JPEG, 1 YUV 4:2:0, 2 RGB 24-bit) from the two bits for the device's bcdUSB;
// the value 3 reads as 0.
constexpr uint32_t CapabilityFormatMode(uint32_t flags, uint16_t bcdUsb) {
  const uint32_t shift = bcdUsb < 0x300 ? kCapFormatModeUsb2Shift : kCapFormatModeUsb3Shift;
  const uint32_t mode = (flags >> shift) & 3;
  return mode == 3 ? 0 : mode;
}

constexpr uint32_t ViewDescriptorType(uint32_t descriptor) { return descriptor & 0xF; }
constexpr uint32_t ViewDescriptorTimingCount(uint32_t descriptor) {
  return (descriptor >> 8) & 0xFF;
}

// Reads the block from the first 112 bytes of |in|. False, with |*out| untouched, when |in| is
// shorter or |out| is null. The magic is not checked here: the caller decides what a wrong
// magic means.
inline bool DecodeCapabilityBlock(ByteSpan in, CapabilityBlock* out) {
  if (!out || in.size() < kCapabilityBlockSize) return false;
  const uint8_t* p = in.data();
  CapabilityBlock c;
  c.Magic = LoadLe32(p + 0);
  std::memcpy(c.Reserved4, p + 4, sizeof c.Reserved4);
  c.CapabilityFlags = LoadLe32(p + 84);
  c.ViewDescriptor[0] = LoadLe32(p + 88);
  c.ViewDescriptor[1] = LoadLe32(p + 92);
  c.Reserved96 = LoadLe32(p + 96);
  c.QualityOverride = p[100];
  c.BandwidthLimit = p[101];
  std::memcpy(c.Reserved102, p + 102, sizeof c.Reserved102);
  *out = c;
  return true;
}

inline bool EncodeCapabilityBlock(const CapabilityBlock& c, MutableByteSpan out) {
  if (out.size() < kCapabilityBlockSize) return false;
  uint8_t* p = out.data();
  StoreLe32(p + 0, c.Magic);
  std::memcpy(p + 4, c.Reserved4, sizeof c.Reserved4);
  StoreLe32(p + 84, c.CapabilityFlags);
  StoreLe32(p + 88, c.ViewDescriptor[0]);
  StoreLe32(p + 92, c.ViewDescriptor[1]);
  StoreLe32(p + 96, c.Reserved96);
  p[100] = c.QualityOverride;
  p[101] = c.BandwidthLimit;
  std::memcpy(p + 102, c.Reserved102, sizeof c.Reserved102);
  return true;
}

}  // namespace vorn::protocol
