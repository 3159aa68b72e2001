// The SSSE3 block coder (slots 2 to 5): the zigzag mask from byte shuffles.
#include "jpeg/primitives/huffman/huffman.h"
#include "jpeg/primitives/huffman/huffman_fast_coder.h"
#include "jpeg/primitives/huffman/huffman_shuffle_mask.h"

namespace vorn::jpeg::prim {

PrimitiveStatus EncodeBaselineBlockSsse3(const int16_t* coef, uint8_t* dst, int32_t dstLen,
                                        int32_t* pos, int16_t* lastDC, const uint32_t* dcSpec,
                                        const uint32_t* acSpec, HuffmanEncodeState* state,
                                        int32_t flush) {
  return EncodeBaselineBlockWith<ShuffleMask>(coef, dst, dstLen, pos, lastDC, dcSpec, acSpec,
                                              state, flush);
}

bool huffman_detail::EncodeBlockFastSsse3(const int16_t* coef, uint8_t* dst, int32_t dstLen,
                                      int32_t* pos, int16_t* lastDC, const uint32_t* dcSpec,
                                      const uint32_t* acSpec, HuffmanEncodeState* state) {
  return EncodeBlockFast<ShuffleMask>(coef, dst, dstLen, pos, lastDC, dcSpec, acSpec, state);
}

PrimitiveStatus EncodeBaselineBlocksSsse3(const int16_t* blocks, int32_t count, uint8_t* dst,
                                          int32_t dstLen, int32_t* pos, BaselineScanCoder* scan,
                                          HuffmanEncodeState* state, int32_t* coded) {
  return EncodeBaselineBlocksWith<ShuffleMask>(blocks, count, dst, dstLen, pos, scan, state, coded);
}

}  // namespace vorn::jpeg::prim
