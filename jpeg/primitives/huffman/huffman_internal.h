// What the builds of the block coder share: the zigzag order as a constant, and each build's
// fast coder by name for the tests. The plain coder they fall back to (huffman.h) is defined
// once, in the plain build's file; the vector builds call it rather than compiling copies with
// their own flags.
#pragma once

#include <cstdint>

#include "jpeg/primitives/huffman/huffman.h"

namespace vorn::jpeg::prim::huffman_detail {

// Natural index of each zigzag position, then eight entries of 63.
inline constexpr int32_t kZigzagNatural[64 + 8] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19,
    26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56,
    57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51, 58, 59, 52, 45, 38, 31,
    39, 46, 53, 60, 61, 54, 47, 55, 62, 63, 63, 63, 63, 63, 63, 63, 63, 63,
};

// The zigzag position of each natural index.
struct ZigzagPositions {
  int32_t of[64];
};
constexpr ZigzagPositions MakeZigzagPositions() {
  ZigzagPositions p{};
  for (int32_t i = 0; i < 64; ++i) p.of[kZigzagNatural[i]] = i;
  return p;
}
inline constexpr ZigzagPositions kZigzagPosition = MakeZigzagPositions();

// Each build's fast coder alone (for tests): true when it coded and committed the block,
// false when it left everything as it was for the plain coder.
using FastBlockFn = bool (*)(const int16_t*, uint8_t*, int32_t, int32_t*, int16_t*,
                             const uint32_t*, const uint32_t*, HuffmanEncodeState*);
bool EncodeBlockFastS2(const int16_t* coef, uint8_t* dst, int32_t dstLen, int32_t* pos,
                       int16_t* lastDC, const uint32_t* dcSpec, const uint32_t* acSpec,
                       HuffmanEncodeState* state);
bool EncodeBlockFastSse2(const int16_t* coef, uint8_t* dst, int32_t dstLen, int32_t* pos,
                         int16_t* lastDC, const uint32_t* dcSpec, const uint32_t* acSpec,
                         HuffmanEncodeState* state);
bool EncodeBlockFastSsse3(const int16_t* coef, uint8_t* dst, int32_t dstLen, int32_t* pos,
                          int16_t* lastDC, const uint32_t* dcSpec, const uint32_t* acSpec,
                          HuffmanEncodeState* state);
bool EncodeBlockFastAvx2(const int16_t* coef, uint8_t* dst, int32_t dstLen, int32_t* pos,
                         int16_t* lastDC, const uint32_t* dcSpec, const uint32_t* acSpec,
                         HuffmanEncodeState* state);

}  // namespace vorn::jpeg::prim::huffman_detail
