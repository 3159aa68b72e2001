// The plain builds of the down-sampling primitives: they define the results.
#include "jpeg/primitives/sampling/downsample.h"
#include "jpeg/primitives/sampling/downsample_kernels.h"

namespace vorn::jpeg::prim {
namespace {

// Even widths up to this one take the short path with its backward bias.
constexpr int32_t kRow2x1ShortWidth = 14;

}  // namespace

PrimitiveStatus DownsampleRows2x2S2(const uint8_t* upper, const uint8_t* lower, int32_t width,
                                    uint8_t* dst) {
  if (upper == nullptr || lower == nullptr || dst == nullptr) return StatusNullPointer;
  if (width <= 0) return StatusBadSize;
  if (width < kRows2x2KernelWidth) {
    Downsample2x2Short(upper, lower, dst, width);
  } else {
    Downsample2x2Range(upper, lower, dst, 0, width / 2);
  }
  return StatusOk;
}

PrimitiveStatus DownsampleRow2x1S2(const uint8_t* src, int32_t width, uint8_t* dst) {
  if (src == nullptr || dst == nullptr) return StatusNullPointer;
  if (width <= 0) return StatusBadSize;
  const int32_t outputs = width / 2;
  const bool shortPath = width % 2 == 0 && width <= kRow2x1ShortWidth;
  for (int32_t i = 0; i < outputs; ++i) {
    const int32_t bias = shortPath ? ((outputs - 1 - i) & 1) : (i & 1);
    dst[i] = static_cast<uint8_t>((src[2 * i] + src[2 * i + 1] + bias) >> 1);
  }
  return StatusOk;
}

}  // namespace vorn::jpeg::prim
