// The AVX2 build of ForwardDctQuant8x8: the column pass in 128-bit lanes, the row pass on two
// rows per register (one 256-bit multiply-add per pair of inputs for all eight rows, no
// transposes), quantisation two rows at a time. Equal to the plain build bit for bit.
#include <immintrin.h>

#include "jpeg/primitives/dct/forward_dct.h"
#include "jpeg/primitives/dct/forward_dct_vector.h"

namespace vorn::jpeg::prim {
namespace {

__m256i Join(__m128i lo, __m128i hi) { return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1); }

__m256i Load256(const int16_t (*pair)[8]) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pair));
}

struct Avx2Ops {
  static __m256i Srai(__m256i a, int n) { return _mm256_srai_epi16(a, n); }
  static __m256i Slli(__m256i a, int n) { return _mm256_slli_epi16(a, n); }
  static __m256i Srli(__m256i a, int n) { return _mm256_srli_epi16(a, n); }
  static __m256i Add(__m256i a, __m256i b) { return _mm256_add_epi16(a, b); }
  static __m256i Sub(__m256i a, __m256i b) { return _mm256_sub_epi16(a, b); }
  static __m256i Xor(__m256i a, __m256i b) { return _mm256_xor_si256(a, b); }
  static __m256i And(__m256i a, __m256i b) { return _mm256_and_si256(a, b); }
  static __m256i Or(__m256i a, __m256i b) { return _mm256_or_si256(a, b); }
  static __m256i MulLo(__m256i a, __m256i b) { return _mm256_mullo_epi16(a, b); }
  static __m256i MulHiU(__m256i a, __m256i b) { return _mm256_mulhi_epu16(a, b); }
  static __m256i CmpGt(__m256i a, __m256i b) { return _mm256_cmpgt_epi16(a, b); }
  static __m256i Set(int16_t v) { return _mm256_set1_epi16(v); }
};

// Two rows at a time.
__m256i Quantise2(__m256i coef, __m256i mult) {
  return QuantiseMagnitude<__m256i, Avx2Ops>(coef, mult);
}

}  // namespace

PrimitiveStatus ForwardDctQuant8x8Avx2(const uint8_t* src, int32_t srcStep, int16_t* dst,
                                       const uint16_t* table) {
  if (src == nullptr || dst == nullptr) return StatusNullPointer;
  if (srcStep < 1) return StatusBadStep;
  if (table == nullptr) return StatusNullPointer;

  __m128i x[8], y[8];
  LoadLevelShifted(src, srcStep, x);
  ColumnPass(x, y);

  // Rows u and u + 4 side by side; the butterflies of the row pass need no transpose: the
  // mirrored row gives x_j + x_(7-j) and x_j - x_(7-j) in lanes 0..3.
  const __m256i mirror = _mm256_setr_epi8(14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1,
                                          14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1);
  __m256i e[4], o[4];
#pragma GCC unroll 4
  for (int u = 0; u < 4; ++u) {
    const __m256i rows = Join(y[u], y[u + 4]);
    const __m256i mirrored = _mm256_shuffle_epi8(rows, mirror);
    e[u] = _mm256_adds_epi16(rows, mirrored);
    o[u] = _mm256_subs_epi16(rows, mirrored);
  }
  // (w0, w1) and (w2, w3) pairs of rows 0-3 in the low lane, of rows 4-7 in the high lane.
  auto pairs = [](const __m256i w[4], __m256i* p01, __m256i* p23) {
    const __m256i r01 = _mm256_unpacklo_epi32(w[0], w[1]);
    const __m256i r23 = _mm256_unpacklo_epi32(w[2], w[3]);
    *p01 = _mm256_unpacklo_epi64(r01, r23);
    *p23 = _mm256_unpackhi_epi64(r01, r23);
  };
  __m256i even01, even23, odd01, odd23;
  pairs(e, &even01, &even23);
  pairs(o, &odd01, &odd23);
  const __m256i round = _mm256_set1_epi32(kDctRowRound);

  // s[v]: coefficient v of rows 0-3 | rows 4-7, 32 bits.
  __m256i s[8];
#pragma GCC unroll 8
  for (int v = 0; v < 8; ++v) {
    const __m256i p01 = (v & 1) ? odd01 : even01, p23 = (v & 1) ? odd23 : even23;
    const __m256i sum = _mm256_add_epi32(_mm256_madd_epi16(p01, Load256(kRowMadd.pair01[v])),
                                         _mm256_madd_epi16(p23, Load256(kRowMadd.pair23[v])));
    s[v] = _mm256_srai_epi32(_mm256_add_epi32(sum, round), kDctRowShift);
  }
  // Back to rows: w01 holds F(u, 0) and F(u, 1) of four rows per lane, and so on.
  const __m256i w01 = _mm256_packs_epi32(s[0], s[1]), w23 = _mm256_packs_epi32(s[2], s[3]);
  const __m256i w45 = _mm256_packs_epi32(s[4], s[5]), w67 = _mm256_packs_epi32(s[6], s[7]);
  const __m256i a = _mm256_unpacklo_epi16(w01, w23), b = _mm256_unpackhi_epi16(w01, w23);
  const __m256i c = _mm256_unpacklo_epi16(w45, w67), d = _mm256_unpackhi_epi16(w45, w67);
  const __m256i p = _mm256_unpacklo_epi16(a, b), q = _mm256_unpackhi_epi16(a, b);  // v 0-3
  const __m256i r = _mm256_unpacklo_epi16(c, d), t = _mm256_unpackhi_epi16(c, d);  // v 4-7
  const __m256i rows[4] = {_mm256_unpacklo_epi64(p, r), _mm256_unpackhi_epi64(p, r),
                           _mm256_unpacklo_epi64(q, t), _mm256_unpackhi_epi64(q, t)};
#pragma GCC unroll 4
  for (int u = 0; u < 4; ++u) {
    // Row u in the low lane, row u + 4 in the high one.
    const __m256i mult = Join(_mm_loadu_si128(reinterpret_cast<const __m128i*>(table + 8 * u)),
                              _mm_loadu_si128(reinterpret_cast<const __m128i*>(table + 8 * (u + 4))));
    const __m256i out = Quantise2(rows[u], mult);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 8 * u), _mm256_castsi256_si128(out));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 8 * (u + 4)), _mm256_extracti128_si256(out, 1));
  }
  return StatusOk;
}

}  // namespace vorn::jpeg::prim
