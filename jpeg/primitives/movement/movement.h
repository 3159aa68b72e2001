// Data-movement primitives: copy, clear, widen and de-interleave buffers and images.
//
// Images are (pointer, step) pairs, the step being the distance in bytes from one row to the
// next; widths and heights count samples per channel, lengths of the 1-D primitives count
// elements. Source and destination must not overlap. Every primitive returns StatusOk on
// success and writes nothing when an argument check fails.
//
// Large moves use non-temporal (streaming) stores so that they do not flush the cache; the
// results are the same either way, the rules are in movement_streaming.h.
#pragma once

#include <cstdint>

#include "jpeg/primitives/frame/dispatch.h"
#include "jpeg/primitives/frame/status.h"

namespace vorn::jpeg::prim {

// For natural (row-major) position k of an 8x8 block, the position of that coefficient in
// zigzag order (the inverse of the zigzag scan).
inline constexpr int32_t ZigzagNaturalIndex[64] = {
    0,  1,  5,  6,  14, 15, 27, 28,  //
    2,  4,  7,  13, 16, 26, 29, 42,  //
    3,  8,  12, 17, 25, 30, 41, 43,  //
    9,  11, 18, 24, 31, 40, 44, 53,  //
    10, 19, 23, 32, 39, 45, 52, 54,  //
    20, 22, 33, 38, 46, 51, 55, 60,  //
    21, 34, 37, 47, 50, 56, 59, 61,  //
    35, 36, 48, 49, 57, 58, 62, 63,  //
};

// Checks: src or dst null -8; len <= 0 -6.
PrimitiveStatus CopyBytes(const void* src, void* dst, int32_t len);
// Copies len 16-bit elements. Checks as CopyBytes.
PrimitiveStatus CopyWords16(const int16_t* src, int16_t* dst, int32_t len);
// Checks: dst null -8; len <= 0 -6.
PrimitiveStatus ZeroBytes(void* dst, int32_t len);
// Clears len 16-bit elements (no dispatch entry). Checks as ZeroBytes.
PrimitiveStatus ZeroWords16W7(int16_t* dst, int32_t len);

// width bytes (CopyImage8) or 16-bit samples (CopyImage16) per row. Checks: src or dst null
// -8; width or height <= 0 -6. Steps are not checked: a negative step walks the rows upwards.
PrimitiveStatus CopyImage8(const uint8_t* src, int32_t srcStep, uint8_t* dst, int32_t dstStep,
                           int32_t width, int32_t height);
PrimitiveStatus CopyImage16(const int16_t* src, int32_t srcStep, int16_t* dst, int32_t dstStep,
                            int32_t width, int32_t height);
// dst = src zero-extended. Checks: src or dst null -8; width or height <= 0 -6; either step
// <= 0 -14 (sizes before steps).
PrimitiveStatus WidenImage8To16(const uint8_t* src, int32_t srcStep, int16_t* dst,
                                int32_t dstStep, int32_t width, int32_t height);

// dst[c][x] = src[3x + c] (or 4x + c), all planes sharing dstStep. Checks: src null, the
// plane array null, then each plane null -8; width or height <= 0 -6.
PrimitiveStatus SplitImage3Channels8(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                     int32_t dstStep, int32_t width, int32_t height);
PrimitiveStatus SplitImage3Channels16(const int16_t* src, int32_t srcStep, int16_t* const dst[3],
                                      int32_t dstStep, int32_t width, int32_t height);
PrimitiveStatus SplitImage4Channels8(const uint8_t* src, int32_t srcStep, uint8_t* const dst[4],
                                     int32_t dstStep, int32_t width, int32_t height);
PrimitiveStatus SplitImage4Channels16(const int16_t* src, int32_t srcStep, int16_t* const dst[4],
                                      int32_t dstStep, int32_t width, int32_t height);

// dst[k] = src[ZigzagNaturalIndex[k]]. Checks: src or dst null -8.
PrimitiveStatus ZigzagToNatural8x8(const int16_t* src, int16_t* dst);

// Packed 4:2:2 rows (Y0 Cb Y1 Cr per pixel pair) into Y, Cb and Cr planes, each with its own
// step; an odd width drops the last pixel. Checks: src, the plane array or the step array
// null, then each plane null -8; width < 2 or height <= 0 -6.
PrimitiveStatus Packed422ToPlanes(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                  const int32_t dstStep[3], int32_t width, int32_t height);

// The dispatched primitives' function types and tables; each table's slot 0 is the plain
// build, which defines the results.
using CopyBytesFn = PrimitiveStatus (*)(const void*, void*, int32_t);
using CopyWords16Fn = PrimitiveStatus (*)(const int16_t*, int16_t*, int32_t);
using ZeroBytesFn = PrimitiveStatus (*)(void*, int32_t);
using CopyImage8Fn = PrimitiveStatus (*)(const uint8_t*, int32_t, uint8_t*, int32_t, int32_t,
                                         int32_t);
using CopyImage16Fn = PrimitiveStatus (*)(const int16_t*, int32_t, int16_t*, int32_t, int32_t,
                                          int32_t);
using WidenImage8To16Fn = PrimitiveStatus (*)(const uint8_t*, int32_t, int16_t*, int32_t,
                                              int32_t, int32_t);
using SplitImage3Channels8Fn = PrimitiveStatus (*)(const uint8_t*, int32_t, uint8_t* const[3],
                                                   int32_t, int32_t, int32_t);
using SplitImage3Channels16Fn = PrimitiveStatus (*)(const int16_t*, int32_t, int16_t* const[3],
                                                    int32_t, int32_t, int32_t);
using SplitImage4Channels8Fn = PrimitiveStatus (*)(const uint8_t*, int32_t, uint8_t* const[4],
                                                   int32_t, int32_t, int32_t);
using SplitImage4Channels16Fn = PrimitiveStatus (*)(const int16_t*, int32_t, int16_t* const[4],
                                                    int32_t, int32_t, int32_t);
using ZigzagToNatural8x8Fn = PrimitiveStatus (*)(const int16_t*, int16_t*);
using Packed422ToPlanesFn = PrimitiveStatus (*)(const uint8_t*, int32_t, uint8_t* const[3],
                                                const int32_t[3], int32_t, int32_t);

extern const DispatchTable<CopyBytesFn> kCopyBytesTable;
extern const DispatchTable<CopyWords16Fn> kCopyWords16Table;
extern const DispatchTable<ZeroBytesFn> kZeroBytesTable;
extern const DispatchTable<CopyImage8Fn> kCopyImage8Table;
extern const DispatchTable<CopyImage16Fn> kCopyImage16Table;
extern const DispatchTable<WidenImage8To16Fn> kWidenImage8To16Table;
extern const DispatchTable<SplitImage3Channels8Fn> kSplitImage3Channels8Table;
extern const DispatchTable<SplitImage3Channels16Fn> kSplitImage3Channels16Table;
extern const DispatchTable<SplitImage4Channels8Fn> kSplitImage4Channels8Table;
extern const DispatchTable<SplitImage4Channels16Fn> kSplitImage4Channels16Table;
extern const DispatchTable<ZigzagToNatural8x8Fn> kZigzagToNatural8x8Table;
extern const DispatchTable<Packed422ToPlanesFn> kPacked422ToPlanesTable;

// The builds.
PrimitiveStatus CopyBytesS2(const void* src, void* dst, int32_t len);
PrimitiveStatus CopyBytesSse2(const void* src, void* dst, int32_t len);
PrimitiveStatus CopyBytesAvx2(const void* src, void* dst, int32_t len);
PrimitiveStatus CopyWords16S2(const int16_t* src, int16_t* dst, int32_t len);
PrimitiveStatus CopyWords16Sse2(const int16_t* src, int16_t* dst, int32_t len);
PrimitiveStatus CopyWords16Avx2(const int16_t* src, int16_t* dst, int32_t len);
PrimitiveStatus ZeroBytesS2(void* dst, int32_t len);
PrimitiveStatus ZeroBytesSse2(void* dst, int32_t len);
PrimitiveStatus CopyImage8S2(const uint8_t* src, int32_t srcStep, uint8_t* dst, int32_t dstStep,
                             int32_t width, int32_t height);
PrimitiveStatus CopyImage8Sse2(const uint8_t* src, int32_t srcStep, uint8_t* dst,
                               int32_t dstStep, int32_t width, int32_t height);
PrimitiveStatus CopyImage8Avx2(const uint8_t* src, int32_t srcStep, uint8_t* dst,
                               int32_t dstStep, int32_t width, int32_t height);
PrimitiveStatus CopyImage16S2(const int16_t* src, int32_t srcStep, int16_t* dst,
                              int32_t dstStep, int32_t width, int32_t height);
PrimitiveStatus CopyImage16Sse2(const int16_t* src, int32_t srcStep, int16_t* dst,
                                int32_t dstStep, int32_t width, int32_t height);
PrimitiveStatus CopyImage16Avx2(const int16_t* src, int32_t srcStep, int16_t* dst,
                                int32_t dstStep, int32_t width, int32_t height);
PrimitiveStatus WidenImage8To16S2(const uint8_t* src, int32_t srcStep, int16_t* dst,
                                  int32_t dstStep, int32_t width, int32_t height);
PrimitiveStatus WidenImage8To16Sse2(const uint8_t* src, int32_t srcStep, int16_t* dst,
                                    int32_t dstStep, int32_t width, int32_t height);
PrimitiveStatus SplitImage3Channels8S2(const uint8_t* src, int32_t srcStep,
                                       uint8_t* const dst[3], int32_t dstStep, int32_t width,
                                       int32_t height);
PrimitiveStatus SplitImage3Channels16S2(const int16_t* src, int32_t srcStep,
                                        int16_t* const dst[3], int32_t dstStep, int32_t width,
                                        int32_t height);
PrimitiveStatus SplitImage3Channels16Sse2(const int16_t* src, int32_t srcStep,
                                          int16_t* const dst[3], int32_t dstStep, int32_t width,
                                          int32_t height);
PrimitiveStatus SplitImage4Channels8S2(const uint8_t* src, int32_t srcStep,
                                       uint8_t* const dst[4], int32_t dstStep, int32_t width,
                                       int32_t height);
PrimitiveStatus SplitImage4Channels16S2(const int16_t* src, int32_t srcStep,
                                        int16_t* const dst[4], int32_t dstStep, int32_t width,
                                        int32_t height);
PrimitiveStatus SplitImage4Channels16Sse2(const int16_t* src, int32_t srcStep,
                                          int16_t* const dst[4], int32_t dstStep, int32_t width,
                                          int32_t height);
PrimitiveStatus ZigzagToNatural8x8S2(const int16_t* src, int16_t* dst);
PrimitiveStatus Packed422ToPlanesS2(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                    const int32_t dstStep[3], int32_t width, int32_t height);

}  // namespace vorn::jpeg::prim
