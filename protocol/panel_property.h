// PanelPropertyRequest: the 16-byte input of the set-panel-property control code, built by the
// panel library and validated by the station, which turns it into one vendor request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "protocol/byte_order.h"

namespace vorn::protocol {

enum PanelPropertyId : uint32_t {
  PanelPropertyCamera = 1,
  PanelPropertyTouch = 2,
  PanelPropertyBrightness = 3,
  PanelPropertyDword = 4,
  PanelPropertyRotation = 5,
};

inline constexpr size_t kPanelPropertyRequestSize = 16;

struct PanelPropertyRequest {
  uint32_t Id = 0;     // a PanelPropertyId
  uint32_t Value = 0;  // for rotation only byte 4 (the rotation) and byte 6 (a flag) count
  uint8_t Reserved[8] = {};  // not read
};
static_assert(sizeof(PanelPropertyRequest) == kPanelPropertyRequestSize);
static_assert(offsetof(PanelPropertyRequest, Id) == 0);
static_assert(offsetof(PanelPropertyRequest, Value) == 4);
static_assert(offsetof(PanelPropertyRequest, Reserved) == 8);

// The rotation request's two bytes within Value (bytes 4 and 6 of the record), and the
// value that puts them there.
constexpr uint8_t PanelRotation(const PanelPropertyRequest& r) {
  return static_cast<uint8_t>(r.Value);
}
constexpr uint8_t PanelRotationFlag(const PanelPropertyRequest& r) {
  return static_cast<uint8_t>(r.Value >> 16);
}
constexpr uint32_t PanelRotationValue(uint8_t rotation, uint8_t flag) {
  return static_cast<uint32_t>(rotation) | (static_cast<uint32_t>(flag) << 16);
}

inline bool EncodePanelPropertyRequest(const PanelPropertyRequest& r, MutableByteSpan out) {
  if (out.size() < kPanelPropertyRequestSize) return false;
  uint8_t* p = out.data();
  StoreLe32(p + 0, r.Id);
  StoreLe32(p + 4, r.Value);
  std::memcpy(p + 8, r.Reserved, sizeof r.Reserved);
  return true;
}

// False, with |*out| untouched, when |in| is shorter than 16 bytes or |out| is null. The id is
// not checked here.
inline bool DecodePanelPropertyRequest(ByteSpan in, PanelPropertyRequest* out) {
  if (!out || in.size() < kPanelPropertyRequestSize) return false;
  const uint8_t* p = in.data();
  PanelPropertyRequest r;
  r.Id = LoadLe32(p + 0);
  r.Value = LoadLe32(p + 4);
  std::memcpy(r.Reserved, p + 8, sizeof r.Reserved);
  *out = r;
  return true;
}

}  // namespace vorn::protocol
