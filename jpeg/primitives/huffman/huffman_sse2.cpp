// The SSE2 block coder: the coefficients are compared with zero eight at a time in natural
// order, and the bits of the non-zero ones are moved to their zigzag positions by table.
#include <emmintrin.h>

#include "jpeg/primitives/huffman/huffman.h"
#include "jpeg/primitives/huffman/huffman_fast_coder.h"

namespace vorn::jpeg::prim {
namespace {

// The zigzag bit of each natural index.
struct ZigzagBits {
  uint64_t of[64];
};
constexpr ZigzagBits MakeZigzagBits() {
  ZigzagBits b{};
  for (int32_t k = 0; k < 64; ++k) b.of[k] = uint64_t{1} << huffman_detail::kZigzagPosition.of[k];
  return b;
}
constexpr ZigzagBits kZigzagBits = MakeZigzagBits();

// For byte j of a natural-order mask and each of its 256 values, the zigzag bits of the
// natural indices it holds: eight lookups move a whole mask.
struct ZigzagByteBits {
  uint64_t of[8][256];
};
constexpr ZigzagByteBits MakeZigzagByteBits() {
  ZigzagByteBits t{};
  for (int32_t j = 0; j < 8; ++j) {
    for (int32_t v = 0; v < 256; ++v) {
      uint64_t bits = 0;
      for (int32_t i = 0; i < 8; ++i) {
        if (v & (1 << i)) bits |= kZigzagBits.of[8 * j + i];
      }
      t.of[j][v] = bits;
    }
  }
  return t;
}
constexpr ZigzagByteBits kZigzagByteBits = MakeZigzagByteBits();

// The compare results in natural order, then moved to their zigzag positions a byte at a
// time; nothing to move for a block whose AC are all zero.
struct Sse2Mask {
  static uint64_t NonZero(const int16_t* coef) {
    const __m128i zero = _mm_setzero_si128();
    uint64_t zeros = 0;
    for (int32_t j = 0; j < 4; ++j) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + 16 * j));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + 16 * j + 8));
      const __m128i eq = _mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
      zeros |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(eq))} << (16 * j);
    }
    const uint64_t natural = ~zeros;
    // Natural index 0 is zigzag position 0.
    if ((natural & ~uint64_t{1}) == 0) return natural;
    uint64_t mask = 0;
    for (int32_t j = 0; j < 8; ++j) mask |= kZigzagByteBits.of[j][(natural >> (8 * j)) & 0xFF];
    return mask;
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

PrimitiveStatus EncodeBaselineBlocksSse2(const int16_t* blocks, int32_t count, uint8_t* dst,
                                         int32_t dstLen, int32_t* pos, BaselineScanCoder* scan,
                                         HuffmanEncodeState* state, int32_t* coded) {
  return EncodeBaselineBlocksWith<Sse2Mask>(blocks, count, dst, dstLen, pos, scan, state, coded);
}

}  // namespace vorn::jpeg::prim
