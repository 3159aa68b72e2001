// The builds behind the colour dispatch tables, and the argument checks they share.
// Builds for wider instruction sets live in files of their own, compiled with that file's
// target flags; they call only what is declared here and their own file-local helpers.
#pragma once

#include <cstdint>

#include "jpeg/primitives/frame/status.h"

namespace vorn::jpeg::prim::color {

// Argument checks of the two display-path conversions, shared by all their builds.
PrimitiveStatus CheckBgraToYCbCr420Planes(const uint8_t* src, uint8_t* const dst[3],
                                          const int32_t dstStep[3], int32_t width, int32_t height);
PrimitiveStatus CheckFourByteToYCbCrPlanes(const uint8_t* src, uint8_t* const dst[3], int32_t width,
                                           int32_t height);
PrimitiveStatus CheckBgraToYCbCrRows2x2(const uint8_t* row0, const uint8_t* row1, int32_t width,
                                        int32_t paddedWidth, const uint8_t* y0, const uint8_t* y1,
                                        const uint8_t* cb, const uint8_t* cr);

// The plain builds, which define every result.
PrimitiveStatus BgraToYCbCr420PlanesS2(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                       const int32_t dstStep[3], int32_t width, int32_t height);
PrimitiveStatus RgbaToYCbCrPlanesS2(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                    int32_t dstStep, int32_t width, int32_t height);
PrimitiveStatus BgraToYCbCrPlanesS2(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                    int32_t dstStep, int32_t width, int32_t height);
PrimitiveStatus BgrToYCbCrPlanesS2(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                   int32_t dstStep, int32_t width, int32_t height);
PrimitiveStatus RgbToYCbCrPlanesS2(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                   int32_t dstStep, int32_t width, int32_t height);
PrimitiveStatus PlanarRgbToYCbCrS2(const uint8_t* const src[3], int32_t srcStep,
                                   uint8_t* const dst[3], int32_t dstStep, int32_t width,
                                   int32_t height);
PrimitiveStatus RgbToGrayS2(const uint8_t* src, int32_t srcStep, uint8_t* dst, int32_t dstStep,
                            int32_t width, int32_t height);
PrimitiveStatus CmykToYcckPlanesS2(const uint8_t* src, int32_t srcStep, uint8_t* const dst[4],
                                   int32_t dstStep, int32_t width, int32_t height);
PrimitiveStatus BgraToYCbCrRows2x2S2(const uint8_t* row0, const uint8_t* row1, int32_t width,
                                     int32_t paddedWidth, uint8_t* y0, uint8_t* y1, uint8_t* cb,
                                     uint8_t* cr);

// The per-pixel arithmetic of the display-path conversions, for the SIMD builds' row tails.
void BgraToYCbCr420Block(const uint8_t* row0, const uint8_t* row1, uint8_t* y0, uint8_t* y1,
                         uint8_t* cb, uint8_t* cr, int32_t blocks);
void BgraToYCbCrRow(const uint8_t* src, uint8_t* y, uint8_t* cb, uint8_t* cr, int32_t pixels);
// Columns [from, paddedWidth) of BgraToYCbCrRows2x2 (from even), for the SIMD builds' tails.
void BgraToYCbCrRows2x2Tail(const uint8_t* row0, const uint8_t* row1, int32_t width,
                            int32_t paddedWidth, int32_t from, uint8_t* y0, uint8_t* y1,
                            uint8_t* cb, uint8_t* cr);

// SSE2 builds (slots 1-5).
PrimitiveStatus BgraToYCbCr420PlanesSse2(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                         const int32_t dstStep[3], int32_t width, int32_t height);
PrimitiveStatus BgraToYCbCrPlanesSse2(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                      int32_t dstStep, int32_t width, int32_t height);
PrimitiveStatus BgraToYCbCrRows2x2Sse2(const uint8_t* row0, const uint8_t* row1, int32_t width,
                                       int32_t paddedWidth, uint8_t* y0, uint8_t* y1, uint8_t* cb,
                                       uint8_t* cr);

// AVX2 builds (slot 6).
PrimitiveStatus BgraToYCbCr420PlanesAvx2(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                         const int32_t dstStep[3], int32_t width, int32_t height);
PrimitiveStatus BgraToYCbCrPlanesAvx2(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                      int32_t dstStep, int32_t width, int32_t height);
PrimitiveStatus BgraToYCbCrRows2x2Avx2(const uint8_t* row0, const uint8_t* row1, int32_t width,
                                       int32_t paddedWidth, uint8_t* y0, uint8_t* y1, uint8_t* cb,
                                       uint8_t* cr);

}  // namespace vorn::jpeg::prim::color
