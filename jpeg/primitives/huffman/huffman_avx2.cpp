// The AVX2 block coder (slot 6): the SSSE3 code with VEX encoding and BMI bit scans, and the
// zigzag mask formed 32 coefficients at a time.
#include <immintrin.h>

#include "jpeg/primitives/huffman/huffman.h"
#include "jpeg/primitives/huffman/huffman_fast_coder.h"
#include "jpeg/primitives/huffman/huffman_shuffle_mask.h"

namespace vorn::jpeg::prim {
namespace {

// The SSSE3 shuffle controls two zigzag groups at a time: kWideShuffle.control[h][j] holds the
// controls of groups 2h (low lane) and 2h + 1 (high lane) for natural quarter j.
struct WideShuffle {
  alignas(32) uint8_t control[2][4][32];
};
constexpr WideShuffle MakeWideShuffle() {
  WideShuffle w{};
  for (int32_t h = 0; h < 2; ++h) {
    for (int32_t j = 0; j < 4; ++j) {
      for (int32_t i = 0; i < 16; ++i) {
        w.control[h][j][i] = kZigzagShuffle.control[2 * h][j][i];
        w.control[h][j][16 + i] = kZigzagShuffle.control[2 * h + 1][j][i];
      }
    }
  }
  return w;
}
constexpr WideShuffle kWideShuffle = MakeWideShuffle();

struct WideMask {
  static uint64_t NonZero(const int16_t* coef) {
    const __m256i zero = _mm256_setzero_si256();
    __m256i eq[4];
    for (int32_t k = 0; k < 4; ++k) {
      eq[k] = _mm256_cmpeq_epi16(
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(coef + 16 * k)), zero);
    }
    // One byte per coefficient, naturals 0..31 and 32..63 (the packs interleave the lanes'
    // quadwords, the permutes put them back in order).
    const __m256i low = _mm256_permute4x64_epi64(_mm256_packs_epi16(eq[0], eq[1]), 0xD8);
    const __m256i high = _mm256_permute4x64_epi64(_mm256_packs_epi16(eq[2], eq[3]), 0xD8);
    // All AC coefficients zero: no shuffles.
    const __m256i dcByte = _mm256_setr_epi32(0xFF, 0, 0, 0, 0, 0, 0, 0);
    if (_mm256_movemask_epi8(_mm256_and_si256(_mm256_or_si256(low, dcByte), high)) == -1) {
      return uint64_t{coef[0] != 0};
    }
    const __m256i quarter[4] = {
        _mm256_permute2x128_si256(low, low, 0x00), _mm256_permute2x128_si256(low, low, 0x11),
        _mm256_permute2x128_si256(high, high, 0x00), _mm256_permute2x128_si256(high, high, 0x11)};
    uint64_t zeros = 0;
    for (int32_t h = 0; h < 2; ++h) {
      __m256i z = zero;
      for (int32_t j = 0; j < 4; ++j) {
        const __m256i control =
            _mm256_load_si256(reinterpret_cast<const __m256i*>(kWideShuffle.control[h][j]));
        z = _mm256_or_si256(z, _mm256_shuffle_epi8(quarter[j], control));
      }
      zeros |= uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(z))} << (32 * h);
    }
    return ~zeros;
  }
};

}  // namespace

PrimitiveStatus EncodeBaselineBlockAvx2(const int16_t* coef, uint8_t* dst, int32_t dstLen,
                                        int32_t* pos, int16_t* lastDC, const uint32_t* dcSpec,
                                        const uint32_t* acSpec, HuffmanEncodeState* state,
                                        int32_t flush) {
  return EncodeBaselineBlockWith<WideMask>(coef, dst, dstLen, pos, lastDC, dcSpec, acSpec,
                                              state, flush);
}

bool huffman_detail::EncodeBlockFastAvx2(const int16_t* coef, uint8_t* dst, int32_t dstLen,
                                      int32_t* pos, int16_t* lastDC, const uint32_t* dcSpec,
                                      const uint32_t* acSpec, HuffmanEncodeState* state) {
  return EncodeBlockFast<WideMask>(coef, dst, dstLen, pos, lastDC, dcSpec, acSpec, state);
}

}  // namespace vorn::jpeg::prim
