// The SSE2 block coder: the coefficients are gathered in zigzag order and compared with zero
// eight at a time; the compare results pack to one bit each.
#include <emmintrin.h>

#include "jpeg/primitives/huffman/huffman.h"
#include "jpeg/primitives/huffman/huffman_fast_coder.h"

namespace vorn::jpeg::prim {
namespace {

struct Sse2Mask {
  static uint64_t NonZero(const int16_t* coef) {
    alignas(16) int16_t zz[64];
    for (int32_t i = 0; i < 64; ++i) zz[i] = coef[huffman_detail::kZigzagNatural[i]];
    const __m128i zero = _mm_setzero_si128();
    uint64_t zeros = 0;
    for (int32_t j = 0; j < 4; ++j) {
      const __m128i a = _mm_load_si128(reinterpret_cast<const __m128i*>(zz + 16 * j));
      const __m128i b = _mm_load_si128(reinterpret_cast<const __m128i*>(zz + 16 * j + 8));
      const __m128i eq = _mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
      zeros |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(eq))} << (16 * j);
    }
    return ~zeros;
  }
};

}  // namespace

PrimitiveStatus EncodeBaselineBlockSse2(const int16_t* coef, uint8_t* dst, int32_t dstLen,
                                        int32_t* pos, int16_t* lastDC, const uint32_t* dcSpec,
                                        const uint32_t* acSpec, HuffmanEncodeState* state,
                                        int32_t flush) {
  return EncodeBaselineBlockWith<Sse2Mask>(coef, dst, dstLen, pos, lastDC, dcSpec, acSpec,
                                           state, flush);
}

bool huffman_detail::EncodeBlockFastSse2(const int16_t* coef, uint8_t* dst, int32_t dstLen,
                                      int32_t* pos, int16_t* lastDC, const uint32_t* dcSpec,
                                      const uint32_t* acSpec, HuffmanEncodeState* state) {
  return EncodeBlockFast<Sse2Mask>(coef, dst, dstLen, pos, lastDC, dcSpec, acSpec, state);
}

}  // namespace vorn::jpeg::prim
