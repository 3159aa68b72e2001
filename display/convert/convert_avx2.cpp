// AVX2 builds of the converters: the arithmetic of the SSE2 builds (see there) on 256-bit
// registers. AVX2 packs and shuffles work within each 128-bit half, so every packed result is
// put back into pixel order with one cross-half permutation.
//
// 24-bit: one byte shuffle closes up each half's four pixels into 12 bytes and a permutation
// joins the halves into 24; a 32-byte store leaves 8 bytes the next store overwrites, and the
// last pixels of a row go in smaller steps, so nothing is written beyond the row.
#include <immintrin.h>

#include <cstddef>

#include "display/convert/convert_builds.h"

#define VORN_INLINE inline __attribute__((always_inline))

namespace vorn::display::convert {
namespace {

VORN_INLINE __m256i Load(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
VORN_INLINE void Store(uint8_t* p, __m256i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}
VORN_INLINE void Store128(uint8_t* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

VORN_INLINE __m256i WordPair(int32_t lo, int32_t hi) {
  return _mm256_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(hi) << 16) |
                                                (static_cast<uint32_t>(lo) & 0xFFFF)));
}

VORN_INLINE __m256i Luma(__m256i br, __m256i gx) {
  const __m256i sum = _mm256_add_epi32(_mm256_madd_epi16(br, WordPair(29, 76)),
                                       _mm256_madd_epi16(gx, WordPair(150, 0)));
  return _mm256_srli_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(128)), 8);
}

VORN_INLINE __m256i Chroma(__m256i sbr, __m256i sgx) {
  const __m256i round = _mm256_set1_epi32(0x1010000);
  const __m256i cb = _mm256_srai_epi32(
      _mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(sbr, WordPair(16384, -5529)),
                                        _mm256_madd_epi16(sgx, WordPair(-10854, 0))),
                       round),
      17);
  const __m256i cr = _mm256_srai_epi32(
      _mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(sbr, WordPair(-2664, 16384)),
                                        _mm256_madd_epi16(sgx, WordPair(-13719, 0))),
                       round),
      17);
  return _mm256_packs_epi32(_mm256_unpacklo_epi32(cb, cr), _mm256_unpackhi_epi32(cb, cr));
}

VORN_INLINE __m256i PairSums(__m256i a, __m256i b) {
  const __m256 fa = _mm256_castsi256_ps(a), fb = _mm256_castsi256_ps(b);
  return _mm256_add_epi16(
      _mm256_castps_si256(_mm256_shuffle_ps(fa, fb, _MM_SHUFFLE(2, 0, 2, 0))),
      _mm256_castps_si256(_mm256_shuffle_ps(fa, fb, _MM_SHUFFLE(3, 1, 3, 1))));
}

// 16 pixels of two rows: luminance as words per row (pixels 0-3, 8-11 | 4-7, 12-15) and the
// Cb, Cr words of the eight blocks (blocks 0, 1, 4, 5 | 2, 3, 6, 7).
struct Half {
  __m256i y0, y1, c;
};

VORN_INLINE Half Group16Words(const uint8_t* s0, const uint8_t* s1) {
  const __m256i low = _mm256_set1_epi16(0x00FF);
  const __m256i p0 = Load(s0), p1 = Load(s0 + 32), q0 = Load(s1), q1 = Load(s1 + 32);
  const __m256i brp0 = _mm256_and_si256(p0, low), gxp0 = _mm256_srli_epi16(p0, 8);
  const __m256i brp1 = _mm256_and_si256(p1, low), gxp1 = _mm256_srli_epi16(p1, 8);
  const __m256i brq0 = _mm256_and_si256(q0, low), gxq0 = _mm256_srli_epi16(q0, 8);
  const __m256i brq1 = _mm256_and_si256(q1, low), gxq1 = _mm256_srli_epi16(q1, 8);
  Half h;
  h.y0 = _mm256_packs_epi32(Luma(brp0, gxp0), Luma(brp1, gxp1));
  h.y1 = _mm256_packs_epi32(Luma(brq0, gxq0), Luma(brq1, gxq1));
  h.c = Chroma(PairSums(_mm256_add_epi16(brp0, brq0), _mm256_add_epi16(brp1, brq1)),
               PairSums(_mm256_add_epi16(gxp0, gxq0), _mm256_add_epi16(gxp1, gxq1)));
  return h;
}

// Packed bytes of two halves in 4-byte units 0, 2, 4, 6 | 1, 3, 5, 7 back into order.
VORN_INLINE __m256i InOrder(__m256i a, __m256i b) {
  return _mm256_permutevar8x32_epi32(_mm256_packus_epi16(a, b),
                                     _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

// 32 pixels of two rows.
VORN_INLINE void Group32(const uint8_t* s0, const uint8_t* s1, uint8_t* y0, uint8_t* y1,
                         uint8_t* c) {
  const Half a = Group16Words(s0, s1);
  const Half b = Group16Words(s0 + 64, s1 + 64);
  Store(y0, InOrder(a.y0, b.y0));
  Store(y1, InOrder(a.y1, b.y1));
  Store(c, InOrder(a.c, b.c));
}

// 16 pixels of two rows.
VORN_INLINE void Group16(const uint8_t* s0, const uint8_t* s1, uint8_t* y0, uint8_t* y1,
                         uint8_t* c) {
  const Half a = Group16Words(s0, s1);
  // Row 0 pixels 0-3, 8-11, row 1 pixels 0-3, 8-11 | row 0 4-7, 12-15, row 1 4-7, 12-15.
  const __m256i rows = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(a.y0, a.y1),
                                                   _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
  Store128(y0, _mm256_castsi256_si128(rows));
  Store128(y1, _mm256_extracti128_si256(rows, 1));
  const __m256i bytes = _mm256_packus_epi16(a.c, a.c);
  Store128(c, _mm256_castsi256_si128(
                  _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 0, 4, 1, 5))));
}

}  // namespace

void BgraToYCbCr420InterleavedAvx2(const ConvertSource& src, const ConvertPlane& y,
                                   const ConvertPlane& cbcr) {
  const InterleavedExtent e = InterleavedCoverage(src, y, cbcr);
  for (int32_t i = 0; i < e.rowPairs; ++i) {
    const uint8_t* s0 = src.data + ptrdiff_t{2 * i} * src.stride;
    const uint8_t* s1 = s0 + src.stride;
    uint8_t* y0 = y.data + ptrdiff_t{2 * i} * y.stride;
    uint8_t* y1 = y0 + y.stride;
    uint8_t* c = cbcr.data + ptrdiff_t{i} * cbcr.stride;
    int32_t g = 0;
    for (; g + 2 <= e.groups; g += 2) {
      Group32(s0 + 64 * g, s1 + 64 * g, y0 + 16 * g, y1 + 16 * g, c + 16 * g);
    }
    if (g < e.groups) Group16(s0 + 64 * g, s1 + 64 * g, y0 + 16 * g, y1 + 16 * g, c + 16 * g);
  }
}

void BgraToRgb24Avx2(uint8_t* dst, const uint8_t* src, int32_t dstStride, int32_t srcStride,
                     int32_t width, int32_t height) {
  const __m256i closeUp = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,
                                           0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  const __m256i join = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);
  const __m128i closeUp4 = _mm256_castsi256_si128(closeUp);
  for (int32_t row = 0; row < height; ++row) {
    const uint8_t* s = src + ptrdiff_t{row} * srcStride;
    uint8_t* d = dst + ptrdiff_t{row} * dstStride;
    int32_t x = 0;
    // A 32-byte store at pixel x ends at 3x + 32, inside the row while x + 11 <= width.
    for (; x + 11 <= width; x += 8) {
      Store(d + 3 * x, _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(Load(s + 4 * x), closeUp),
                                                   join));
    }
    for (; x + 6 <= width; x += 4) {
      Store128(d + 3 * x, _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(
                                               s + 4 * x)),
                                           closeUp4));
    }
    BgraToRgb24Tail(d, s, x, width);
  }
}

void Rgb565ToRgb32Avx2(uint8_t* dst, const uint8_t* src, int32_t dstStride, int32_t srcStride,
                       int32_t width, int32_t height) {
  const __m256i blueMask = _mm256_set1_epi16(0x00F8);
  const __m256i greenMask = _mm256_set1_epi16(static_cast<int16_t>(0xFC00));
  for (int32_t row = 0; row < height; ++row) {
    const uint8_t* s = src + ptrdiff_t{row} * srcStride;
    uint8_t* d = dst + ptrdiff_t{row} * dstStride;
    int32_t x = 0;
    for (; x + 16 <= width; x += 16) {
      const __m256i p = Load(s + 2 * x);
      const __m256i bg = _mm256_or_si256(_mm256_and_si256(_mm256_slli_epi16(p, 3), blueMask),
                                         _mm256_and_si256(_mm256_slli_epi16(p, 5), greenMask));
      const __m256i r = _mm256_and_si256(_mm256_srli_epi16(p, 8), blueMask);
      // Pixels 0-3 | 8-11 and 4-7 | 12-15.
      const __m256i lo = _mm256_unpacklo_epi16(bg, r), hi = _mm256_unpackhi_epi16(bg, r);
      Store(d + 4 * x, _mm256_permute2x128_si256(lo, hi, 0x20));
      Store(d + 4 * x + 32, _mm256_permute2x128_si256(lo, hi, 0x31));
    }
    Rgb565ToRgb32Tail(d, s, x, width);
  }
}

}  // namespace vorn::display::convert
