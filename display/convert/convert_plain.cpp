// The plain builds of the converters, which define every byte, and the planar conversion,
// which hands the frame to the 4:2:0 colour primitive with the device's plane layout.
#include <cstddef>

#include "display/convert/convert_builds.h"
#include "jpeg/primitives/color/color.h"

namespace vorn::display {
namespace {

int32_t Smaller(int32_t a, int32_t b) { return a < b ? a : b; }
uint32_t Align16(uint32_t v) { return (v + 15) & ~15u; }

}  // namespace

uint32_t BgraToYuv420Planar(const uint8_t* src, int32_t srcStride, uint8_t* dst, int32_t width,
                            int32_t height) {
  if (width <= 0 || height <= 0) return 0;
  const uint32_t w = static_cast<uint32_t>(width), h = static_cast<uint32_t>(height);
  const uint32_t yStride = Align16(w), cStride = Align16(w / 2);
  uint8_t* cb = dst + size_t{Align16(h)} * yStride;
  uint8_t* cr = cb + size_t{cStride} * (h / 2);
  uint8_t* const planes[3] = {dst, cb, cr};
  const int32_t steps[3] = {static_cast<int32_t>(yStride), static_cast<int32_t>(cStride),
                            static_cast<int32_t>(cStride)};
  // An odd size converts its even part; a size below 2 is refused and writes nothing.
  jpeg::prim::BgraToYCbCr420Planes(src, srcStride, planes, steps, width, height);
  return Align16(h) * yStride + cStride * h;
}

namespace convert {

InterleavedExtent InterleavedCoverage(const ConvertSource& src, const ConvertPlane& y,
                                      const ConvertPlane& cbcr) {
  const int32_t rowPairs = Smaller(Smaller(src.height, y.height) / 2, cbcr.height);
  const int32_t groups = Smaller(Smaller(src.width, y.width) / 2, cbcr.width) / 8;
  if (rowPairs <= 0 || groups <= 0 || !src.data || !y.data || !cbcr.data) return {0, 0};
  return {rowPairs, groups};
}

void BgraToYCbCr420InterleavedPlain(const ConvertSource& src, const ConvertPlane& y,
                                    const ConvertPlane& cbcr) {
  const InterleavedExtent e = InterleavedCoverage(src, y, cbcr);
  const int32_t pixels = e.groups * 16;
  for (int32_t i = 0; i < e.rowPairs; ++i) {
    const uint8_t* s0 = src.data + ptrdiff_t{2 * i} * src.stride;
    const uint8_t* s1 = s0 + src.stride;
    uint8_t* y0 = y.data + ptrdiff_t{2 * i} * y.stride;
    uint8_t* y1 = y0 + y.stride;
    uint8_t* c = cbcr.data + ptrdiff_t{i} * cbcr.stride;
    for (int32_t x = 0; x < pixels; ++x) {
      const uint8_t* p = s0 + 4 * x;
      const uint8_t* q = s1 + 4 * x;
      y0[x] = static_cast<uint8_t>((76 * p[2] + 150 * p[1] + 29 * p[0] + 128) >> 8);
      y1[x] = static_cast<uint8_t>((76 * q[2] + 150 * q[1] + 29 * q[0] + 128) >> 8);
    }
    for (int32_t j = 0; j < pixels / 2; ++j) {
      const uint8_t* p = s0 + 8 * j;
      const uint8_t* q = s1 + 8 * j;
      const int32_t sb = p[0] + p[4] + q[0] + q[4];
      const int32_t sg = p[1] + p[5] + q[1] + q[5];
      const int32_t sr = p[2] + p[6] + q[2] + q[6];
      int32_t cb = (16384 * sb - 10854 * sg - 5529 * sr + 0x1010000) >> 17;
      int32_t cr = (16384 * sr - 13719 * sg - 2664 * sb + 0x1010000) >> 17;
      cb = cb < 0 ? 0 : cb > 255 ? 255 : cb;
      cr = cr < 0 ? 0 : cr > 255 ? 255 : cr;
      c[2 * j] = static_cast<uint8_t>(cb);
      c[2 * j + 1] = static_cast<uint8_t>(cr);
    }
  }
}

void BgraToRgb24Tail(uint8_t* dstRow, const uint8_t* srcRow, int32_t first, int32_t width) {
  for (int32_t x = first; x < width; ++x) {
    dstRow[3 * x] = srcRow[4 * x];
    dstRow[3 * x + 1] = srcRow[4 * x + 1];
    dstRow[3 * x + 2] = srcRow[4 * x + 2];
  }
}

void BgraToRgb24Plain(uint8_t* dst, const uint8_t* src, int32_t dstStride, int32_t srcStride,
                      int32_t width, int32_t height) {
  for (int32_t row = 0; row < height; ++row) {
    BgraToRgb24Tail(dst + ptrdiff_t{row} * dstStride, src + ptrdiff_t{row} * srcStride, 0, width);
  }
}

void Rgb565ToRgb32Tail(uint8_t* dstRow, const uint8_t* srcRow, int32_t first, int32_t width) {
  for (int32_t x = first; x < width; ++x) {
    const uint32_t p = static_cast<uint32_t>(srcRow[2 * x]) |
                       static_cast<uint32_t>(srcRow[2 * x + 1]) << 8;
    dstRow[4 * x] = static_cast<uint8_t>((p & 0x1F) << 3);
    dstRow[4 * x + 1] = static_cast<uint8_t>(((p >> 5) & 0x3F) << 2);
    dstRow[4 * x + 2] = static_cast<uint8_t>((p >> 11) << 3);
    dstRow[4 * x + 3] = 0;
  }
}

void Rgb565ToRgb32Plain(uint8_t* dst, const uint8_t* src, int32_t dstStride, int32_t srcStride,
                        int32_t width, int32_t height) {
  for (int32_t row = 0; row < height; ++row) {
    Rgb565ToRgb32Tail(dst + ptrdiff_t{row} * dstStride, src + ptrdiff_t{row} * srcStride, 0,
                      width);
  }
}

}  // namespace convert
}  // namespace vorn::display
