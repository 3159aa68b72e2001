// The plain builds of the colour conversions. Their arithmetic defines every sample; the
// faster builds are tested byte for byte against them.
#include <cstddef>

#include "jpeg/primitives/color/color_builds.h"

namespace vorn::jpeg::prim::color {
namespace {

uint8_t Clamp255(int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

const uint8_t* Row(const uint8_t* base, int32_t step, int32_t row) {
  return base + static_cast<ptrdiff_t>(step) * row;
}
uint8_t* Row(uint8_t* base, int32_t step, int32_t row) {
  return base + static_cast<ptrdiff_t>(step) * row;
}

bool AnyNull(uint8_t* const planes[], int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    if (planes[i] == nullptr) return true;
  }
  return false;
}

// Full-range luminance and chroma with 16-bit coefficients; |yRound| is where the two 4-byte
// conversions differ.
void FourByteRow(const uint8_t* src, int32_t rIndex, int32_t bIndex, int32_t yRound, uint8_t* y,
                 uint8_t* cb, uint8_t* cr, int32_t pixels) {
  for (int32_t x = 0; x < pixels; ++x, src += 4) {
    const int32_t r = src[rIndex], g = src[1], b = src[bIndex];
    y[x] = static_cast<uint8_t>((19595 * r + 38470 * g + 7471 * b + yRound) >> 16);
    cb[x] = static_cast<uint8_t>(128 + ((32768 * b - 21709 * g - 11059 * r + 16384) >> 16));
    cr[x] = static_cast<uint8_t>(128 + ((32768 * r - 27439 * g - 5329 * b + 16384) >> 16));
  }
}

// The 3-byte row kernel: pixels inside the whole groups of 8 use 15-bit coefficients, the
// group of 4 and the single pixels after them 14-bit ones.
void ThreeByteRow(const uint8_t* src, int32_t rIndex, int32_t bIndex, uint8_t* y, uint8_t* cb,
                  uint8_t* cr, int32_t pixels) {
  const int32_t grouped = pixels & ~7;
  for (int32_t x = 0; x < pixels; ++x, src += 3) {
    const int32_t r = src[rIndex], g = src[1], b = src[bIndex];
    if (x < grouped) {
      y[x] = Clamp255((9798 * r + 19235 * g + 3736 * b + 16266) >> 15);
      cb[x] = Clamp255((16384 * b - 10855 * g - 5529 * r + 4210688) >> 15);
      cr[x] = Clamp255((16384 * r - 13720 * g - 2664 * b + 4210704) >> 15);
    } else {
      y[x] = Clamp255((4899 * r + 9617 * g + 1868 * b + 8192) >> 14);
      cb[x] = Clamp255((8192 * b - 5428 * g - 2764 * r + 2105344) >> 14);
      cr[x] = Clamp255((8192 * r - 6860 * g - 1332 * b + 2105344) >> 14);
    }
  }
}

PrimitiveStatus ThreeByteImage(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                               int32_t dstStep, int32_t width, int32_t height, int32_t rIndex,
                               int32_t bIndex) {
  if (src == nullptr || dst == nullptr || AnyNull(dst, 3)) return StatusNullPointer;
  if (srcStep <= 0 || dstStep <= 0) return StatusBadStep;
  if (width <= 0 || height <= 0) return StatusBadSize;
  for (int32_t row = 0; row < height; ++row) {
    ThreeByteRow(Row(src, srcStep, row), rIndex, bIndex, Row(dst[0], dstStep, row),
                 Row(dst[1], dstStep, row), Row(dst[2], dstStep, row), width);
  }
  return StatusOk;
}

PrimitiveStatus FourByteImage(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                              int32_t dstStep, int32_t width, int32_t height, int32_t rIndex,
                              int32_t bIndex, int32_t yRound) {
  const PrimitiveStatus check = CheckFourByteToYCbCrPlanes(src, dst, width, height);
  if (check != StatusOk) return check;
  for (int32_t row = 0; row < height; ++row) {
    FourByteRow(Row(src, srcStep, row), rIndex, bIndex, yRound, Row(dst[0], dstStep, row),
                Row(dst[1], dstStep, row), Row(dst[2], dstStep, row), width);
  }
  return StatusOk;
}

constexpr int32_t kRgbaYRound = 32768;
constexpr int32_t kBgraYRound = 16384;

// Planar rows: the first multiple of 4 pixels use luminance-difference chroma, the last
// width mod 4 the table arithmetic (128 x 65536 + 32767 as the offset of chroma).
void PlanarRow(const uint8_t* r, const uint8_t* g, const uint8_t* b, uint8_t* y, uint8_t* cb,
               uint8_t* cr, int32_t pixels) {
  constexpr int32_t kChromaTableOffset = 8421375;
  const int32_t vector = pixels & ~3;
  for (int32_t x = 0; x < pixels; ++x) {
    const int32_t rv = r[x], gv = g[x], bv = b[x];
    if (x < vector) {
      const int32_t yv = (19595 * rv + 38470 * gv + 7471 * bv + 32768) >> 16;
      y[x] = static_cast<uint8_t>(yv);
      cb[x] = Clamp255(((bv - yv) * 18491 + 4210688) >> 15);
      cr[x] = Clamp255(((rv - yv) * 23373 + 4210688) >> 15);
    } else {
      y[x] = static_cast<uint8_t>((19595 * rv + 38470 * gv + (7471 * bv + 32768)) >> 16);
      cb[x] = static_cast<uint8_t>((-11059 * rv - 21709 * gv + (32768 * bv + kChromaTableOffset)) >>
                                   16);
      cr[x] =
          static_cast<uint8_t>(((32768 * rv + kChromaTableOffset) - 27439 * gv - 5329 * bv) >> 16);
    }
  }
}

void CmykRow(const uint8_t* src, uint8_t* y, uint8_t* cb, uint8_t* cr, uint8_t* k, int32_t pixels) {
  const uint8_t* px = src;
  for (int32_t x = 0; x < pixels; ++x, px += 4) {
    const int32_t r = 255 - px[0], g = 255 - px[1], b = 255 - px[2];
    y[x] = Clamp255((4899 * r + 9617 * g + 1868 * b + 8192) >> 14);
    cb[x] = Clamp255((8192 * b - 5428 * g - 2764 * r + 2105344) >> 14);
    cr[x] = Clamp255((8192 * r - 6860 * g - 1332 * b + 2105344) >> 14);
  }
  for (ptrdiff_t x = 0; x < pixels; ++x) k[x] = src[4 * x + 3];
}

}  // namespace

PrimitiveStatus CheckBgraToYCbCr420Planes(const uint8_t* src, uint8_t* const dst[3],
                                          const int32_t dstStep[3], int32_t width, int32_t height) {
  if (src == nullptr || dst == nullptr || AnyNull(dst, 3) || dstStep == nullptr) {
    return StatusNullPointer;
  }
  if (width < 2 || height < 2) return StatusBadSize;
  return StatusOk;
}

PrimitiveStatus CheckFourByteToYCbCrPlanes(const uint8_t* src, uint8_t* const dst[3], int32_t width,
                                           int32_t height) {
  if (src == nullptr || dst == nullptr || AnyNull(dst, 3)) return StatusNullPointer;
  if (width <= 0 || height <= 0) return StatusBadSize;
  return StatusOk;
}

void BgraToYCbCr420Block(const uint8_t* row0, const uint8_t* row1, uint8_t* y0, uint8_t* y1,
                         uint8_t* cb, uint8_t* cr, int32_t blocks) {
  for (int32_t j = 0; j < blocks; ++j, row0 += 8, row1 += 8) {
    const uint8_t* px[4] = {row0, row0 + 4, row1, row1 + 4};
    uint8_t* yOut[4] = {y0 + 2 * j, y0 + 2 * j + 1, y1 + 2 * j, y1 + 2 * j + 1};
    int32_t sb = 0, sg = 0, sr = 0;
    for (int32_t p = 0; p < 4; ++p) {
      const int32_t b = px[p][0], g = px[p][1], r = px[p][2];
      *yOut[p] = static_cast<uint8_t>((7471 * b + 38470 * g + 19595 * r + 32768) >> 16);
      sb += b;
      sg += g;
      sr += r;
    }
    // The rounding term is an eighth of a level on this divisor, not a half.
    cb[j] = static_cast<uint8_t>(128 + ((32768 * sb - 21709 * sg - 11059 * sr + 32768) >> 18));
    cr[j] = static_cast<uint8_t>(128 + ((32768 * sr - 27439 * sg - 5329 * sb + 32768) >> 18));
  }
}

void BgraToYCbCrRow(const uint8_t* src, uint8_t* y, uint8_t* cb, uint8_t* cr, int32_t pixels) {
  FourByteRow(src, 2, 0, kBgraYRound, y, cb, cr, pixels);
}

PrimitiveStatus CheckBgraToYCbCrRows2x2(const uint8_t* row0, const uint8_t* row1, int32_t width,
                                        int32_t paddedWidth, const uint8_t* y0, const uint8_t* y1,
                                        const uint8_t* cb, const uint8_t* cr) {
  if (row0 == nullptr || row1 == nullptr || y0 == nullptr || y1 == nullptr || cb == nullptr ||
      cr == nullptr) {
    return StatusNullPointer;
  }
  if (width < 1 || paddedWidth < width || (paddedWidth & 1) != 0) return StatusBadSize;
  return StatusOk;
}

void BgraToYCbCrRows2x2Tail(const uint8_t* row0, const uint8_t* row1, int32_t width,
                            int32_t paddedWidth, int32_t from, uint8_t* y0, uint8_t* y1,
                            uint8_t* cb, uint8_t* cr) {
  const uint8_t* const rows[2] = {row0, row1};
  uint8_t* const ys[2] = {y0, y1};
  for (int32_t x = from; x < paddedWidth; x += 2) {
    int32_t sumCb = 0, sumCr = 0;
    for (int32_t r = 0; r < 2; ++r) {
      for (int32_t k = 0; k < 2; ++k) {
        // Columns past the width repeat the last pixel.
        const int32_t column = x + k < width ? x + k : width - 1;
        uint8_t y, cbSample, crSample;
        FourByteRow(rows[r] + 4 * static_cast<ptrdiff_t>(column), 2, 0, kBgraYRound, &y, &cbSample,
                    &crSample, 1);
        ys[r][x + k] = y;
        sumCb += cbSample;
        sumCr += crSample;
      }
    }
    // The down-sampler's bias: 1 for even outputs, 2 for odd ones.
    const int32_t j = x / 2;
    const int32_t bias = (j & 1) ? 2 : 1;
    cb[j] = static_cast<uint8_t>((sumCb + bias) >> 2);
    cr[j] = static_cast<uint8_t>((sumCr + bias) >> 2);
  }
}

PrimitiveStatus BgraToYCbCrRows2x2S2(const uint8_t* row0, const uint8_t* row1, int32_t width,
                                     int32_t paddedWidth, uint8_t* y0, uint8_t* y1, uint8_t* cb,
                                     uint8_t* cr) {
  const PrimitiveStatus check =
      CheckBgraToYCbCrRows2x2(row0, row1, width, paddedWidth, y0, y1, cb, cr);
  if (check != StatusOk) return check;
  BgraToYCbCrRows2x2Tail(row0, row1, width, paddedWidth, 0, y0, y1, cb, cr);
  return StatusOk;
}

PrimitiveStatus BgraToYCbCr420PlanesS2(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                       const int32_t dstStep[3], int32_t width, int32_t height) {
  const PrimitiveStatus check = CheckBgraToYCbCr420Planes(src, dst, dstStep, width, height);
  if (check != StatusOk) return check;
  const int32_t w2 = width / 2, h2 = height / 2;
  for (int32_t i = 0; i < h2; ++i) {
    BgraToYCbCr420Block(Row(src, srcStep, 2 * i), Row(src, srcStep, 2 * i + 1),
                        Row(dst[0], dstStep[0], 2 * i), Row(dst[0], dstStep[0], 2 * i + 1),
                        Row(dst[1], dstStep[1], i), Row(dst[2], dstStep[2], i), w2);
  }
  return ((width | height) & 1) ? StatusOddSize : StatusOk;
}

PrimitiveStatus RgbaToYCbCrPlanesS2(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                    int32_t dstStep, int32_t width, int32_t height) {
  return FourByteImage(src, srcStep, dst, dstStep, width, height, 0, 2, kRgbaYRound);
}

PrimitiveStatus BgraToYCbCrPlanesS2(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                    int32_t dstStep, int32_t width, int32_t height) {
  return FourByteImage(src, srcStep, dst, dstStep, width, height, 2, 0, kBgraYRound);
}

PrimitiveStatus BgrToYCbCrPlanesS2(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                   int32_t dstStep, int32_t width, int32_t height) {
  return ThreeByteImage(src, srcStep, dst, dstStep, width, height, 2, 0);
}

PrimitiveStatus RgbToYCbCrPlanesS2(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                   int32_t dstStep, int32_t width, int32_t height) {
  return ThreeByteImage(src, srcStep, dst, dstStep, width, height, 0, 2);
}

PrimitiveStatus PlanarRgbToYCbCrS2(const uint8_t* const src[3], int32_t srcStep,
                                   uint8_t* const dst[3], int32_t dstStep, int32_t width,
                                   int32_t height) {
  if (src == nullptr || dst == nullptr || src[0] == nullptr || src[1] == nullptr ||
      src[2] == nullptr || AnyNull(dst, 3)) {
    return StatusNullPointer;
  }
  if (srcStep <= 0 || dstStep <= 0) return StatusBadStep;
  if (width <= 0) return StatusBadSize;
  if (height <= 0) return StatusBadSize;
  for (int32_t row = 0; row < height; ++row) {
    PlanarRow(Row(src[0], srcStep, row), Row(src[1], srcStep, row), Row(src[2], srcStep, row),
              Row(dst[0], dstStep, row), Row(dst[1], dstStep, row), Row(dst[2], dstStep, row),
              width);
  }
  return StatusOk;
}

PrimitiveStatus RgbToGrayS2(const uint8_t* src, int32_t srcStep, uint8_t* dst, int32_t dstStep,
                            int32_t width, int32_t height) {
  if (src == nullptr || dst == nullptr) return StatusNullPointer;
  if (srcStep <= 0 || dstStep <= 0) return StatusBadStep;
  if (width <= 0 || height <= 0) return StatusBadSize;
  for (int32_t row = 0; row < height; ++row) {
    const uint8_t* s = Row(src, srcStep, row);
    uint8_t* d = Row(dst, dstStep, row);
    for (int32_t x = 0; x < width; ++x, s += 3) {
      d[x] = static_cast<uint8_t>((9798 * s[0] + 19235 * s[1] + 3736 * s[2] + 16266) >> 15);
    }
  }
  return StatusOk;
}

PrimitiveStatus CmykToYcckPlanesS2(const uint8_t* src, int32_t srcStep, uint8_t* const dst[4],
                                   int32_t dstStep, int32_t width, int32_t height) {
  if (src == nullptr || dst == nullptr || AnyNull(dst, 4)) return StatusNullPointer;
  if (srcStep <= 0 || dstStep <= 0) return StatusBadStep;
  if (width <= 0 || height <= 0) return StatusBadSize;
  for (int32_t row = 0; row < height; ++row) {
    CmykRow(Row(src, srcStep, row), Row(dst[0], dstStep, row), Row(dst[1], dstStep, row),
            Row(dst[2], dstStep, row), Row(dst[3], dstStep, row), width);
  }
  return StatusOk;
}

}  // namespace vorn::jpeg::prim::color
