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
  // Written out rather than looped: the loops were left rolled, with their vectors kept on
  // the stack.
  static __m256i EqualsZero(const int16_t* coef, __m256i zero) {
    return _mm256_cmpeq_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(coef)), zero);
  }
  static __m256i Control(int32_t h, int32_t j) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(kWideShuffle.control[h][j]));
  }
  static uint32_t ZerosOfHalf(int32_t h, __m256i q0, __m256i q1, __m256i q2, __m256i q3) {
    const __m256i z = _mm256_or_si256(
        _mm256_or_si256(_mm256_shuffle_epi8(q0, Control(h, 0)),
                        _mm256_shuffle_epi8(q1, Control(h, 1))),
        _mm256_or_si256(_mm256_shuffle_epi8(q2, Control(h, 2)),
                        _mm256_shuffle_epi8(q3, Control(h, 3))));
    return static_cast<uint32_t>(_mm256_movemask_epi8(z));
  }

  static uint64_t NonZero(const int16_t* coef) {
    const __m256i zero = _mm256_setzero_si256();
    // One byte per coefficient, naturals 0..31 and 32..63 (the packs interleave the lanes'
    // quadwords, the permutes put them back in order).
    const __m256i low = _mm256_permute4x64_epi64(
        _mm256_packs_epi16(EqualsZero(coef, zero), EqualsZero(coef + 16, zero)), 0xD8);
    const __m256i high = _mm256_permute4x64_epi64(
        _mm256_packs_epi16(EqualsZero(coef + 32, zero), EqualsZero(coef + 48, zero)), 0xD8);
    // All AC coefficients zero: no shuffles.
    const __m256i dcByte = _mm256_setr_epi32(0xFF, 0, 0, 0, 0, 0, 0, 0);
    if (_mm256_movemask_epi8(_mm256_and_si256(_mm256_or_si256(low, dcByte), high)) == -1) {
      return uint64_t{coef[0] != 0};
    }
    const __m256i q0 = _mm256_permute2x128_si256(low, low, 0x00);
    const __m256i q1 = _mm256_permute2x128_si256(low, low, 0x11);
    const __m256i q2 = _mm256_permute2x128_si256(high, high, 0x00);
    const __m256i q3 = _mm256_permute2x128_si256(high, high, 0x11);
    const uint64_t zeros = uint64_t{ZerosOfHalf(0, q0, q1, q2, q3)} |
                           uint64_t{ZerosOfHalf(1, q0, q1, q2, q3)} << 32;
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

PrimitiveStatus EncodeBaselineBlocksAvx2(const int16_t* blocks, int32_t count, uint8_t* dst,
                                         int32_t dstLen, int32_t* pos, BaselineScanCoder* scan,
                                         HuffmanEncodeState* state, int32_t* coded) {
  return EncodeBaselineBlocksWith<WideMask>(blocks, count, dst, dstLen, pos, scan, state, coded);
}

}  // namespace vorn::jpeg::prim
