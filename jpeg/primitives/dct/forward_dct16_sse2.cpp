// The SSE2 build of ForwardDctQuant8x8From16: the same single-precision operations as the
// plain build, in the same order, four rows or columns at a time.
#include <emmintrin.h>

#include <cstring>

#include "jpeg/primitives/dct/forward_dct.h"
#include "jpeg/primitives/dct/forward_dct_constants.h"

namespace vorn::jpeg::prim {
namespace {

// The 1-D pass on x[0..7] (one vector per input index, four independent lanes).
void FloatPass(__m128 x[8]) {
  const __m128 cos4 = _mm_set1_ps(kFloatCos4), c6x2 = _mm_set1_ps(kFloatC6x2);
  const __m128 c6x2r2 = _mm_set1_ps(kFloatC6x2r2), tan2 = _mm_set1_ps(kFloatTan2);
  const __m128 a = _mm_add_ps(x[1], x[6]), b = _mm_add_ps(x[2], x[5]);
  const __m128 c = _mm_add_ps(x[0], x[7]), d = _mm_add_ps(x[3], x[4]);
  const __m128 e = _mm_add_ps(a, b), f = _mm_add_ps(c, d);
  const __m128 g = _mm_sub_ps(a, b), h = _mm_sub_ps(c, d);
  const __m128 k = _mm_mul_ps(_mm_add_ps(g, h), cos4);
  const __m128 m = _mm_sub_ps(x[1], x[6]), n = _mm_sub_ps(x[2], x[5]);
  const __m128 o = _mm_sub_ps(x[0], x[7]), p = _mm_sub_ps(x[3], x[4]);
  const __m128 q = _mm_add_ps(n, p), r = _mm_add_ps(m, n), s = _mm_add_ps(m, o);
  const __m128 t = _mm_mul_ps(r, c6x2), w = _mm_mul_ps(o, c6x2r2);
  const __m128 z1 = _mm_add_ps(s, _mm_mul_ps(q, tan2)), z2 = _mm_add_ps(t, w);
  const __m128 z3 = _mm_sub_ps(q, _mm_mul_ps(s, tan2)), z4 = _mm_sub_ps(w, t);
  x[0] = _mm_add_ps(e, f);
  x[4] = _mm_sub_ps(f, e);
  x[2] = _mm_add_ps(h, k);
  x[6] = _mm_sub_ps(h, k);
  x[1] = _mm_add_ps(z1, z2);
  x[7] = _mm_sub_ps(z2, z1);
  x[5] = _mm_add_ps(z3, z4);
  x[3] = _mm_sub_ps(z4, z3);
}

// m[r][h] holds elements 4h..4h+3 of row r; afterwards it holds the transposed block.
void Transpose(__m128 m[8][2]) {
  #pragma GCC unroll 8
  for (int br = 0; br < 2; ++br) {
    #pragma GCC unroll 8
    for (int bc = 0; bc < 2; ++bc) {
      if (bc < br) continue;
      __m128 a0 = m[4 * br + 0][bc], a1 = m[4 * br + 1][bc];
      __m128 a2 = m[4 * br + 2][bc], a3 = m[4 * br + 3][bc];
      _MM_TRANSPOSE4_PS(a0, a1, a2, a3);
      if (br == bc) {
        m[4 * br + 0][bc] = a0, m[4 * br + 1][bc] = a1, m[4 * br + 2][bc] = a2, m[4 * br + 3][bc] = a3;
        continue;
      }
      __m128 b0 = m[4 * bc + 0][br], b1 = m[4 * bc + 1][br];
      __m128 b2 = m[4 * bc + 2][br], b3 = m[4 * bc + 3][br];
      _MM_TRANSPOSE4_PS(b0, b1, b2, b3);
      m[4 * bc + 0][br] = a0, m[4 * bc + 1][br] = a1, m[4 * bc + 2][br] = a2, m[4 * bc + 3][br] = a3;
      m[4 * br + 0][bc] = b0, m[4 * br + 1][bc] = b1, m[4 * br + 2][bc] = b2, m[4 * br + 3][bc] = b3;
    }
  }
}

// The pass over the first index of m (m[i][h], four lanes per h).
void PassOverRows(__m128 m[8][2]) {
  #pragma GCC unroll 8
  for (int h = 0; h < 2; ++h) {
    __m128 x[8];
    #pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) x[i] = m[i][h];
    FloatPass(x);
    #pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) m[i][h] = x[i];
  }
}

}  // namespace

PrimitiveStatus ForwardDctQuant8x8From16Sse2(const int16_t* src, int32_t srcStep, int16_t* dst,
                                             const float* table) {
  if (src == nullptr || dst == nullptr) return StatusNullPointer;
  if (srcStep <= 0) return StatusBadStep;
  if (table == nullptr) return StatusNullPointer;

  const auto* base = reinterpret_cast<const uint8_t*>(src);
  const __m128 level = _mm_set1_ps(kFloatLevel);
  __m128 m[8][2];
  #pragma GCC unroll 8
  for (int r = 0; r < 8; ++r) {
    const __m128i row =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + static_cast<intptr_t>(r) * srcStep));
    const __m128i lo = _mm_srai_epi32(_mm_unpacklo_epi16(row, row), 16);
    const __m128i hi = _mm_srai_epi32(_mm_unpackhi_epi16(row, row), 16);
    m[r][0] = _mm_sub_ps(_mm_cvtepi32_ps(lo), level);
    m[r][1] = _mm_sub_ps(_mm_cvtepi32_ps(hi), level);
  }
  // Rows first: transposed, each register holds one input index of four rows.
  Transpose(m);
  PassOverRows(m);
  // Back to rows of coefficients; the pass over the first index now runs down the columns.
  Transpose(m);
  PassOverRows(m);

  const __m128 low = _mm_set1_ps(-32768.0f), high = _mm_set1_ps(32767.0f);
  #pragma GCC unroll 8
  for (int u = 0; u < 8; ++u) {
    __m128i half[2];
    #pragma GCC unroll 8
    for (int h = 0; h < 2; ++h) {
      __m128 c = _mm_mul_ps(m[u][h], _mm_loadu_ps(kFloatDctScale + 8 * u + 4 * h));
      c = _mm_mul_ps(c, _mm_loadu_ps(table + 8 * u + 4 * h));
      // Clamped first, NaN becoming -32768, so the conversion never overflows.
      c = _mm_min_ps(_mm_max_ps(c, low), high);
      half[h] = _mm_cvtps_epi32(c);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 8 * u), _mm_packs_epi32(half[0], half[1]));
  }
  return StatusOk;
}

}  // namespace vorn::jpeg::prim
