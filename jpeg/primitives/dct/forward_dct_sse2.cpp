// The SSE2 build of ForwardDctQuant8x8: level shift, transform and quantisation in one pass
// over registers, equal to the plain build bit for bit.
#include "jpeg/primitives/dct/forward_dct.h"
#include "jpeg/primitives/dct/forward_dct_vector.h"

namespace vorn::jpeg::prim {

PrimitiveStatus ForwardDctQuant8x8Sse2(const uint8_t* src, int32_t srcStep, int16_t* dst,
                                       const uint16_t* table) {
  if (src == nullptr || dst == nullptr) return StatusNullPointer;
  if (srcStep < 1) return StatusBadStep;
  if (table == nullptr) return StatusNullPointer;

  __m128i x[8], y[8], t[8];
  LoadLevelShifted(src, srcStep, x);
  ColumnPass(x, y);
  Transpose8x8(y, t);
  __m128i even[4], odd[4];
  RowButterflies(t, even, odd);

  // f[v] holds coefficient v of every row (lanes u).
  __m128i f[8];
  #pragma GCC unroll 8
  for (int v = 0; v < 8; ++v) {
    const __m128i* pairs = (v & 1) ? odd : even;
    const __m128i lo = _mm_add_epi32(_mm_madd_epi16(pairs[0], Load(kRowMadd.pair01[v][0])),
                                     _mm_madd_epi16(pairs[2], Load(kRowMadd.pair23[v][0])));
    const __m128i hi = _mm_add_epi32(_mm_madd_epi16(pairs[1], Load(kRowMadd.pair01[v][1])),
                                     _mm_madd_epi16(pairs[3], Load(kRowMadd.pair23[v][1])));
    f[v] = _mm_packs_epi32(RoundRow(lo), RoundRow(hi));
  }
  Transpose8x8(f, y);
  #pragma GCC unroll 8
  for (int u = 0; u < 8; ++u) {
    const __m128i mult = _mm_loadu_si128(reinterpret_cast<const __m128i*>(table + 8 * u));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 8 * u), Quantise(y[u], mult));
  }
  return StatusOk;
}

// Two blocks one after the other: the eight registers of a 32-bit build hold no more.
PrimitiveStatus ForwardDctQuant8x8PairSse2(const uint8_t* src, int32_t srcStep, int16_t* dst0,
                                           int16_t* dst1, const uint16_t* table) {
  if (src == nullptr || dst0 == nullptr || dst1 == nullptr) return StatusNullPointer;
  if (srcStep < 1) return StatusBadStep;
  if (table == nullptr) return StatusNullPointer;
  ForwardDctQuant8x8Sse2(src, srcStep, dst0, table);
  return ForwardDctQuant8x8Sse2(src + 8, srcStep, dst1, table);
}

}  // namespace vorn::jpeg::prim
