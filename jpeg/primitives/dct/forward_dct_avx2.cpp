// The AVX2 build of ForwardDctQuant8x8: the column pass in 128-bit lanes, the row pass with
// one 256-bit multiply-add per pair of inputs for all eight rows, quantisation two rows at a
// time. Equal to the plain build bit for bit.
#include <immintrin.h>

#include "jpeg/primitives/dct/forward_dct.h"
#include "jpeg/primitives/dct/forward_dct_vector.h"

namespace vorn::jpeg::prim {
namespace {

__m256i Join(__m128i lo, __m128i hi) { return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1); }

__m256i Load256(const int16_t (*pair)[8]) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pair));
}

__m256i Quantise2(__m256i coef, __m256i mult) {
  const __m256i lo = _mm256_mullo_epi16(coef, mult);
  const __m256i topSet = _mm256_srai_epi16(mult, 15);
  const __m256i hi =
      _mm256_add_epi16(_mm256_mulhi_epi16(coef, mult), _mm256_and_si256(coef, topSet));
  const __m256i bias = _mm256_set1_epi32((1 << (kQuantShift - 1)) - 1);
  const __m256i one = _mm256_set1_epi32(1);
  __m256i p0 = _mm256_unpacklo_epi16(lo, hi), p1 = _mm256_unpackhi_epi16(lo, hi);
  p0 = _mm256_add_epi32(_mm256_add_epi32(p0, bias),
                        _mm256_and_si256(_mm256_srai_epi32(p0, kQuantShift), one));
  p1 = _mm256_add_epi32(_mm256_add_epi32(p1, bias),
                        _mm256_and_si256(_mm256_srai_epi32(p1, kQuantShift), one));
  // The in-lane unpack and pack undo each other, so each 128-bit lane keeps its row.
  return _mm256_packs_epi32(_mm256_srai_epi32(p0, kQuantShift), _mm256_srai_epi32(p1, kQuantShift));
}

}  // namespace

PrimitiveStatus ForwardDctQuant8x8Avx2(const uint8_t* src, int32_t srcStep, int16_t* dst,
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
  const __m256i even01 = Join(even[0], even[1]), even23 = Join(even[2], even[3]);
  const __m256i odd01 = Join(odd[0], odd[1]), odd23 = Join(odd[2], odd[3]);
  const __m256i round = _mm256_set1_epi32(kDctRowRound);

  __m128i f[8];
  for (int v = 0; v < 8; ++v) {
    const __m256i p01 = (v & 1) ? odd01 : even01, p23 = (v & 1) ? odd23 : even23;
    __m256i s = _mm256_add_epi32(_mm256_madd_epi16(p01, Load256(kRowMadd.pair01[v])),
                                 _mm256_madd_epi16(p23, Load256(kRowMadd.pair23[v])));
    s = _mm256_srai_epi32(_mm256_add_epi32(s, round), kDctRowShift);
    f[v] = _mm_packs_epi32(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
  }
  Transpose8x8(f, y);
  for (int u = 0; u < 8; u += 2) {
    const __m256i mult = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table + 8 * u));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 8 * u),
                        Quantise2(Join(y[u], y[u + 1]), mult));
  }
  return StatusOk;
}

}  // namespace vorn::jpeg::prim
