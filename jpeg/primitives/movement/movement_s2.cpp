// The plain builds of the data-movement primitives: they define the results, with ordinary
// stores only.
#include <array>
#include <cstring>

#include "jpeg/primitives/movement/movement.h"
#include "jpeg/primitives/movement/movement_checks.h"

namespace vorn::jpeg::prim {
namespace {

// Walks the anti-diagonals of the block, alternating direction, as the zigzag scan does.
constexpr std::array<int32_t, 64> MakeZigzagNaturalIndex() {
  std::array<int32_t, 64> index{};
  int32_t zigzag = 0;
  for (int32_t diagonal = 0; diagonal < 15; ++diagonal) {
    for (int32_t i = 0; i <= diagonal; ++i) {
      // Odd diagonals run down-left (row increasing), even ones up-right.
      const int32_t row = (diagonal % 2) ? i : diagonal - i;
      const int32_t col = diagonal - row;
      if (row < 8 && col < 8) index[8 * row + col] = zigzag++;
    }
  }
  return index;
}
constexpr bool ZigzagTableMatchesWalk() {
  const std::array<int32_t, 64> walk = MakeZigzagNaturalIndex();
  for (int32_t k = 0; k < 64; ++k) {
    if (walk[k] != ZigzagNaturalIndex[k]) return false;
  }
  return true;
}
static_assert(ZigzagTableMatchesWalk());

template <typename T>
PrimitiveStatus CopyImage(const T* src, int32_t srcStep, T* dst, int32_t dstStep,
                          int32_t width, int32_t height) {
  if (PrimitiveStatus s = CheckImage(src, dst, width, height); s != StatusOk) return s;
  const size_t rowBytes = static_cast<size_t>(width) * sizeof(T);
  if (static_cast<size_t>(srcStep) == rowBytes && srcStep == dstStep) {
    std::memcpy(dst, src, rowBytes * static_cast<size_t>(height));
    return StatusOk;
  }
  for (int32_t r = 0; r < height; ++r) std::memcpy(Row(dst, dstStep, r), Row(src, srcStep, r), rowBytes);
  return StatusOk;
}

template <int32_t Channels, typename T>
PrimitiveStatus Split(const T* src, int32_t srcStep, T* const* dst, int32_t dstStep,
                      int32_t width, int32_t height) {
  if (PrimitiveStatus s = CheckSplit(src, dst, Channels, width, height); s != StatusOk) return s;
  for (int32_t r = 0; r < height; ++r) {
    const T* in = Row(src, srcStep, r);
    for (int32_t c = 0; c < Channels; ++c) {
      T* out = Row(dst[c], dstStep, r);
      for (int32_t x = 0; x < width; ++x) out[x] = in[Channels * x + c];
    }
  }
  return StatusOk;
}

}  // namespace

PrimitiveStatus CopyBytesS2(const void* src, void* dst, int32_t len) {
  if (PrimitiveStatus s = CheckBuffer(src, dst, len); s != StatusOk) return s;
  std::memcpy(dst, src, static_cast<size_t>(len));
  return StatusOk;
}

PrimitiveStatus CopyWords16S2(const int16_t* src, int16_t* dst, int32_t len) {
  if (PrimitiveStatus s = CheckBuffer(src, dst, len); s != StatusOk) return s;
  std::memcpy(dst, src, static_cast<size_t>(len) * 2);
  return StatusOk;
}

PrimitiveStatus ZeroBytesS2(void* dst, int32_t len) {
  if (PrimitiveStatus s = CheckBuffer(dst, dst, len); s != StatusOk) return s;
  std::memset(dst, 0, static_cast<size_t>(len));
  return StatusOk;
}

PrimitiveStatus CopyImage8S2(const uint8_t* src, int32_t srcStep, uint8_t* dst, int32_t dstStep,
                             int32_t width, int32_t height) {
  return CopyImage(src, srcStep, dst, dstStep, width, height);
}

PrimitiveStatus CopyImage16S2(const int16_t* src, int32_t srcStep, int16_t* dst,
                              int32_t dstStep, int32_t width, int32_t height) {
  return CopyImage(src, srcStep, dst, dstStep, width, height);
}

PrimitiveStatus WidenImage8To16S2(const uint8_t* src, int32_t srcStep, int16_t* dst,
                                  int32_t dstStep, int32_t width, int32_t height) {
  if (PrimitiveStatus s = CheckImage(src, dst, width, height); s != StatusOk) return s;
  if (srcStep <= 0 || dstStep <= 0) return StatusBadStep;
  for (int32_t r = 0; r < height; ++r) {
    const uint8_t* in = Row(src, srcStep, r);
    int16_t* out = Row(dst, dstStep, r);
    for (int32_t x = 0; x < width; ++x) out[x] = in[x];
  }
  return StatusOk;
}

PrimitiveStatus SplitImage3Channels8S2(const uint8_t* src, int32_t srcStep,
                                       uint8_t* const dst[3], int32_t dstStep, int32_t width,
                                       int32_t height) {
  return Split<3>(src, srcStep, dst, dstStep, width, height);
}

PrimitiveStatus SplitImage3Channels16S2(const int16_t* src, int32_t srcStep,
                                        int16_t* const dst[3], int32_t dstStep, int32_t width,
                                        int32_t height) {
  return Split<3>(src, srcStep, dst, dstStep, width, height);
}

PrimitiveStatus SplitImage4Channels8S2(const uint8_t* src, int32_t srcStep,
                                       uint8_t* const dst[4], int32_t dstStep, int32_t width,
                                       int32_t height) {
  return Split<4>(src, srcStep, dst, dstStep, width, height);
}

PrimitiveStatus SplitImage4Channels16S2(const int16_t* src, int32_t srcStep,
                                        int16_t* const dst[4], int32_t dstStep, int32_t width,
                                        int32_t height) {
  return Split<4>(src, srcStep, dst, dstStep, width, height);
}

PrimitiveStatus ZigzagToNatural8x8S2(const int16_t* src, int16_t* dst) {
  if (src == nullptr || dst == nullptr) return StatusNullPointer;
  // Read the whole block first, so that a caller reordering in place still gets the result.
  int16_t block[64];
  std::memcpy(block, src, sizeof block);
  for (int32_t k = 0; k < 64; ++k) dst[k] = block[ZigzagNaturalIndex[k]];
  return StatusOk;
}

PrimitiveStatus Packed422ToPlanesS2(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                    const int32_t dstStep[3], int32_t width, int32_t height) {
  if (src == nullptr || dst == nullptr || dstStep == nullptr) return StatusNullPointer;
  if (dst[0] == nullptr || dst[1] == nullptr || dst[2] == nullptr) return StatusNullPointer;
  if (width < 2 || height <= 0) return StatusBadSize;
  const int32_t pairs = width / 2;
  for (int32_t r = 0; r < height; ++r) {
    const uint8_t* in = Row(src, srcStep, r);
    uint8_t* y = Row(dst[0], dstStep[0], r);
    uint8_t* cb = Row(dst[1], dstStep[1], r);
    uint8_t* cr = Row(dst[2], dstStep[2], r);
    for (int32_t x = 0; x < pairs; ++x) {
      y[2 * x] = in[4 * x];
      cb[x] = in[4 * x + 1];
      y[2 * x + 1] = in[4 * x + 2];
      cr[x] = in[4 * x + 3];
    }
  }
  return StatusOk;
}

}  // namespace vorn::jpeg::prim
