// Vector pieces of the fixed-point forward DCT shared by the SSE2 and AVX2 builds.
//
// Everything here has internal linkage: each build's file compiles its own copy with its own
// target flags, so the linker can never hand the AVX2-encoded copy to the SSE2 build.
#pragma once

#include <emmintrin.h>

#include <cstdint>

#include "jpeg/primitives/dct/forward_dct_constants.h"

namespace vorn::jpeg::prim {
namespace {

// The pmaddwd multipliers of the row pass. For output v the 32-bit sum of lane u is
//   madd(e0,e1 of row u; pair01[v]) + madd(e2,e3 of row u; pair23[v])   (even v, on e)
// and the same on o for odd v; lanes u = 0..3 use the "lo" vectors, 4..7 the "hi" ones.
struct RowMaddConstants {
  alignas(16) int16_t pair01[8][2][8];  // [v][lo/hi][lane]
  alignas(16) int16_t pair23[8][2][8];
};

constexpr RowMaddConstants MakeRowMaddConstants() {
  RowMaddConstants k{};
  #pragma GCC unroll 8
  for (int u = 0; u < 8; ++u) {
    const RowConstants& a = kDctRowConstants[u];
    // Multipliers of e0..e3 (even v) or o0..o3 (odd v) for each output v.
    const int32_t m[8][4] = {
        {a.a4, a.a4, a.a4, a.a4},    {a.a1, a.a3, a.a5, a.a7},  {a.a2, a.a6, -a.a6, -a.a2},
        {a.a3, -a.a7, -a.a1, -a.a5}, {a.a4, -a.a4, -a.a4, a.a4}, {a.a5, -a.a1, a.a7, a.a3},
        {a.a6, -a.a2, a.a2, -a.a6},  {a.a7, -a.a5, a.a3, -a.a1},
    };
    const int half = u / 4, lane = (u % 4) * 2;
    #pragma GCC unroll 8
    for (int v = 0; v < 8; ++v) {
      k.pair01[v][half][lane] = static_cast<int16_t>(m[v][0]);
      k.pair01[v][half][lane + 1] = static_cast<int16_t>(m[v][1]);
      k.pair23[v][half][lane] = static_cast<int16_t>(m[v][2]);
      k.pair23[v][half][lane + 1] = static_cast<int16_t>(m[v][3]);
    }
  }
  return k;
}

alignas(16) constexpr RowMaddConstants kRowMadd = MakeRowMaddConstants();

inline __m128i Load(const int16_t* p) { return _mm_load_si128(reinterpret_cast<const __m128i*>(p)); }

// Eight rows of 8 bytes, level-shifted to signed 16 bits.
inline void LoadLevelShifted(const uint8_t* src, int32_t srcStep, __m128i x[8]) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i level = _mm_set1_epi16(128);
  #pragma GCC unroll 8
  for (int r = 0; r < 8; ++r) {
    const __m128i bytes = _mm_loadl_epi64(
        reinterpret_cast<const __m128i*>(src + static_cast<intptr_t>(r) * srcStep));
    x[r] = _mm_sub_epi16(_mm_unpacklo_epi8(bytes, zero), level);
  }
}

inline void Transpose8x8(const __m128i r[8], __m128i t[8]) {
  const __m128i a0 = _mm_unpacklo_epi16(r[0], r[1]), a1 = _mm_unpackhi_epi16(r[0], r[1]);
  const __m128i a2 = _mm_unpacklo_epi16(r[2], r[3]), a3 = _mm_unpackhi_epi16(r[2], r[3]);
  const __m128i a4 = _mm_unpacklo_epi16(r[4], r[5]), a5 = _mm_unpackhi_epi16(r[4], r[5]);
  const __m128i a6 = _mm_unpacklo_epi16(r[6], r[7]), a7 = _mm_unpackhi_epi16(r[6], r[7]);
  const __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
  const __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
  const __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
  const __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
  t[0] = _mm_unpacklo_epi64(b0, b4);
  t[1] = _mm_unpackhi_epi64(b0, b4);
  t[2] = _mm_unpacklo_epi64(b1, b5);
  t[3] = _mm_unpackhi_epi64(b1, b5);
  t[4] = _mm_unpacklo_epi64(b2, b6);
  t[5] = _mm_unpackhi_epi64(b2, b6);
  t[6] = _mm_unpacklo_epi64(b3, b7);
  t[7] = _mm_unpackhi_epi64(b3, b7);
}

// The column pass on all eight columns at once: x[r] holds row r, y[u] gets row u.
inline void ColumnPass(const __m128i x[8], __m128i y[8]) {
  const __m128i one = _mm_set1_epi16(1);
  const __m128i tan1 = _mm_set1_epi16(kDctTan1), tan2 = _mm_set1_epi16(kDctTan2);
  const __m128i tan3m1 = _mm_set1_epi16(kDctTan3m1), cos4 = _mm_set1_epi16(kDctCos4);
  const __m128i d0 = _mm_adds_epi16(x[0], x[7]), d7 = _mm_subs_epi16(x[0], x[7]);
  const __m128i d1 = _mm_adds_epi16(x[1], x[6]), d6 = _mm_subs_epi16(x[1], x[6]);
  const __m128i d2 = _mm_adds_epi16(x[2], x[5]), d5 = _mm_subs_epi16(x[2], x[5]);
  const __m128i d3 = _mm_adds_epi16(x[3], x[4]), d4 = _mm_subs_epi16(x[3], x[4]);
  const __m128i d1s = _mm_slli_epi16(d1, 3), d2s = _mm_slli_epi16(d2, 3);
  const __m128i tp12 = _mm_adds_epi16(d1s, d2s), tm12 = _mm_subs_epi16(d1s, d2s);
  const __m128i tp03 = _mm_slli_epi16(_mm_adds_epi16(d0, d3), 3);
  const __m128i tm03 = _mm_slli_epi16(_mm_subs_epi16(d0, d3), 3);
  y[0] = _mm_adds_epi16(tp03, tp12);
  y[4] = _mm_subs_epi16(tp03, tp12);
  y[2] = _mm_or_si128(_mm_adds_epi16(_mm_mulhi_epi16(tan2, tm12), tm03), one);
  y[6] = _mm_or_si128(_mm_subs_epi16(_mm_mulhi_epi16(tm03, tan2), tm12), one);
  const __m128i d6s = _mm_slli_epi16(d6, 4), d5s = _mm_slli_epi16(d5, 4);
  const __m128i p = _mm_or_si128(_mm_mulhi_epi16(_mm_adds_epi16(d6s, d5s), cos4), one);
  const __m128i m = _mm_mulhi_epi16(_mm_subs_epi16(d6s, d5s), cos4);
  const __m128i d4s = _mm_slli_epi16(d4, 3), d7s = _mm_slli_epi16(d7, 3);
  const __m128i tp465 = _mm_adds_epi16(d4s, m), tm465 = _mm_subs_epi16(d4s, m);
  const __m128i tp765 = _mm_adds_epi16(d7s, p), tm765 = _mm_subs_epi16(d7s, p);
  y[1] = _mm_or_si128(_mm_adds_epi16(_mm_mulhi_epi16(tan1, tp465), tp765), one);
  y[7] = _mm_subs_epi16(_mm_mulhi_epi16(tp765, tan1), tp465);
  y[3] = _mm_subs_epi16(tm765, _mm_adds_epi16(_mm_mulhi_epi16(tan3m1, tm465), tm465));
  y[5] = _mm_adds_epi16(_mm_adds_epi16(_mm_mulhi_epi16(tan3m1, tm765), tm765), tm465);
}

// The even and odd butterflies of the row pass on the transposed block (t[j] holds value j
// of every row), interleaved in pairs ready for pmaddwd: pairs[0..1] = (w0, w1) of rows 0-3
// and 4-7, pairs[2..3] = (w2, w3), for w = e and w = o.
inline void RowButterflies(const __m128i t[8], __m128i evenPairs[4], __m128i oddPairs[4]) {
  const __m128i e0 = _mm_adds_epi16(t[0], t[7]), o0 = _mm_subs_epi16(t[0], t[7]);
  const __m128i e1 = _mm_adds_epi16(t[1], t[6]), o1 = _mm_subs_epi16(t[1], t[6]);
  const __m128i e2 = _mm_adds_epi16(t[2], t[5]), o2 = _mm_subs_epi16(t[2], t[5]);
  const __m128i e3 = _mm_adds_epi16(t[3], t[4]), o3 = _mm_subs_epi16(t[3], t[4]);
  evenPairs[0] = _mm_unpacklo_epi16(e0, e1);
  evenPairs[1] = _mm_unpackhi_epi16(e0, e1);
  evenPairs[2] = _mm_unpacklo_epi16(e2, e3);
  evenPairs[3] = _mm_unpackhi_epi16(e2, e3);
  oddPairs[0] = _mm_unpacklo_epi16(o0, o1);
  oddPairs[1] = _mm_unpackhi_epi16(o0, o1);
  oddPairs[2] = _mm_unpacklo_epi16(o2, o3);
  oddPairs[3] = _mm_unpackhi_epi16(o2, o3);
}

// (S + 2^19) >> 20 of four 32-bit sums.
inline __m128i RoundRow(__m128i s) {
  return _mm_srai_epi32(_mm_add_epi32(s, _mm_set1_epi32(kDctRowRound)), kDctRowShift);
}

// Eight coefficients times their multipliers, / 2^15 rounded half to even, in 16-bit lanes.
//
// Only for coefficients of the transform of 8-bit samples: they stay within +-4095 (the DCT of
// level-shifted 8-bit samples is within +-2048, the transform within 1 of it), so the product
// with a 16-bit multiplier stays below 2^28, its quotient below 2^13, and no saturation
// occurs, exactly as in MulScaled16 for such coefficients. Rounding half to even is symmetric,
// so it is done on the magnitude and the sign put back afterwards.
template <typename V, typename Ops>
V QuantiseMagnitude(V coef, V mult) {
  const V sign = Ops::Srai(coef, 15);
  const V magnitude = Ops::Sub(Ops::Xor(coef, sign), sign);
  const V lo = Ops::MulLo(magnitude, mult);    // product bits 0..15
  const V hi = Ops::MulHiU(magnitude, mult);   // product bits 16..31
  const V floor = Ops::Or(Ops::Slli(hi, 1), Ops::Srli(lo, 15));  // product >> 15
  const V rest = Ops::And(lo, Ops::Set(0x7FFF));
  // Up when the rest exceeds half, or equals it with an odd quotient: rest + odd > 0x4000,
  // compared as rest > 0x4000 - odd, since rest + odd reaches 0x8000 (negative in a signed
  // 16-bit lane) when the rest is 0x7FFF and the quotient odd.
  const V odd = Ops::And(floor, Ops::Set(1));
  const V up = Ops::CmpGt(rest, Ops::Sub(Ops::Set(0x4000), odd));  // all ones when up
  const V q = Ops::Sub(floor, up);
  return Ops::Sub(Ops::Xor(q, sign), sign);
}

struct Sse2Ops {
  static __m128i Srai(__m128i a, int n) { return _mm_srai_epi16(a, n); }
  static __m128i Slli(__m128i a, int n) { return _mm_slli_epi16(a, n); }
  static __m128i Srli(__m128i a, int n) { return _mm_srli_epi16(a, n); }
  static __m128i Add(__m128i a, __m128i b) { return _mm_add_epi16(a, b); }
  static __m128i Sub(__m128i a, __m128i b) { return _mm_sub_epi16(a, b); }
  static __m128i Xor(__m128i a, __m128i b) { return _mm_xor_si128(a, b); }
  static __m128i And(__m128i a, __m128i b) { return _mm_and_si128(a, b); }
  static __m128i Or(__m128i a, __m128i b) { return _mm_or_si128(a, b); }
  static __m128i MulLo(__m128i a, __m128i b) { return _mm_mullo_epi16(a, b); }
  static __m128i MulHiU(__m128i a, __m128i b) { return _mm_mulhi_epu16(a, b); }
  static __m128i CmpGt(__m128i a, __m128i b) { return _mm_cmpgt_epi16(a, b); }
  static __m128i Set(int16_t v) { return _mm_set1_epi16(v); }
};

inline __m128i Quantise(__m128i coef, __m128i mult) {
  return QuantiseMagnitude<__m128i, Sse2Ops>(coef, mult);
}

}  // namespace
}  // namespace vorn::jpeg::prim
