// Chroma down-sampling: halves a converted chroma row for 4:2:0 (two rows into one) and 4:2:2
// (pairs of one row). Both round with a bias that alternates along the output row, so that
// the rounding errors do not all lean one way.
#pragma once

#include <cstdint>

#include "jpeg/primitives/frame/dispatch.h"
#include "jpeg/primitives/frame/status.h"

namespace vorn::jpeg::prim {

// out[j] = (upper[2j] + upper[2j+1] + lower[2j] + lower[2j+1] + k) >> 2, k = 1 for even j and
// 2 for odd j. Widths below 32 write (width + 1) / 2 outputs, 32 and more width / 2.
//
// For an odd width below 32 the last output averages sample width - 1 of both rows with
// itself: no sample past the width is read. The encoder only passes widths of whole MCUs,
// which are even.
//
// Checks: a null row or destination -8; width <= 0 -6.
PrimitiveStatus DownsampleRows2x2(const uint8_t* upper, const uint8_t* lower, int32_t width,
                                  uint8_t* dst);
// out[i] = (src[2i] + src[2i+1] + k) >> 1 for width / 2 outputs, k = 0 for even i and 1 for
// odd i; except widths 2 to 14 (even), where the last output has k = 0 and the bias alternates
// backwards from there (for widths 4, 8 and 12 output 0 gets 1). Checks: src or dst null -8;
// width <= 0 -6.
PrimitiveStatus DownsampleRow2x1(const uint8_t* src, int32_t width, uint8_t* dst);

using DownsampleRows2x2Fn = PrimitiveStatus (*)(const uint8_t*, const uint8_t*, int32_t,
                                                uint8_t*);
using DownsampleRow2x1Fn = PrimitiveStatus (*)(const uint8_t*, int32_t, uint8_t*);
extern const DispatchTable<DownsampleRows2x2Fn> kDownsampleRows2x2Table;
extern const DispatchTable<DownsampleRow2x1Fn> kDownsampleRow2x1Table;

PrimitiveStatus DownsampleRows2x2S2(const uint8_t* upper, const uint8_t* lower, int32_t width,
                                    uint8_t* dst);
PrimitiveStatus DownsampleRows2x2Sse2(const uint8_t* upper, const uint8_t* lower, int32_t width,
                                      uint8_t* dst);
PrimitiveStatus DownsampleRows2x2Avx2(const uint8_t* upper, const uint8_t* lower, int32_t width,
                                      uint8_t* dst);
PrimitiveStatus DownsampleRow2x1S2(const uint8_t* src, int32_t width, uint8_t* dst);

}  // namespace vorn::jpeg::prim
