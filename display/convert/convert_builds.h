// The builds behind the converters' dispatch tables. The SSE2 and AVX2 builds live in files of
// their own, compiled with that file's target flags; they call only what is declared here and
// their own file-local helpers.
#pragma once

#include <cstdint>

#include "display/convert/convert.h"

namespace vorn::display::convert {

// Row pairs and groups of 16 pixels the interleaved conversion covers (0 when none).
struct InterleavedExtent {
  int32_t rowPairs;
  int32_t groups;
};
InterleavedExtent InterleavedCoverage(const ConvertSource& src, const ConvertPlane& y,
                                      const ConvertPlane& cbcr);

// The plain builds, which define every byte.
void BgraToYCbCr420InterleavedPlain(const ConvertSource& src, const ConvertPlane& y,
                                    const ConvertPlane& cbcr);
void BgraToRgb24Plain(uint8_t* dst, const uint8_t* src, int32_t dstStride, int32_t srcStride,
                      int32_t width, int32_t height);
void Rgb565ToRgb32Plain(uint8_t* dst, const uint8_t* src, int32_t dstStride, int32_t srcStride,
                        int32_t width, int32_t height);

// One row's pixels from |first| on, for the SIMD builds' row tails.
void BgraToRgb24Tail(uint8_t* dstRow, const uint8_t* srcRow, int32_t first, int32_t width);
void Rgb565ToRgb32Tail(uint8_t* dstRow, const uint8_t* srcRow, int32_t first, int32_t width);

void BgraToYCbCr420InterleavedSse2(const ConvertSource& src, const ConvertPlane& y,
                                   const ConvertPlane& cbcr);
void BgraToRgb24Sse2(uint8_t* dst, const uint8_t* src, int32_t dstStride, int32_t srcStride,
                     int32_t width, int32_t height);
void Rgb565ToRgb32Sse2(uint8_t* dst, const uint8_t* src, int32_t dstStride, int32_t srcStride,
                       int32_t width, int32_t height);

void BgraToYCbCr420InterleavedAvx2(const ConvertSource& src, const ConvertPlane& y,
                                   const ConvertPlane& cbcr);
void BgraToRgb24Avx2(uint8_t* dst, const uint8_t* src, int32_t dstStride, int32_t srcStride,
                     int32_t width, int32_t height);
void Rgb565ToRgb32Avx2(uint8_t* dst, const uint8_t* src, int32_t dstStride, int32_t srcStride,
                       int32_t width, int32_t height);

}  // namespace vorn::display::convert
