// Colour conversion primitives: interleaved or planar 8-bit pixels into the Y, Cb, Cr (and K)
// planes the encoder codes, full-range BT.601 with chroma centred on 128.
//
// An image is a pointer to its first sample, a step in bytes from one row to the next, and
// a width and height in pixels. Every conversion checks its arguments in the order null
// pointers (-8), steps (-14), sizes (-6); the first failure returns at once and nothing is
// written. Each sample is exact integer arithmetic and the same in every processor build.
#pragma once

#include <cstdint>

#include "jpeg/primitives/frame/dispatch.h"
#include "jpeg/primitives/frame/status.h"

namespace vorn::jpeg::prim {

// A whole frame of B,G,R,x pixels into 4:2:0 planes, each plane with its own step. 35 when
// the width or height is odd: the even part is converted, the last Y column or row is left
// as it was.
using BgraToYCbCr420PlanesFn = PrimitiveStatus (*)(const uint8_t* src, int32_t srcStep,
                                                   uint8_t* const dst[3], const int32_t dstStep[3],
                                                   int32_t width, int32_t height);
// 4-byte pixels, one sample of each plane per pixel; steps are used as given (negative
// steps walk upwards).
using FourByteToYCbCrPlanesFn = PrimitiveStatus (*)(const uint8_t* src, int32_t srcStep,
                                                    uint8_t* const dst[3], int32_t dstStep,
                                                    int32_t width, int32_t height);
// 3-byte pixels; steps must be positive.
using ThreeByteToYCbCrPlanesFn = FourByteToYCbCrPlanesFn;
using PlanarRgbToYCbCrFn = PrimitiveStatus (*)(const uint8_t* const src[3], int32_t srcStep,
                                               uint8_t* const dst[3], int32_t dstStep,
                                               int32_t width, int32_t height);
using RgbToGrayFn = PrimitiveStatus (*)(const uint8_t* src, int32_t srcStep, uint8_t* dst,
                                        int32_t dstStep, int32_t width, int32_t height);
using CmykToYcckPlanesFn = PrimitiveStatus (*)(const uint8_t* src, int32_t srcStep,
                                               uint8_t* const dst[4], int32_t dstStep,
                                               int32_t width, int32_t height);
using BgraToYCbCrRows2x2Fn = PrimitiveStatus (*)(const uint8_t* row0, const uint8_t* row1,
                                                 int32_t width, int32_t paddedWidth, uint8_t* y0,
                                                 uint8_t* y1, uint8_t* cb, uint8_t* cr);

PrimitiveStatus BgraToYCbCr420Planes(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                     const int32_t dstStep[3], int32_t width, int32_t height);
PrimitiveStatus RgbaToYCbCrPlanes(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                  int32_t dstStep, int32_t width, int32_t height);
PrimitiveStatus BgraToYCbCrPlanes(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                  int32_t dstStep, int32_t width, int32_t height);
PrimitiveStatus BgrToYCbCrPlanes(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                 int32_t dstStep, int32_t width, int32_t height);
PrimitiveStatus RgbToYCbCrPlanes(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                 int32_t dstStep, int32_t width, int32_t height);
// src holds the R, G and B planes, in that order.
PrimitiveStatus PlanarRgbToYCbCr(const uint8_t* const src[3], int32_t srcStep,
                                 uint8_t* const dst[3], int32_t dstStep, int32_t width,
                                 int32_t height);
PrimitiveStatus RgbToGray(const uint8_t* src, int32_t srcStep, uint8_t* dst, int32_t dstStep,
                          int32_t width, int32_t height);
// C,M,Y,K pixels into Y, Cb, Cr and an unchanged K plane.
PrimitiveStatus CmykToYcckPlanes(const uint8_t* src, int32_t srcStep, uint8_t* const dst[4],
                                 int32_t dstStep, int32_t width, int32_t height);

// Two rows of B,G,R,x pixels in one pass into both rows' Y and one row of Cb and Cr halved
// both ways: exactly the samples of BgraToYCbCrPlanes on the two rows, each row's last pixel
// repeated up to |paddedWidth|, followed by DownsampleRows2x2 of the Cb and Cr rows. Writes
// paddedWidth samples to y0 and y1 and paddedWidth / 2 to cb and cr. row1 may be row0 (an
// image's last row repeated below it). Checks: a null row or destination -8; width < 1,
// paddedWidth < width or paddedWidth odd -6.
PrimitiveStatus BgraToYCbCrRows2x2(const uint8_t* row0, const uint8_t* row1, int32_t width,
                                   int32_t paddedWidth, uint8_t* y0, uint8_t* y1, uint8_t* cb,
                                   uint8_t* cr);

// The dispatch tables, for tests that run each slot's build directly.
extern const DispatchTable<BgraToYCbCr420PlanesFn> kBgraToYCbCr420PlanesTable;
extern const DispatchTable<FourByteToYCbCrPlanesFn> kRgbaToYCbCrPlanesTable;
extern const DispatchTable<FourByteToYCbCrPlanesFn> kBgraToYCbCrPlanesTable;
extern const DispatchTable<ThreeByteToYCbCrPlanesFn> kBgrToYCbCrPlanesTable;
extern const DispatchTable<ThreeByteToYCbCrPlanesFn> kRgbToYCbCrPlanesTable;
extern const DispatchTable<PlanarRgbToYCbCrFn> kPlanarRgbToYCbCrTable;
extern const DispatchTable<RgbToGrayFn> kRgbToGrayTable;
extern const DispatchTable<CmykToYcckPlanesFn> kCmykToYcckPlanesTable;
extern const DispatchTable<BgraToYCbCrRows2x2Fn> kBgraToYCbCrRows2x2Table;

}  // namespace vorn::jpeg::prim
