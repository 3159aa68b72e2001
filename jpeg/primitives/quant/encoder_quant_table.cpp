// The encoder's quantisation table object: raw and forward forms in its own aligned storage.
#include <cstring>

#include "jpeg/primitives/frame/memory.h"
#include "jpeg/primitives/movement/movement.h"
#include "jpeg/primitives/quant/quant_table.h"

namespace vorn::jpeg::prim {
namespace {

constexpr int32_t kTableAlignment = 32;
constexpr int32_t kFailed = -2;

}  // namespace

CJPEGEncoderQuantTable::CJPEGEncoderQuantTable()
    : forward_(static_cast<uint16_t*>(AlignPointerUp(forwardStorage_, kTableAlignment))),
      float_(static_cast<float*>(AlignPointerUp(forwardStorage_, kTableAlignment))),
      initialised_(0),
      id_(0),
      precision_(0),
      raw8_(static_cast<uint8_t*>(AlignPointerUp(rawStorage_, kTableAlignment))),
      raw16_(static_cast<uint16_t*>(AlignPointerUp(rawStorage_, kTableAlignment))) {
  ZeroBytes(rawStorage_, kRawStorage);
  ZeroBytes(forwardStorage_, kForwardStorage);
}

CJPEGEncoderQuantTable::~CJPEGEncoderQuantTable() {
  initialised_ = 0;
  id_ = 0;
  precision_ = 0;
  ZeroBytes(rawStorage_, kRawStorage);
  ZeroBytes(forwardStorage_, kForwardStorage);
}

int32_t CJPEGEncoderQuantTable::Init8(int32_t id, const uint8_t* raw, int32_t quality) {
  id_ = id;
  precision_ = 0;
  if (CopyBytes(raw, raw8_, 64) != StatusOk) return kFailed;
  if (quality != 0 && ScaleQuantTableByQuality(raw8_, quality) != StatusOk) return kFailed;
  if (BuildForwardQuantTable(raw8_, forward_) != StatusOk) return kFailed;
  initialised_ = 1;
  return 0;
}

int32_t CJPEGEncoderQuantTable::Init16(int32_t id, const uint16_t* raw, int32_t quality) {
  id_ = id;
  precision_ = 1;
  if (CopyBytes(raw, raw16_, 128) != StatusOk) return kFailed;
  if (quality < 0) return kFailed;  // as the 8-bit scaling rejects it
  if (quality != 0) {
    if (quality > 100) quality = 100;
    const int32_t scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
    for (int32_t i = 0; i < 64; ++i) {
      const int32_t v = (scale * raw16_[i] + 50) / 100;
      raw16_[i] = static_cast<uint16_t>(v <= 0 ? 1 : (v >= 65535 ? 65535 : v));
    }
  }
  uint16_t natural[64];
  if (ZigzagToNatural8x8(reinterpret_cast<const int16_t*>(raw16_),
                         reinterpret_cast<int16_t*>(natural)) != StatusOk) {
    return kFailed;
  }
  // A quantiser of 0 has no reciprocal; such a table cannot be written either.
  for (uint16_t q : natural) {
    if (q == 0) return kFailed;
  }
  for (int32_t k = 0; k < 64; ++k) float_[k] = static_cast<float>(1.0 / natural[k]);
  initialised_ = 1;
  return 0;
}

}  // namespace vorn::jpeg::prim
