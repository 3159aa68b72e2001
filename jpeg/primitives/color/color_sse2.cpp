// SSE2 builds of the display-path conversions. Same samples as the plain builds: every sum
// is exact 32-bit arithmetic on 16-bit products (pmaddwd), arranged so that each coefficient
// fits 16 bits.
//
// Pixels are taken as 32-bit words B | G << 8 | R << 16 | x << 24, split into the 16-bit
// pairs [B, R], [G, G] and their difference [B - G, R - G]. Luminance weighs the first two
// (38470 G as 19235 G twice). The chroma coefficients of G are minus the sum of the other
// two, so chroma is a single product of the differences: Cb = 32768 (B - G) - 11059 (R - G)
// and Cr = 32768 (R - G) - 5329 (B - G), formed negated because -32768 fits 16 bits where
// 32768 does not. 2x2 sums of the differences stay within +-1020, so they are added as
// 16-bit values.
#include <emmintrin.h>

#include <cstddef>

#include "jpeg/primitives/color/color_builds.h"

#define VORN_INLINE inline __attribute__((always_inline))

namespace vorn::jpeg::prim::color {
namespace {

// A 32-bit lane holding two 16-bit coefficients, |lo| for the low field.
constexpr int32_t Pair(int32_t lo, int32_t hi) {
  return static_cast<int32_t>((static_cast<uint32_t>(hi) << 16) |
                              (static_cast<uint32_t>(lo) & 0xFFFF));
}

struct Split {
  __m128i br;  // [B, R] per pixel
  __m128i gg;  // [G, G]
  __m128i d;   // [B - G, R - G]
};

VORN_INLINE __m128i Load(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
VORN_INLINE void Store(uint8_t* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

VORN_INLINE Split SplitPixels(const uint8_t* p) {
  const __m128i v = Load(p);
  const __m128i gx = _mm_srli_epi16(v, 8);  // [G, x]
  Split s;
  s.br = _mm_and_si128(v, _mm_set1_epi32(0x00FF00FF));
  s.gg = _mm_shufflehi_epi16(_mm_shufflelo_epi16(gx, _MM_SHUFFLE(2, 2, 0, 0)),
                             _MM_SHUFFLE(2, 2, 0, 0));
  s.d = _mm_sub_epi16(s.br, s.gg);
  return s;
}

// (7471 B + 19595 R + 19235 G + 19235 G + round) >> 16.
VORN_INLINE __m128i Luma(const Split& s, int32_t round) {
  const __m128i br = _mm_madd_epi16(s.br, _mm_set1_epi32(Pair(7471, 19595)));
  const __m128i g = _mm_madd_epi16(s.gg, _mm_set1_epi32(Pair(19235, 19235)));
  return _mm_srli_epi32(_mm_add_epi32(_mm_add_epi32(br, g), _mm_set1_epi32(round)), 16);
}

// Cb and Cr of [B - G, R - G] (single pixels or 2x2 sums), taken from |round|, which includes
// 128 << kShift, so the value shifted is never negative.
// Y of two vectors for 4:2:0, whose rounding term is half a level: with h = t >> 15,
// (t + 32768) >> 16 = (h + 1) >> 1, which one average of the packed 16-bit values gives.
VORN_INLINE __m128i LumaHalfRounded(const Split& a, const Split& b) {
  const __m128i cbr = _mm_set1_epi32(Pair(7471, 19595)), cg = _mm_set1_epi32(Pair(19235, 19235));
  const __m128i ta =
      _mm_srli_epi32(_mm_add_epi32(_mm_madd_epi16(a.br, cbr), _mm_madd_epi16(a.gg, cg)), 15);
  const __m128i tb =
      _mm_srli_epi32(_mm_add_epi32(_mm_madd_epi16(b.br, cbr), _mm_madd_epi16(b.gg, cg)), 15);
  return _mm_avg_epu16(_mm_packs_epi32(ta, tb), _mm_setzero_si128());
}

template <int kShift>
VORN_INLINE void Chroma(__m128i e, int32_t round, __m128i* cb, __m128i* cr) {
  const __m128i nb = _mm_madd_epi16(e, _mm_set1_epi32(Pair(-32768, 11059)));
  const __m128i nr = _mm_madd_epi16(e, _mm_set1_epi32(Pair(5329, -32768)));
  const __m128i r = _mm_set1_epi32(round);
  *cb = _mm_srli_epi32(_mm_sub_epi32(r, nb), kShift);
  *cr = _mm_srli_epi32(_mm_sub_epi32(r, nr), kShift);
}

// Sums of horizontally adjacent pixels' 16-bit pairs: [p0+p1, p2+p3, q0+q1, q2+q3].
VORN_INLINE __m128i PairSum(__m128i p, __m128i q) {
  const __m128 a = _mm_castsi128_ps(p), b = _mm_castsi128_ps(q);
  return _mm_add_epi16(_mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0))),
                       _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1))));
}

constexpr int32_t kChroma420Round = 32768 + (128 << 18);
constexpr int32_t kLuma444Round = 16384;
constexpr int32_t kChroma444Round = 16384 + (128 << 16);

// 8 pixels of two rows: both rows' Y as 16-bit values, Cb and Cr of 4 blocks as 32-bit ones.
struct Step420 {
  __m128i y0, y1, cb, cr;
};

VORN_INLINE Step420 Convert420(const uint8_t* row0, const uint8_t* row1) {
  const Split a0 = SplitPixels(row0), a1 = SplitPixels(row0 + 16);
  const Split b0 = SplitPixels(row1), b1 = SplitPixels(row1 + 16);
  Step420 s;
  s.y0 = LumaHalfRounded(a0, a1);
  s.y1 = LumaHalfRounded(b0, b1);
  Chroma<18>(PairSum(_mm_add_epi16(a0.d, b0.d), _mm_add_epi16(a1.d, b1.d)), kChroma420Round, &s.cb,
             &s.cr);
  return s;
}

// 8 blocks: 16 pixels of two rows.
constexpr int32_t kBlocksPerStep = 8;

void Row420(const uint8_t* row0, const uint8_t* row1, uint8_t* y0, uint8_t* y1, uint8_t* cb,
            uint8_t* cr, int32_t blocks) {
  ptrdiff_t j = 0;
  for (; j + kBlocksPerStep <= blocks; j += kBlocksPerStep) {
    const Step420 p = Convert420(row0 + 8 * j, row1 + 8 * j);
    const Step420 q = Convert420(row0 + 8 * j + 32, row1 + 8 * j + 32);
    Store(y0 + 2 * j, _mm_packus_epi16(p.y0, q.y0));
    Store(y1 + 2 * j, _mm_packus_epi16(p.y1, q.y1));
    const __m128i both = _mm_packus_epi16(_mm_packs_epi32(p.cb, q.cb), _mm_packs_epi32(p.cr, q.cr));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(cb + j), both);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(cr + j), _mm_srli_si128(both, 8));
  }
  if (j < blocks) {
    BgraToYCbCr420Block(row0 + 8 * j, row1 + 8 * j, y0 + 2 * j, y1 + 2 * j, cb + j, cr + j,
                        static_cast<int32_t>(blocks - j));
  }
}

struct Step444 {
  __m128i y, cb, cr;
};

// 8 pixels: Y, Cb and Cr as 16-bit values.
VORN_INLINE Step444 Convert444(const uint8_t* src) {
  const Split a = SplitPixels(src), b = SplitPixels(src + 16);
  __m128i cba, cra, cbb, crb;
  Chroma<16>(a.d, kChroma444Round, &cba, &cra);
  Chroma<16>(b.d, kChroma444Round, &cbb, &crb);
  return {_mm_packs_epi32(Luma(a, kLuma444Round), Luma(b, kLuma444Round)),
          _mm_packs_epi32(cba, cbb), _mm_packs_epi32(cra, crb)};
}

constexpr int32_t kPixelsPerStep = 16;

void Row444(const uint8_t* src, uint8_t* y, uint8_t* cb, uint8_t* cr, int32_t pixels) {
  ptrdiff_t x = 0;
  for (; x + kPixelsPerStep <= pixels; x += kPixelsPerStep) {
    const Step444 p = Convert444(src + 4 * x);
    const Step444 q = Convert444(src + 4 * x + 32);
    Store(y + x, _mm_packus_epi16(p.y, q.y));
    Store(cb + x, _mm_packus_epi16(p.cb, q.cb));
    Store(cr + x, _mm_packus_epi16(p.cr, q.cr));
  }
  if (x < pixels) {
    BgraToYCbCrRow(src + 4 * x, y + x, cb + x, cr + x, static_cast<int32_t>(pixels - x));
  }
}

// Four chroma outputs of the 2x2 down-sampler from the 16-bit chroma of eight columns of two
// rows: the pair sums of the two rows' sum by a multiply-add with ones, the bias 1, 2, 1, 2
// (each step starts at an even output), and the shift.
VORN_INLINE __m128i Down2x2(__m128i upper, __m128i lower) {
  const __m128i sums = _mm_madd_epi16(_mm_add_epi16(upper, lower), _mm_set1_epi16(1));
  return _mm_srli_epi32(_mm_add_epi32(sums, _mm_set_epi32(2, 1, 2, 1)), 2);
}

// 16 columns of two rows: the Y of both rows, the full-resolution chroma kept in registers
// and halved both ways into 8 Cb and 8 Cr.
VORN_INLINE void Step2x2(const uint8_t* row0, const uint8_t* row1, uint8_t* y0, uint8_t* y1,
                         uint8_t* cb, uint8_t* cr) {
  const Step444 a = Convert444(row0), b = Convert444(row0 + 32);
  const Step444 c = Convert444(row1), d = Convert444(row1 + 32);
  Store(y0, _mm_packus_epi16(a.y, b.y));
  Store(y1, _mm_packus_epi16(c.y, d.y));
  const __m128i cb16 = _mm_packs_epi32(Down2x2(a.cb, c.cb), Down2x2(b.cb, d.cb));
  const __m128i cr16 = _mm_packs_epi32(Down2x2(a.cr, c.cr), Down2x2(b.cr, d.cr));
  const __m128i both = _mm_packus_epi16(cb16, cr16);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(cb), both);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(cr), _mm_srli_si128(both, 8));
}

}  // namespace

PrimitiveStatus BgraToYCbCrRows2x2Sse2(const uint8_t* row0, const uint8_t* row1, int32_t width,
                                       int32_t paddedWidth, uint8_t* y0, uint8_t* y1, uint8_t* cb,
                                       uint8_t* cr) {
  const PrimitiveStatus check =
      CheckBgraToYCbCrRows2x2(row0, row1, width, paddedWidth, y0, y1, cb, cr);
  if (check != StatusOk) return check;
  ptrdiff_t x = 0;
  for (; x + kPixelsPerStep <= width; x += kPixelsPerStep) {
    Step2x2(row0 + 4 * x, row1 + 4 * x, y0 + x, y1 + x, cb + x / 2, cr + x / 2);
  }
  BgraToYCbCrRows2x2Tail(row0, row1, width, paddedWidth, static_cast<int32_t>(x), y0, y1, cb, cr);
  return StatusOk;
}

PrimitiveStatus BgraToYCbCr420PlanesSse2(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                         const int32_t dstStep[3], int32_t width, int32_t height) {
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

PrimitiveStatus BgraToYCbCrPlanesSse2(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                      int32_t dstStep, int32_t width, int32_t height) {
  const PrimitiveStatus check = CheckFourByteToYCbCrPlanes(src, dst, width, height);
  if (check != StatusOk) return check;
  const ptrdiff_t s = srcStep, d = dstStep;
  for (int32_t row = 0; row < height; ++row) {
    Row444(src + s * row, dst[0] + d * row, dst[1] + d * row, dst[2] + d * row, width);
  }
  return StatusOk;
}

}  // namespace vorn::jpeg::prim::color
