// The zigzag mask of the SSSE3 and AVX2 block coders: the coefficients are compared with zero
// in natural order (one byte per coefficient after packing), and byte shuffles put the 64
// compare results in zigzag order, sixteen at a time from the four natural quarters.
// Everything here has internal linkage; each build compiles it with its own flags.
#pragma once

#include <tmmintrin.h>

#include <cstdint>

#include "jpeg/primitives/huffman/huffman_internal.h"

namespace vorn::jpeg::prim {
namespace {

// kZigzagShuffle.control[q][j]: for zigzag positions 16q..16q+15, the byte of natural quarter
// j (naturals 16j..16j+15) each takes, or 0x80 (a zero) when it comes from another quarter.
struct ZigzagShuffle {
  alignas(16) uint8_t control[4][4][16];
};
constexpr ZigzagShuffle MakeZigzagShuffle() {
  ZigzagShuffle s{};
  for (int32_t p = 0; p < 64; ++p) {
    const int32_t n = huffman_detail::kZigzagNatural[p];
    for (int32_t j = 0; j < 4; ++j) {
      s.control[p / 16][j][p % 16] = static_cast<uint8_t>(n / 16 == j ? n % 16 : 0x80);
    }
  }
  return s;
}
constexpr ZigzagShuffle kZigzagShuffle = MakeZigzagShuffle();

struct ShuffleMask {
  static uint64_t NonZero(const int16_t* coef) {
    const __m128i zero = _mm_setzero_si128();
    __m128i quarter[4];
    for (int32_t j = 0; j < 4; ++j) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + 16 * j));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + 16 * j + 8));
      quarter[j] = _mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
    }
    // A block whose AC coefficients are all zero (common in flat areas) needs no shuffles: the
    // compare results are then all set but for DC's, whatever its value.
    const __m128i dcByte = _mm_cvtsi32_si128(0xFF);
    const __m128i all =
        _mm_and_si128(_mm_and_si128(_mm_or_si128(quarter[0], dcByte), quarter[1]),
                      _mm_and_si128(quarter[2], quarter[3]));
    if (_mm_movemask_epi8(all) == 0xFFFF) {
      return uint64_t{coef[0] != 0};
    }
    uint64_t zeros = 0;
    for (int32_t q = 0; q < 4; ++q) {
      __m128i z = zero;
      for (int32_t j = 0; j < 4; ++j) {
        const __m128i control =
            _mm_load_si128(reinterpret_cast<const __m128i*>(kZigzagShuffle.control[q][j]));
        z = _mm_or_si128(z, _mm_shuffle_epi8(quarter[j], control));
      }
      zeros |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(z))} << (16 * q);
    }
    return ~zeros;
  }
};

}  // namespace
}  // namespace vorn::jpeg::prim
