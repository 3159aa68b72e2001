// SSE2 builds of the converters.
//
// Interleaved 4:2:0: a pixel's 32 bits seen as two 16-bit words give [B, R] (masked) and
// [G, x] (shifted), so one multiply-add of each with the word pairs of the coefficients forms
// the weighted sums in 32 bits exactly as the plain build does; the fourth byte meets a zero
// coefficient. Chroma adds the two rows as words, then the two pixels of each block by
// picking the even and odd pixels of two registers.
//
// 24-bit: the low three bytes of the two pixels in each 64-bit half are closed up, the two
// halves joined into 12 bytes, and a 16-byte store leaves 4 bytes the next store overwrites;
// the last pixels of a row go one by one, so nothing is written beyond the row.
#include <emmintrin.h>

#include <cstddef>

#include "display/convert/convert_builds.h"

#define VORN_INLINE inline __attribute__((always_inline))

namespace vorn::display::convert {
namespace {

VORN_INLINE __m128i Load(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
VORN_INLINE void Store(uint8_t* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// Low word |lo|, high word |hi| of each 32-bit lane.
VORN_INLINE __m128i WordPair(int32_t lo, int32_t hi) {
  return _mm_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(hi) << 16) |
                                             (static_cast<uint32_t>(lo) & 0xFFFF)));
}

// Four pixels' luminance in 32-bit lanes.
VORN_INLINE __m128i Luma(__m128i br, __m128i gx) {
  const __m128i sum = _mm_add_epi32(_mm_madd_epi16(br, WordPair(29, 76)),
                                    _mm_madd_epi16(gx, WordPair(150, 0)));
  return _mm_srli_epi32(_mm_add_epi32(sum, _mm_set1_epi32(128)), 8);
}

// Cb, Cr pairs of four blocks from their [SB, SR] and [SG, Sx] sums, as eight words.
VORN_INLINE __m128i Chroma(__m128i sbr, __m128i sgx) {
  const __m128i round = _mm_set1_epi32(0x1010000);
  const __m128i cb = _mm_srai_epi32(
      _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(sbr, WordPair(16384, -5529)),
                                  _mm_madd_epi16(sgx, WordPair(-10854, 0))),
                    round),
      17);
  const __m128i cr = _mm_srai_epi32(
      _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(sbr, WordPair(-2664, 16384)),
                                  _mm_madd_epi16(sgx, WordPair(-13719, 0))),
                    round),
      17);
  return _mm_packs_epi32(_mm_unpacklo_epi32(cb, cr), _mm_unpackhi_epi32(cb, cr));
}

// Adds the even and the odd 32-bit lanes of a (pixels 0-3) and b (pixels 4-7) as words.
VORN_INLINE __m128i PairSums(__m128i a, __m128i b) {
  const __m128 fa = _mm_castsi128_ps(a), fb = _mm_castsi128_ps(b);
  return _mm_add_epi16(_mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(2, 0, 2, 0))),
                       _mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(3, 1, 3, 1))));
}

// Eight pixels of two rows: their luminance as words per row and the Cb, Cr words of their
// four blocks. Done in halves of a group so the values in flight fit the registers.
struct Half {
  __m128i y0, y1, c;
};

VORN_INLINE Half Group8(const uint8_t* s0, const uint8_t* s1) {
  const __m128i low = _mm_set1_epi16(0x00FF);
  const __m128i p0 = Load(s0), p1 = Load(s0 + 16), q0 = Load(s1), q1 = Load(s1 + 16);
  const __m128i brp0 = _mm_and_si128(p0, low), gxp0 = _mm_srli_epi16(p0, 8);
  const __m128i brp1 = _mm_and_si128(p1, low), gxp1 = _mm_srli_epi16(p1, 8);
  const __m128i brq0 = _mm_and_si128(q0, low), gxq0 = _mm_srli_epi16(q0, 8);
  const __m128i brq1 = _mm_and_si128(q1, low), gxq1 = _mm_srli_epi16(q1, 8);
  Half h;
  h.y0 = _mm_packs_epi32(Luma(brp0, gxp0), Luma(brp1, gxp1));
  h.y1 = _mm_packs_epi32(Luma(brq0, gxq0), Luma(brq1, gxq1));
  h.c = Chroma(PairSums(_mm_add_epi16(brp0, brq0), _mm_add_epi16(brp1, brq1)),
               PairSums(_mm_add_epi16(gxp0, gxq0), _mm_add_epi16(gxp1, gxq1)));
  return h;
}

VORN_INLINE void Group16(const uint8_t* s0, const uint8_t* s1, uint8_t* y0, uint8_t* y1,
                         uint8_t* c) {
  const Half a = Group8(s0, s1);
  const Half b = Group8(s0 + 32, s1 + 32);
  Store(y0, _mm_packus_epi16(a.y0, b.y0));
  Store(y1, _mm_packus_epi16(a.y1, b.y1));
  Store(c, _mm_packus_epi16(a.c, b.c));
}

// Four pixels' 12 bytes in the low bytes of the result; the top 4 bytes are zero.
VORN_INLINE __m128i CloseUp4(__m128i p) {
  const __m128i t =
      _mm_or_si128(_mm_and_si128(p, _mm_set1_epi64x(0x0000000000FFFFFFll)),
                   _mm_and_si128(_mm_srli_epi64(p, 8), _mm_set1_epi64x(0x0000FFFFFF000000ll)));
  return _mm_or_si128(_mm_move_epi64(t), _mm_slli_si128(_mm_srli_si128(t, 8), 6));
}

}  // namespace

void BgraToYCbCr420InterleavedSse2(const ConvertSource& src, const ConvertPlane& y,
                                   const ConvertPlane& cbcr) {
  const InterleavedExtent e = InterleavedCoverage(src, y, cbcr);
  for (int32_t i = 0; i < e.rowPairs; ++i) {
    const uint8_t* s0 = src.data + ptrdiff_t{2 * i} * src.stride;
    const uint8_t* s1 = s0 + src.stride;
    uint8_t* y0 = y.data + ptrdiff_t{2 * i} * y.stride;
    uint8_t* y1 = y0 + y.stride;
    uint8_t* c = cbcr.data + ptrdiff_t{i} * cbcr.stride;
    for (int32_t g = 0; g < e.groups; ++g) {
      Group16(s0 + 64 * g, s1 + 64 * g, y0 + 16 * g, y1 + 16 * g, c + 16 * g);
    }
  }
}

void BgraToRgb24Sse2(uint8_t* dst, const uint8_t* src, int32_t dstStride, int32_t srcStride,
                     int32_t width, int32_t height) {
  for (int32_t row = 0; row < height; ++row) {
    const uint8_t* s = src + ptrdiff_t{row} * srcStride;
    uint8_t* d = dst + ptrdiff_t{row} * dstStride;
    int32_t x = 0;
    // A 16-byte store at pixel x ends at 3x + 16, inside the row while x + 6 <= width.
    for (; x + 6 <= width; x += 4) Store(d + 3 * x, CloseUp4(Load(s + 4 * x)));
    BgraToRgb24Tail(d, s, x, width);
  }
}

void Rgb565ToRgb32Sse2(uint8_t* dst, const uint8_t* src, int32_t dstStride, int32_t srcStride,
                       int32_t width, int32_t height) {
  const __m128i blueMask = _mm_set1_epi16(0x00F8), greenMask = _mm_set1_epi16(
                                                       static_cast<int16_t>(0xFC00));
  for (int32_t row = 0; row < height; ++row) {
    const uint8_t* s = src + ptrdiff_t{row} * srcStride;
    uint8_t* d = dst + ptrdiff_t{row} * dstStride;
    int32_t x = 0;
    for (; x + 8 <= width; x += 8) {
      const __m128i p = Load(s + 2 * x);
      // Word B | G << 8 and word R of each pixel, then interleaved into B, G, R, 0.
      const __m128i bg = _mm_or_si128(_mm_and_si128(_mm_slli_epi16(p, 3), blueMask),
                                      _mm_and_si128(_mm_slli_epi16(p, 5), greenMask));
      const __m128i r = _mm_and_si128(_mm_srli_epi16(p, 8), blueMask);
      Store(d + 4 * x, _mm_unpacklo_epi16(bg, r));
      Store(d + 4 * x + 16, _mm_unpackhi_epi16(bg, r));
    }
    Rgb565ToRgb32Tail(d, s, x, width);
  }
}

}  // namespace vorn::display::convert
