// The scalar pieces every build of the down-sampling primitives shares. Internal linkage:
// each build's file compiles its own copy with its own flags.
#pragma once

#include <cstdint>

namespace vorn::jpeg::prim {
namespace {

// Widths below this take the short path of DownsampleRows2x2.
constexpr int32_t kRows2x2KernelWidth = 32;

inline uint8_t Average2x2(const uint8_t* a, const uint8_t* b, int32_t j) {
  const int32_t bias = (j & 1) ? 2 : 1;
  return static_cast<uint8_t>((a[2 * j] + a[2 * j + 1] + b[2 * j] + b[2 * j + 1] + bias) >> 2);
}

// Outputs [first, last) of a 2x2 row.
inline void Downsample2x2Range(const uint8_t* a, const uint8_t* b, uint8_t* dst, int32_t first,
                               int32_t last) {
  for (int32_t j = first; j < last; ++j) dst[j] = Average2x2(a, b, j);
}

// The short path (width below kRows2x2KernelWidth): (width + 1) / 2 outputs. With an odd
// width the last output averages the last sample of both rows with itself, so nothing past
// the width is read.
inline void Downsample2x2Short(const uint8_t* a, const uint8_t* b, uint8_t* dst, int32_t width) {
  const int32_t pairs = width / 2;
  Downsample2x2Range(a, b, dst, 0, pairs);
  if (width & 1) {
    const int32_t bias = (pairs & 1) ? 2 : 1;
    dst[pairs] = static_cast<uint8_t>((2 * a[width - 1] + 2 * b[width - 1] + bias) >> 2);
  }
}

inline int32_t Rows2x2Outputs(int32_t width) {
  return width < kRows2x2KernelWidth ? (width + 1) / 2 : width / 2;
}

}  // namespace
}  // namespace vorn::jpeg::prim
