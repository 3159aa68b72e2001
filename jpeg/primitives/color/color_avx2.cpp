// AVX2 builds of the display-path conversions: the chroma arithmetic of the SSE2 builds (see
// there) on 256-bit registers. The differences [B - G, R - G] and G << 16 come from one byte
// shuffle and two multiply-adds of bytes, and luminance is formed from them as
// Y = (65536 G + 7471 (B - G) + 19595 (R - G) + round) >> 16, the coefficients summing to
// 65536. AVX2 packs work within each 128-bit half, so every packed result is put back into
// pixel order with one cross-half permutation.
#include <immintrin.h>

#include <cstddef>

#include "jpeg/primitives/color/color_builds.h"

#define VORN_INLINE inline __attribute__((always_inline))

namespace vorn::jpeg::prim::color {
namespace {

constexpr int32_t Pair(int32_t lo, int32_t hi) {
  return static_cast<int32_t>((static_cast<uint32_t>(hi) << 16) |
                              (static_cast<uint32_t>(lo) & 0xFFFF));
}

struct Split {
  __m256i d;    // [B - G, R - G] per pixel
  __m256i g16;  // G << 16
};

VORN_INLINE __m256i Load(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
VORN_INLINE void Store(uint8_t* p, __m256i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

VORN_INLINE Split SplitPixels(const uint8_t* p) {
  // B, G, R, G of each pixel; multiply-adds of those byte pairs give the differences and G.
  const __m256i bgrg = _mm256_shuffle_epi8(
      Load(p), _mm256_setr_epi8(0, 1, 2, 1, 4, 5, 6, 5, 8, 9, 10, 9, 12, 13, 14, 13,  //
                                0, 1, 2, 1, 4, 5, 6, 5, 8, 9, 10, 9, 12, 13, 14, 13));
  return {_mm256_maddubs_epi16(bgrg, _mm256_set1_epi16(static_cast<int16_t>(0xFF01))),
          _mm256_maddubs_epi16(bgrg, _mm256_set1_epi32(0x01000000))};
}

VORN_INLINE __m256i Luma(const Split& s, int32_t round) {
  const __m256i t = _mm256_madd_epi16(s.d, _mm256_set1_epi32(Pair(7471, 19595)));
  return _mm256_srli_epi32(_mm256_add_epi32(_mm256_add_epi32(t, s.g16), _mm256_set1_epi32(round)),
                           16);
}

// Y of two vectors for 4:2:0, whose rounding term is half a level: with h = t >> 15,
// (t + 32768) >> 16 = (h + 1) >> 1, which one average of the packed 16-bit values gives.
VORN_INLINE __m256i LumaHalfRounded(const Split& a, const Split& b) {
  const __m256i c = _mm256_set1_epi32(Pair(7471, 19595));
  const __m256i ta = _mm256_srli_epi32(_mm256_add_epi32(_mm256_madd_epi16(a.d, c), a.g16), 15);
  const __m256i tb = _mm256_srli_epi32(_mm256_add_epi32(_mm256_madd_epi16(b.d, c), b.g16), 15);
  return _mm256_avg_epu16(_mm256_packs_epi32(ta, tb), _mm256_setzero_si256());
}

template <int kShift>
VORN_INLINE void Chroma(__m256i e, int32_t round, __m256i* cb, __m256i* cr) {
  const __m256i nb = _mm256_madd_epi16(e, _mm256_set1_epi32(Pair(-32768, 11059)));
  const __m256i nr = _mm256_madd_epi16(e, _mm256_set1_epi32(Pair(5329, -32768)));
  const __m256i r = _mm256_set1_epi32(round);
  *cb = _mm256_srli_epi32(_mm256_sub_epi32(r, nb), kShift);
  *cr = _mm256_srli_epi32(_mm256_sub_epi32(r, nr), kShift);
}

// Two packed halves (16-bit, half-interleaved by packs) into 32 bytes in pixel order.
VORN_INLINE __m256i PackBytes(__m256i lo, __m256i hi) {
  return _mm256_permutevar8x32_epi32(_mm256_packus_epi16(lo, hi),
                                     _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

// Per half: [p0+p1, p2+p3, q0+q1, q2+q3] of signed 16-bit pairs.
VORN_INLINE __m256i PairSum(__m256i p, __m256i q) {
  const __m256 a = _mm256_castsi256_ps(p), b = _mm256_castsi256_ps(q);
  return _mm256_add_epi16(_mm256_castps_si256(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0))),
                          _mm256_castps_si256(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1))));
}

constexpr int32_t kChroma420Round = 32768 + (128 << 18);
constexpr int32_t kLuma444Round = 16384;
constexpr int32_t kChroma444Round = 16384 + (128 << 16);

// 16 pixels of two rows: both rows' Y as 16-bit values and Cb, Cr of 8 blocks as 32-bit
// values, blocks per half [0 1 4 5 | 2 3 6 7].
struct Step420 {
  __m256i y0, y1, cb, cr;
};

VORN_INLINE Step420 Convert420(const uint8_t* row0, const uint8_t* row1) {
  const Split a0 = SplitPixels(row0), a1 = SplitPixels(row0 + 32);
  const Split b0 = SplitPixels(row1), b1 = SplitPixels(row1 + 32);
  Step420 s;
  s.y0 = LumaHalfRounded(a0, a1);
  s.y1 = LumaHalfRounded(b0, b1);
  Chroma<18>(PairSum(_mm256_add_epi16(a0.d, b0.d), _mm256_add_epi16(a1.d, b1.d)), kChroma420Round,
             &s.cb, &s.cr);
  return s;
}

// 16 blocks: 32 pixels of two rows.
constexpr int32_t kBlocksPerStep = 16;

void Row420(const uint8_t* row0, const uint8_t* row1, uint8_t* y0, uint8_t* y1, uint8_t* cb,
            uint8_t* cr, int32_t blocks) {
  ptrdiff_t j = 0;
  for (; j + kBlocksPerStep <= blocks; j += kBlocksPerStep) {
    const Step420 p = Convert420(row0 + 8 * j, row1 + 8 * j);
    const Step420 q = Convert420(row0 + 8 * j + 64, row1 + 8 * j + 64);
    Store(y0 + 2 * j, PackBytes(p.y0, q.y0));
    Store(y1 + 2 * j, PackBytes(p.y1, q.y1));
    // Bytes per half: Cb then Cr of blocks [0 1 4 5 8 9 12 13 | 2 3 6 7 10 11 14 15]...
    __m256i both =
        _mm256_packus_epi16(_mm256_packs_epi32(p.cb, q.cb), _mm256_packs_epi32(p.cr, q.cr));
    // ...the Cb quarters into the low half and the Cr quarters into the high one...
    both = _mm256_permute4x64_epi64(both, _MM_SHUFFLE(3, 1, 2, 0));
    // ...and the block pairs of each half into order.
    const __m256i order = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15, 0,
                                           1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
    both = _mm256_shuffle_epi8(both, order);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(cb + j), _mm256_castsi256_si128(both));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(cr + j), _mm256_extracti128_si256(both, 1));
  }
  if (j < blocks) {
    BgraToYCbCr420Block(row0 + 8 * j, row1 + 8 * j, y0 + 2 * j, y1 + 2 * j, cb + j, cr + j,
                        static_cast<int32_t>(blocks - j));
  }
}

struct Step444 {
  __m256i y, cb, cr;
};

// 16 pixels: Y, Cb and Cr as 16-bit values, half-interleaved by packs.
VORN_INLINE Step444 Convert444(const uint8_t* src) {
  const Split a = SplitPixels(src), b = SplitPixels(src + 32);
  __m256i cba, cra, cbb, crb;
  Chroma<16>(a.d, kChroma444Round, &cba, &cra);
  Chroma<16>(b.d, kChroma444Round, &cbb, &crb);
  return {_mm256_packs_epi32(Luma(a, kLuma444Round), Luma(b, kLuma444Round)),
          _mm256_packs_epi32(cba, cbb), _mm256_packs_epi32(cra, crb)};
}

constexpr int32_t kPixelsPerStep = 32;

void Row444(const uint8_t* src, uint8_t* y, uint8_t* cb, uint8_t* cr, int32_t pixels) {
  ptrdiff_t x = 0;
  for (; x + kPixelsPerStep <= pixels; x += kPixelsPerStep) {
    const Step444 p = Convert444(src + 4 * x);
    const Step444 q = Convert444(src + 4 * x + 64);
    Store(y + x, PackBytes(p.y, q.y));
    Store(cb + x, PackBytes(p.cb, q.cb));
    Store(cr + x, PackBytes(p.cr, q.cr));
  }
  if (x < pixels) {
    BgraToYCbCrRow(src + 4 * x, y + x, cb + x, cr + x, static_cast<int32_t>(pixels - x));
  }
}

// Per half, four chroma outputs of the 2x2 down-sampler from the 16-bit chroma of two rows
// (half-interleaved by packs, so each half's pairs are neighbouring columns and its outputs
// alternate even and odd): the pair sums by a multiply-add with ones, the bias, the shift.
VORN_INLINE __m256i Down2x2(__m256i upper, __m256i lower) {
  const __m256i sums = _mm256_madd_epi16(_mm256_add_epi16(upper, lower), _mm256_set1_epi16(1));
  return _mm256_srli_epi32(_mm256_add_epi32(sums, _mm256_set1_epi64x(0x0000000200000001)), 2);
}

// 32 columns of two rows: the Y of both rows, and 16 Cb and 16 Cr halved both ways from the
// full-resolution chroma in registers. The outputs come per half as blocks
// [0 1 4 5 8 9 12 13 | 2 3 6 7 10 11 14 15], put in order as Row420 does.
VORN_INLINE void Step2x2(const uint8_t* row0, const uint8_t* row1, uint8_t* y0, uint8_t* y1,
                         uint8_t* cb, uint8_t* cr) {
  const Step444 a = Convert444(row0), b = Convert444(row0 + 64);
  const Step444 c = Convert444(row1), d = Convert444(row1 + 64);
  Store(y0, PackBytes(a.y, b.y));
  Store(y1, PackBytes(c.y, d.y));
  const __m256i cb16 = _mm256_packs_epi32(Down2x2(a.cb, c.cb), Down2x2(b.cb, d.cb));
  const __m256i cr16 = _mm256_packs_epi32(Down2x2(a.cr, c.cr), Down2x2(b.cr, d.cr));
  __m256i both = _mm256_permute4x64_epi64(_mm256_packus_epi16(cb16, cr16), _MM_SHUFFLE(3, 1, 2, 0));
  const __m256i order = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15, 0,
                                         1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
  both = _mm256_shuffle_epi8(both, order);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(cb), _mm256_castsi256_si128(both));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(cr), _mm256_extracti128_si256(both, 1));
}

}  // namespace

PrimitiveStatus BgraToYCbCrRows2x2Avx2(const uint8_t* row0, const uint8_t* row1, int32_t width,
                                       int32_t paddedWidth, uint8_t* y0, uint8_t* y1, uint8_t* cb,
                                       uint8_t* cr) {
  const PrimitiveStatus check =
      CheckBgraToYCbCrRows2x2(row0, row1, width, paddedWidth, y0, y1, cb, cr);
  if (check != StatusOk) return check;
  ptrdiff_t x = 0;
  for (; x + kPixelsPerStep <= width; x += kPixelsPerStep) {
    Step2x2(row0 + 4 * x, row1 + 4 * x, y0 + x, y1 + x, cb + x / 2, cr + x / 2);
  }
  _mm256_zeroupper();
  BgraToYCbCrRows2x2Tail(row0, row1, width, paddedWidth, static_cast<int32_t>(x), y0, y1, cb, cr);
  return StatusOk;
}

PrimitiveStatus BgraToYCbCr420PlanesAvx2(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
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
  _mm256_zeroupper();
  return ((width | height) & 1) ? StatusOddSize : StatusOk;
}

PrimitiveStatus BgraToYCbCrPlanesAvx2(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                      int32_t dstStep, int32_t width, int32_t height) {
  const PrimitiveStatus check = CheckFourByteToYCbCrPlanes(src, dst, width, height);
  if (check != StatusOk) return check;
  const ptrdiff_t s = srcStep, d = dstStep;
  for (int32_t row = 0; row < height; ++row) {
    Row444(src + s * row, dst[0] + d * row, dst[1] + d * row, dst[2] + d * row, width);
  }
  _mm256_zeroupper();
  return StatusOk;
}

}  // namespace vorn::jpeg::prim::color
