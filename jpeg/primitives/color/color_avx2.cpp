// AVX2 builds of the display-path conversions: the arithmetic of the SSE2 builds on 256-bit
// registers, 32 pixels a step. AVX2 packs work within each 128-bit half, so every packed
// result is put back into pixel order with one cross-half permutation.
#include <immintrin.h>

#include <cstddef>

#include "jpeg/primitives/color/color_builds.h"

namespace vorn::jpeg::prim::color {
namespace {

constexpr int32_t Pair(int32_t lo, int32_t hi) {
  return static_cast<int32_t>((static_cast<uint32_t>(hi) << 16) | (static_cast<uint32_t>(lo) & 0xFFFF));
}

struct Split {
  __m256i br;  // [B, R] per pixel
  __m256i ga;  // [G, x] per pixel
};

Split SplitPixels(__m256i v) {
  const __m256i fields = _mm256_set1_epi32(0x00FF00FF);
  return {_mm256_and_si256(v, fields), _mm256_and_si256(_mm256_srli_epi32(v, 8), fields)};
}

__m256i Luma(const Split& s, int32_t round) {
  const __m256i br = _mm256_madd_epi16(s.br, _mm256_set1_epi32(Pair(7471, 19595)));
  const __m256i g =
      _mm256_slli_epi32(_mm256_madd_epi16(s.ga, _mm256_set1_epi32(Pair(19235, 0))), 1);
  return _mm256_srli_epi32(_mm256_add_epi32(_mm256_add_epi32(br, g), _mm256_set1_epi32(round)),
                           16);
}

template <int kShift>
void Chroma(__m256i br, __m256i ga, int32_t round, __m256i* cb, __m256i* cr) {
  const __m256i g16 = _mm256_slli_epi32(ga, 16);
  const __m256i bg = _mm256_or_si256(_mm256_and_si256(br, _mm256_set1_epi32(0xFFFF)), g16);
  const __m256i rg = _mm256_or_si256(_mm256_srli_epi32(br, 16), g16);
  const __m256i r = _mm256_set1_epi32(round);
  const __m256i b =
      _mm256_add_epi32(_mm256_madd_epi16(bg, _mm256_set1_epi32(Pair(16384, -21709))),
                       _mm256_madd_epi16(br, _mm256_set1_epi32(Pair(16384, -11059))));
  const __m256i c =
      _mm256_add_epi32(_mm256_madd_epi16(rg, _mm256_set1_epi32(Pair(16384, -27439))),
                       _mm256_madd_epi16(br, _mm256_set1_epi32(Pair(-5329, 16384))));
  *cb = _mm256_srli_epi32(_mm256_add_epi32(b, r), kShift);
  *cr = _mm256_srli_epi32(_mm256_add_epi32(c, r), kShift);
}

// Four vectors of 8 values each (in pixel order) into 32 bytes in pixel order.
__m256i Pack32(__m256i a, __m256i b, __m256i c, __m256i d) {
  const __m256i bytes =
      _mm256_packus_epi16(_mm256_packs_epi32(a, b), _mm256_packs_epi32(c, d));
  return _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

// Per half: [p0+p1, p2+p3, q0+q1, q2+q3].
__m256i PairSum(__m256i p, __m256i q) {
  const __m256 a = _mm256_castsi256_ps(p), b = _mm256_castsi256_ps(q);
  return _mm256_add_epi32(
      _mm256_castps_si256(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0))),
      _mm256_castps_si256(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1))));
}

__m256i Load(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
void Store(uint8_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

constexpr int32_t kLuma420Round = 32768;
constexpr int32_t kChroma420Round = 32768 + (128 << 18);
constexpr int32_t kLuma444Round = 16384;
constexpr int32_t kChroma444Round = 16384 + (128 << 16);

// 16 blocks: 32 pixels of two rows.
constexpr int32_t kBlocksPerStep = 16;

void Row420(const uint8_t* row0, const uint8_t* row1, uint8_t* y0, uint8_t* y1, uint8_t* cb,
            uint8_t* cr, int32_t blocks) {
  int32_t j = 0;
  for (; j + kBlocksPerStep <= blocks; j += kBlocksPerStep) {
    __m256i ya[4], yb[4], brSum[4], gaSum[4];
    for (int k = 0; k < 4; ++k) {
      const Split a = SplitPixels(Load(row0 + 8 * j + 32 * k));
      const Split b = SplitPixels(Load(row1 + 8 * j + 32 * k));
      ya[k] = Luma(a, kLuma420Round);
      yb[k] = Luma(b, kLuma420Round);
      brSum[k] = _mm256_add_epi32(a.br, b.br);
      gaSum[k] = _mm256_add_epi32(a.ga, b.ga);
    }
    Store(y0 + 2 * j, Pack32(ya[0], ya[1], ya[2], ya[3]));
    Store(y1 + 2 * j, Pack32(yb[0], yb[1], yb[2], yb[3]));
    // Blocks per half: [0 1 4 5 | 2 3 6 7] and [8 9 12 13 | 10 11 14 15].
    __m256i cb0, cr0, cb1, cr1;
    Chroma<18>(PairSum(brSum[0], brSum[1]), PairSum(gaSum[0], gaSum[1]), kChroma420Round, &cb0,
               &cr0);
    Chroma<18>(PairSum(brSum[2], brSum[3]), PairSum(gaSum[2], gaSum[3]), kChroma420Round, &cb1,
               &cr1);
    // Bytes per half: Cb then Cr of blocks [0 1 4 5 8 9 12 13 | 2 3 6 7 10 11 14 15].
    __m256i both = _mm256_packus_epi16(_mm256_packs_epi32(cb0, cb1), _mm256_packs_epi32(cr0, cr1));
    // Quarters (Cb even pairs, Cr even pairs, Cb odd pairs, Cr odd pairs) into Cb | Cr...
    both = _mm256_permute4x64_epi64(both, _MM_SHUFFLE(3, 1, 2, 0));
    // ...and the block pairs of each half into order.
    const __m256i order = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15,
                                           0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
    both = _mm256_shuffle_epi8(both, order);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(cb + j), _mm256_castsi256_si128(both));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(cr + j), _mm256_extracti128_si256(both, 1));
  }
  if (j < blocks) {
    BgraToYCbCr420Block(row0 + 8 * j, row1 + 8 * j, y0 + 2 * j, y1 + 2 * j, cb + j, cr + j,
                        blocks - j);
  }
}

constexpr int32_t kPixelsPerStep = 32;

void Row444(const uint8_t* src, uint8_t* y, uint8_t* cb, uint8_t* cr, int32_t pixels) {
  int32_t x = 0;
  for (; x + kPixelsPerStep <= pixels; x += kPixelsPerStep) {
    __m256i yv[4], cbv[4], crv[4];
    for (int k = 0; k < 4; ++k) {
      const Split s = SplitPixels(Load(src + 4 * x + 32 * k));
      yv[k] = Luma(s, kLuma444Round);
      Chroma<16>(s.br, s.ga, kChroma444Round, &cbv[k], &crv[k]);
    }
    Store(y + x, Pack32(yv[0], yv[1], yv[2], yv[3]));
    Store(cb + x, Pack32(cbv[0], cbv[1], cbv[2], cbv[3]));
    Store(cr + x, Pack32(crv[0], crv[1], crv[2], crv[3]));
  }
  if (x < pixels) BgraToYCbCrRow(src + 4 * x, y + x, cb + x, cr + x, pixels - x);
}

}  // namespace

PrimitiveStatus BgraToYCbCr420PlanesAvx2(const uint8_t* src, int32_t srcStep,
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
  _mm256_zeroupper();
  return ((width | height) & 1) ? StatusOddSize : StatusOk;
}

PrimitiveStatus BgraToYCbCrPlanesAvx2(const uint8_t* src, int32_t srcStep,
                                      uint8_t* const dst[3], int32_t dstStep, int32_t width,
                                      int32_t height) {
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
