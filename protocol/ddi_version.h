// DdiVersionInfo: the 40-byte version record the station answers to
// IOCTL_OP_DDI_GET_DDI_VERSION and the panel library hands on unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "protocol/byte_order.h"

namespace vorn::protocol {

inline constexpr size_t kDdiVersionInfoSize = 40;
inline constexpr uint32_t kDdiInterfaceVersion = 0x16100401;
inline constexpr uint16_t kDdiInterfaceBuild = 0x015C;  // 348

struct DdiVersionInfo {
  uint32_t InterfaceVersion = 0;  // kDdiInterfaceVersion
  uint16_t InterfaceBuild = 0;    // kDdiInterfaceBuild
  uint8_t StationIndex = 0;
  uint8_t HwPlatform = 0;         // low byte of the chip's HwPlatform
  uint32_t BootCodeVersion = 0;
  uint32_t ImageCodeVersion = 0;
  uint8_t PrjCode[16] = {};
  uint64_t DeviceId = 0;
};
static_assert(sizeof(DdiVersionInfo) == kDdiVersionInfoSize);
static_assert(offsetof(DdiVersionInfo, InterfaceVersion) == 0);
static_assert(offsetof(DdiVersionInfo, InterfaceBuild) == 4);
static_assert(offsetof(DdiVersionInfo, StationIndex) == 6);
static_assert(offsetof(DdiVersionInfo, HwPlatform) == 7);
static_assert(offsetof(DdiVersionInfo, BootCodeVersion) == 8);
static_assert(offsetof(DdiVersionInfo, ImageCodeVersion) == 12);
static_assert(offsetof(DdiVersionInfo, PrjCode) == 16);
static_assert(offsetof(DdiVersionInfo, DeviceId) == 32);

inline bool EncodeDdiVersionInfo(const DdiVersionInfo& v, MutableByteSpan out) {
  if (out.size() < kDdiVersionInfoSize) return false;
  uint8_t* p = out.data();
  StoreLe32(p + 0, v.InterfaceVersion);
  StoreLe16(p + 4, v.InterfaceBuild);
  p[6] = v.StationIndex;
  p[7] = v.HwPlatform;
  StoreLe32(p + 8, v.BootCodeVersion);
  StoreLe32(p + 12, v.ImageCodeVersion);
  std::memcpy(p + 16, v.PrjCode, sizeof v.PrjCode);
  StoreLe64(p + 32, v.DeviceId);
  return true;
}

inline bool DecodeDdiVersionInfo(ByteSpan in, DdiVersionInfo* out) {
  if (!out || in.size() < kDdiVersionInfoSize) return false;
  const uint8_t* p = in.data();
  DdiVersionInfo v;
  v.InterfaceVersion = LoadLe32(p + 0);
  v.InterfaceBuild = LoadLe16(p + 4);
  v.StationIndex = p[6];
  v.HwPlatform = p[7];
  v.BootCodeVersion = LoadLe32(p + 8);
  v.ImageCodeVersion = LoadLe32(p + 12);
  std::memcpy(v.PrjCode, p + 16, sizeof v.PrjCode);
  v.DeviceId = LoadLe64(p + 32);
  *out = v;
  return true;
}

}  // namespace vorn::protocol
