// The AVX2 builds of ForwardDctQuant8x8 and its two-block form: the column pass in 128-bit
// lanes (of both blocks at once in the two-block form, a block a lane), the row pass on two
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

// Two rows at a time: QuantiseMagnitude with the magnitude taken and the sign put back by one
// instruction each (a zero coefficient quantises to zero, which the sign step keeps).
__m256i Quantise2(__m256i coef, __m256i mult) {
  const __m256i magnitude = _mm256_abs_epi16(coef);
  const __m256i lo = _mm256_mullo_epi16(magnitude, mult);   // product bits 0..15
  const __m256i hi = _mm256_mulhi_epu16(magnitude, mult);   // product bits 16..31
  const __m256i floor = _mm256_or_si256(_mm256_slli_epi16(hi, 1), _mm256_srli_epi16(lo, 15));
  const __m256i rest = _mm256_and_si256(lo, _mm256_set1_epi16(0x7FFF));
  // Up when the rest exceeds half, or equals it with an odd quotient (see QuantiseMagnitude).
  const __m256i odd = _mm256_and_si256(floor, _mm256_set1_epi16(1));
  const __m256i up = _mm256_cmpgt_epi16(rest, _mm256_sub_epi16(_mm256_set1_epi16(0x4000), odd));
  return _mm256_sign_epi16(_mm256_sub_epi16(floor, up), coef);
}

// The row pass and quantisation of one block whose column pass is done: joined[u] holds row u
// in the low lane and row u + 4 in the high one.
__attribute__((always_inline)) inline void RowPassQuantise(const __m256i joined[4], int16_t* dst,
                                                          const uint16_t* table) {
  // The butterflies of the row pass need no transpose: the mirrored row gives x_j + x_(7-j)
  // and x_j - x_(7-j) in lanes 0..3.
  const __m256i mirror = _mm256_setr_epi8(14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1,
                                          14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1);
  __m256i e[4], o[4];
#pragma GCC unroll 4
  for (int u = 0; u < 4; ++u) {
    const __m256i rows = joined[u];
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
}

// The column pass of two blocks side by side, a block a lane: the same operations as
// ColumnPass on 256-bit registers.
__attribute__((always_inline)) inline void ColumnPass2(const __m256i x[8], __m256i y[8]) {
  const __m256i one = _mm256_set1_epi16(1);
  const __m256i tan1 = _mm256_set1_epi16(kDctTan1), tan2 = _mm256_set1_epi16(kDctTan2);
  const __m256i tan3m1 = _mm256_set1_epi16(kDctTan3m1), cos4 = _mm256_set1_epi16(kDctCos4);
  const __m256i d0 = _mm256_adds_epi16(x[0], x[7]), d7 = _mm256_subs_epi16(x[0], x[7]);
  const __m256i d1 = _mm256_adds_epi16(x[1], x[6]), d6 = _mm256_subs_epi16(x[1], x[6]);
  const __m256i d2 = _mm256_adds_epi16(x[2], x[5]), d5 = _mm256_subs_epi16(x[2], x[5]);
  const __m256i d3 = _mm256_adds_epi16(x[3], x[4]), d4 = _mm256_subs_epi16(x[3], x[4]);
  const __m256i d1s = _mm256_slli_epi16(d1, 3), d2s = _mm256_slli_epi16(d2, 3);
  const __m256i tp12 = _mm256_adds_epi16(d1s, d2s), tm12 = _mm256_subs_epi16(d1s, d2s);
  const __m256i tp03 = _mm256_slli_epi16(_mm256_adds_epi16(d0, d3), 3);
  const __m256i tm03 = _mm256_slli_epi16(_mm256_subs_epi16(d0, d3), 3);
  y[0] = _mm256_adds_epi16(tp03, tp12);
  y[4] = _mm256_subs_epi16(tp03, tp12);
  y[2] = _mm256_or_si256(_mm256_adds_epi16(_mm256_mulhi_epi16(tan2, tm12), tm03), one);
  y[6] = _mm256_or_si256(_mm256_subs_epi16(_mm256_mulhi_epi16(tm03, tan2), tm12), one);
  const __m256i d6s = _mm256_slli_epi16(d6, 4), d5s = _mm256_slli_epi16(d5, 4);
  const __m256i p = _mm256_or_si256(_mm256_mulhi_epi16(_mm256_adds_epi16(d6s, d5s), cos4), one);
  const __m256i m = _mm256_mulhi_epi16(_mm256_subs_epi16(d6s, d5s), cos4);
  const __m256i d4s = _mm256_slli_epi16(d4, 3), d7s = _mm256_slli_epi16(d7, 3);
  const __m256i tp465 = _mm256_adds_epi16(d4s, m), tm465 = _mm256_subs_epi16(d4s, m);
  const __m256i tp765 = _mm256_adds_epi16(d7s, p), tm765 = _mm256_subs_epi16(d7s, p);
  y[1] = _mm256_or_si256(_mm256_adds_epi16(_mm256_mulhi_epi16(tan1, tp465), tp765), one);
  y[7] = _mm256_subs_epi16(_mm256_mulhi_epi16(tp765, tan1), tp465);
  y[3] = _mm256_subs_epi16(tm765,
                           _mm256_adds_epi16(_mm256_mulhi_epi16(tan3m1, tm465), tm465));
  y[5] = _mm256_adds_epi16(_mm256_adds_epi16(_mm256_mulhi_epi16(tan3m1, tm765), tm765), tm465);
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

  __m256i joined[4];
  for (int u = 0; u < 4; ++u) joined[u] = Join(y[u], y[u + 4]);
  RowPassQuantise(joined, dst, table);
  return StatusOk;
}

PrimitiveStatus ForwardDctQuant8x8PairAvx2(const uint8_t* src, int32_t srcStep, int16_t* dst0,
                                           int16_t* dst1, const uint16_t* table) {
  if (src == nullptr || dst0 == nullptr || dst1 == nullptr) return StatusNullPointer;
  if (srcStep < 1) return StatusBadStep;
  if (table == nullptr) return StatusNullPointer;
  // Each row's 16 samples widened at once: the first block's row in the low lane, the
  // second's in the high one.
  const __m256i level = _mm256_set1_epi16(128);
  __m256i x[8], y[8];
#pragma GCC unroll 8
  for (int r = 0; r < 8; ++r) {
    const __m128i bytes = _mm_loadu_si128(
        reinterpret_cast<const __m128i*>(src + static_cast<intptr_t>(r) * srcStep));
    x[r] = _mm256_sub_epi16(_mm256_cvtepu8_epi16(bytes), level);
  }
  ColumnPass2(x, y);
  __m256i joined[4];
  for (int u = 0; u < 4; ++u) joined[u] = _mm256_permute2x128_si256(y[u], y[u + 4], 0x20);
  RowPassQuantise(joined, dst0, table);
  for (int u = 0; u < 4; ++u) joined[u] = _mm256_permute2x128_si256(y[u], y[u + 4], 0x31);
  RowPassQuantise(joined, dst1, table);
  return StatusOk;
}

}  // namespace vorn::jpeg::prim
