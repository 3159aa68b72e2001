// Pixel converters of the raw frame formats: 32-bit B, G, R, x pixels into planar YUV 4:2:0
// (format 4), Y plus interleaved CbCr 4:2:0 (format 6) and 24-bit B, G, R (format 9), and
// 16-bit 5-6-5 pixels widened to 32-bit. They allocate nothing and report nothing but, for
// the planar conversion, the bytes written.
//
// Each conversion has a plain build that defines its bytes and SSE2 and AVX2 builds that give
// the same bytes; the build runs that the processor slot of the image primitives selects.
#pragma once

#include <cstdint>

#include "jpeg/primitives/frame/dispatch.h"

namespace vorn::display {

// An image for the converters: first byte, height and width (in pixels; for a CbCr plane in
// Cb,Cr pairs) and the bytes from one row to the next.
struct ConvertSource {
  const uint8_t* data;
  int32_t height;
  int32_t width;
  int32_t stride;
};
struct ConvertPlane {
  uint8_t* data;
  int32_t height;
  int32_t width;
  int32_t stride;
};

// Planar 4:2:0 at |dst|: Y with rows of align16(width) bytes, then, align16(height) Y rows
// after its start, Cb with rows of align16(width / 2), then Cr (height / 2) Cb rows later.
// Returns align16(height) x align16(width) + align16(width / 2) x height. An odd last
// column or row of Y is not written; a width or height below 2 writes nothing.
uint32_t BgraToYuv420Planar(const uint8_t* src, int32_t srcStride, uint8_t* dst, int32_t width,
                            int32_t height);

// Y = (76 R + 150 G + 29 B + 128) >> 8 per pixel; per 2 x 2 block with the sums SB, SG, SR
// Cb = (16384 SB - 10854 SG - 5529 SR + 0x1010000) >> 17 and
// Cr = (16384 SR - 13719 SG - 2664 SB + 0x1010000) >> 17, each limited to 0..255, stored as
// Cb, Cr pairs, one CbCr row per two rows. Only whole groups of 16 pixels of whole row pairs
// are written: row pairs = min(min(src height, Y height) / 2, CbCr height), groups =
// min(min(src width, Y width) / 2, CbCr width) / 8.
void BgraToYCbCr420Interleaved(const ConvertSource& src, const ConvertPlane& y,
                               const ConvertPlane& cbcr);

// Bytes 0, 1, 2 of every 4-byte pixel, row by row.
void BgraToRgb24(uint8_t* dst, const uint8_t* src, int32_t dstStride, int32_t srcStride,
                 int32_t width, int32_t height);

// RRRRRGGGGGGBBBBB into B = blue << 3, G = green << 2, R = red << 3, fourth byte 0; the low
// bits stay zero.
void Rgb565ToRgb32(uint8_t* dst, const uint8_t* src, int32_t dstStride, int32_t srcStride,
                   int32_t width, int32_t height);

using BgraToYCbCr420InterleavedFn = void (*)(const ConvertSource& src, const ConvertPlane& y,
                                             const ConvertPlane& cbcr);
using PixelRowsFn = void (*)(uint8_t* dst, const uint8_t* src, int32_t dstStride,
                             int32_t srcStride, int32_t width, int32_t height);

// Each slot's build, for tests and benchmarks that run a build directly (slot 0 is the
// plain build, slots 1-5 SSE2, slot 6 AVX2).
extern const jpeg::prim::DispatchTable<BgraToYCbCr420InterleavedFn>
    kBgraToYCbCr420InterleavedTable;
extern const jpeg::prim::DispatchTable<PixelRowsFn> kBgraToRgb24Table;
extern const jpeg::prim::DispatchTable<PixelRowsFn> kRgb565ToRgb32Table;

}  // namespace vorn::display
