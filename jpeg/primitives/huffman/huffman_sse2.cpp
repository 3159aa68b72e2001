// The SSE2 block coder: the coefficients are compared with zero eight at a time in natural
// order, and the bits of the non-zero ones are moved to their zigzag positions.
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

// The compare results in natural order, then each non-zero coefficient's bit moved to its
// zigzag position: a step per non-zero coefficient, none for a block whose AC are all zero.
// Dense blocks are gathered in zigzag order and compared again instead.
struct Sse2Mask {
  // Above this many non-zero AC coefficients gathering the block in zigzag order is quicker.
  static constexpr int32_t kDenseAc = 20;

  static int32_t CountBits(uint64_t x) {
    x -= (x >> 1) & 0x5555555555555555ull;
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<int32_t>((x * 0x0101010101010101ull) >> 56);
  }

  static uint64_t Gathered(const int16_t* coef) {
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

  static uint64_t NonZero(const int16_t* coef) {
    const __m128i zero = _mm_setzero_si128();
    uint64_t zeros = 0;
    for (int32_t j = 0; j < 4; ++j) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + 16 * j));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + 16 * j + 8));
      const __m128i eq = _mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
      zeros |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(eq))} << (16 * j);
    }
    uint64_t ac = ~zeros & ~uint64_t{1};
    if (CountBits(ac) > kDenseAc) return Gathered(coef);
    // Natural index 0 is zigzag position 0 and the AC ones go one by one.
    uint64_t mask = ~zeros & 1;
    while (ac != 0) {
      mask |= kZigzagBits.of[__builtin_ctzll(ac)];
      ac &= ac - 1;
    }
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
