// SSE2 builds of the display-path conversions. Same samples as the plain builds: luminance
// and chroma are exact 32-bit sums of 16-bit products (pmaddwd), with each coefficient that
// does not fit 16 bits split into two that do.
//
// Pixels are taken as 32-bit words B | G << 8 | R << 16 | x << 24. Masking gives the 16-bit
// pairs [B, R] and [G, x] per pixel, which pmaddwd weighs directly; 2x2 sums of those pairs
// stay below 1021 per field, so they are added as 32-bit words without carries.
#include <emmintrin.h>

#include <cstddef>

#include "jpeg/primitives/color/color_builds.h"

namespace vorn::jpeg::prim::color {
namespace {

// A 32-bit lane holding two 16-bit coefficients, |lo| for the low field.
constexpr int32_t Pair(int32_t lo, int32_t hi) {
  return static_cast<int32_t>((static_cast<uint32_t>(hi) << 16) | (static_cast<uint32_t>(lo) & 0xFFFF));
}

struct Split {
  __m128i br;  // [B, R] per pixel
  __m128i ga;  // [G, x] per pixel
};

Split SplitPixels(__m128i v) {
  const __m128i fields = _mm_set1_epi32(0x00FF00FF);
  return {_mm_and_si128(v, fields), _mm_and_si128(_mm_srli_epi32(v, 8), fields)};
}

// 7471 B + 19595 R + 2 x 19235 G + round, then >> 16.
__m128i Luma(const Split& s, int32_t round) {
  const __m128i br = _mm_madd_epi16(s.br, _mm_set1_epi32(Pair(7471, 19595)));
  const __m128i g = _mm_slli_epi32(_mm_madd_epi16(s.ga, _mm_set1_epi32(Pair(19235, 0))), 1);
  return _mm_srli_epi32(_mm_add_epi32(_mm_add_epi32(br, g), _mm_set1_epi32(round)), 16);
}

// Cb and Cr of [B, R] and [G, x] (single pixels or 2x2 sums): 32768 B is 16384 B taken
// twice, from [B, G] and from [B, R]; Cr likewise from [R, G] and [B, R]. |round| includes
// 128 << |shift|, so the sums are never negative.
template <int kShift>
void Chroma(__m128i br, __m128i ga, int32_t round, __m128i* cb, __m128i* cr) {
  const __m128i g16 = _mm_slli_epi32(ga, 16);
  const __m128i bg = _mm_or_si128(_mm_and_si128(br, _mm_set1_epi32(0xFFFF)), g16);
  const __m128i rg = _mm_or_si128(_mm_srli_epi32(br, 16), g16);
  const __m128i r = _mm_set1_epi32(round);
  __m128i b = _mm_add_epi32(_mm_madd_epi16(bg, _mm_set1_epi32(Pair(16384, -21709))),
                            _mm_madd_epi16(br, _mm_set1_epi32(Pair(16384, -11059))));
  __m128i c = _mm_add_epi32(_mm_madd_epi16(rg, _mm_set1_epi32(Pair(16384, -27439))),
                            _mm_madd_epi16(br, _mm_set1_epi32(Pair(-5329, 16384))));
  *cb = _mm_srli_epi32(_mm_add_epi32(b, r), kShift);
  *cr = _mm_srli_epi32(_mm_add_epi32(c, r), kShift);
}

__m128i Pack8(__m128i a, __m128i b, __m128i c, __m128i d) {
  return _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
}

// Sums of horizontally adjacent pixels: [p0+p1, p2+p3, q0+q1, q2+q3].
__m128i PairSum(__m128i p, __m128i q) {
  const __m128 a = _mm_castsi128_ps(p), b = _mm_castsi128_ps(q);
  return _mm_add_epi32(_mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0))),
                       _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1))));
}

__m128i Load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
void Store(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

constexpr int32_t kLuma420Round = 32768;
constexpr int32_t kChroma420Round = 32768 + (128 << 18);
constexpr int32_t kLuma444Round = 16384;
constexpr int32_t kChroma444Round = 16384 + (128 << 16);

// 8 blocks: 16 pixels of two rows.
constexpr int32_t kBlocksPerStep = 8;

void Row420(const uint8_t* row0, const uint8_t* row1, uint8_t* y0, uint8_t* y1, uint8_t* cb,
            uint8_t* cr, int32_t blocks) {
  int32_t j = 0;
  for (; j + kBlocksPerStep <= blocks; j += kBlocksPerStep) {
    __m128i ya[4], yb[4], brSum[4], gaSum[4];
    for (int k = 0; k < 4; ++k) {
      const Split a = SplitPixels(Load(row0 + 8 * j + 16 * k));
      const Split b = SplitPixels(Load(row1 + 8 * j + 16 * k));
      ya[k] = Luma(a, kLuma420Round);
      yb[k] = Luma(b, kLuma420Round);
      brSum[k] = _mm_add_epi32(a.br, b.br);
      gaSum[k] = _mm_add_epi32(a.ga, b.ga);
    }
    Store(y0 + 2 * j, Pack8(ya[0], ya[1], ya[2], ya[3]));
    Store(y1 + 2 * j, Pack8(yb[0], yb[1], yb[2], yb[3]));
    __m128i cb0, cr0, cb1, cr1;
    Chroma<18>(PairSum(brSum[0], brSum[1]), PairSum(gaSum[0], gaSum[1]), kChroma420Round, &cb0,
               &cr0);
    Chroma<18>(PairSum(brSum[2], brSum[3]), PairSum(gaSum[2], gaSum[3]), kChroma420Round, &cb1,
               &cr1);
    const __m128i both = Pack8(cb0, cb1, cr0, cr1);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(cb + j), both);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(cr + j), _mm_srli_si128(both, 8));
  }
  if (j < blocks) {
    BgraToYCbCr420Block(row0 + 8 * j, row1 + 8 * j, y0 + 2 * j, y1 + 2 * j, cb + j, cr + j,
                        blocks - j);
  }
}

constexpr int32_t kPixelsPerStep = 16;

void Row444(const uint8_t* src, uint8_t* y, uint8_t* cb, uint8_t* cr, int32_t pixels) {
  int32_t x = 0;
  for (; x + kPixelsPerStep <= pixels; x += kPixelsPerStep) {
    __m128i yv[4], cbv[4], crv[4];
    for (int k = 0; k < 4; ++k) {
      const Split s = SplitPixels(Load(src + 4 * x + 16 * k));
      yv[k] = Luma(s, kLuma444Round);
      Chroma<16>(s.br, s.ga, kChroma444Round, &cbv[k], &crv[k]);
    }
    Store(y + x, Pack8(yv[0], yv[1], yv[2], yv[3]));
    Store(cb + x, Pack8(cbv[0], cbv[1], cbv[2], cbv[3]));
    Store(cr + x, Pack8(crv[0], crv[1], crv[2], crv[3]));
  }
  if (x < pixels) BgraToYCbCrRow(src + 4 * x, y + x, cb + x, cr + x, pixels - x);
}

}  // namespace

PrimitiveStatus BgraToYCbCr420PlanesSse2(const uint8_t* src, int32_t srcStep,
                                         uint8_t* const dst[3], const int32_t dstStep[3],
                                         int32_t width, int32_t height) {
  const PrimitiveStatus check = CheckBgraToYCbCr420Planes(src, dst, dstStep, width, height);
  if (check != StatusOk) return check;
  const int32_t w2 = width / 2, h2 = height / 2;
  const ptrdiff_t s = srcStep, ys = dstStep[0], cbs = dstStep[1], crs = dstStep[2];
  for (int32_t i = 0; i < h2; ++i) {
    const uint8_t* row0 = src + s * (2 * i);
    Row420(row0, row0 + s, dst[0] + ys * (2 * i), dst[0] + ys * (2 * i + 1), dst[1] + cbs * i,
           dst[2] + crs * i, w2);
  }
  return ((width | height) & 1) ? StatusOddSize : StatusOk;
}

PrimitiveStatus BgraToYCbCrPlanesSse2(const uint8_t* src, int32_t srcStep,
                                      uint8_t* const dst[3], int32_t dstStep, int32_t width,
                                      int32_t height) {
  const PrimitiveStatus check = CheckFourByteToYCbCrPlanes(src, dst, width, height);
  if (check != StatusOk) return check;
  const ptrdiff_t s = srcStep, d = dstStep;
  for (int32_t row = 0; row < height; ++row) {
    Row444(src + s * row, dst[0] + d * row, dst[1] + d * row, dst[2] + d * row, width);
  }
  return StatusOk;
}

}  // namespace vorn::jpeg::prim::color
