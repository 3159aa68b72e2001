// Dispatch of the Huffman primitives: the size queries, the table builder and the state reset
// have one build for every slot; the block coder and the blocks coder have their plain, SSE2, SSSE3 and AVX2 builds.
#include "jpeg/primitives/huffman/huffman.h"

namespace vorn::jpeg::prim {

constinit const DispatchTable<HuffmanEncodeSpecSizeFn> kHuffmanEncodeSpecSizeTable =
    ShareLower<HuffmanEncodeSpecSizeFn>({{HuffmanEncodeSpecSizeS2}});
constinit const DispatchTable<HuffmanEncodeStateSizeFn> kHuffmanEncodeStateSizeTable =
    ShareLower<HuffmanEncodeStateSizeFn>({{HuffmanEncodeStateSizeS2}});
constinit const DispatchTable<BuildHuffmanEncodeSpecFn> kBuildHuffmanEncodeSpecTable =
    ShareLower<BuildHuffmanEncodeSpecFn>({{BuildHuffmanEncodeSpecS2}});
constinit const DispatchTable<ResetHuffmanEncodeStateFn> kResetHuffmanEncodeStateTable =
    ShareLower<ResetHuffmanEncodeStateFn>({{ResetHuffmanEncodeStateS2}});
constinit const DispatchTable<EncodeBaselineBlockFn> kEncodeBaselineBlockTable =
    ShareLower<EncodeBaselineBlockFn>({{EncodeBaselineBlockS2, EncodeBaselineBlockSse2,
                                        EncodeBaselineBlockSsse3, nullptr, nullptr, nullptr,
                                        EncodeBaselineBlockAvx2}});
constinit const DispatchTable<EncodeBaselineBlocksFn> kEncodeBaselineBlocksTable =
    ShareLower<EncodeBaselineBlocksFn>({{EncodeBaselineBlocksS2, EncodeBaselineBlocksSse2,
                                         EncodeBaselineBlocksSsse3, nullptr, nullptr, nullptr,
                                         EncodeBaselineBlocksAvx2}});

PrimitiveStatus HuffmanEncodeSpecSize(int32_t* size) {
  return kHuffmanEncodeSpecSizeTable.Current()(size);
}

PrimitiveStatus HuffmanEncodeStateSize(int32_t* size) {
  return kHuffmanEncodeStateSizeTable.Current()(size);
}

PrimitiveStatus BuildHuffmanEncodeSpec(const uint8_t* bits, const uint8_t* values,
                                       uint32_t* spec) {
  return kBuildHuffmanEncodeSpecTable.Current()(bits, values, spec);
}

PrimitiveStatus ResetHuffmanEncodeState(HuffmanEncodeState* state) {
  return kResetHuffmanEncodeStateTable.Current()(state);
}

PrimitiveStatus EncodeBaselineBlock(const int16_t* coef, uint8_t* dst, int32_t dstLen,
                                    int32_t* pos, int16_t* lastDC, const uint32_t* dcSpec,
                                    const uint32_t* acSpec, HuffmanEncodeState* state,
                                    int32_t flush) {
  return kEncodeBaselineBlockTable.Current()(coef, dst, dstLen, pos, lastDC, dcSpec, acSpec,
                                             state, flush);
}

PrimitiveStatus EncodeBaselineBlocks(const int16_t* blocks, int32_t count, uint8_t* dst,
                                     int32_t dstLen, int32_t* pos, BaselineScanCoder* scan,
                                     HuffmanEncodeState* state, int32_t* coded) {
  return kEncodeBaselineBlocksTable.Current()(blocks, count, dst, dstLen, pos, scan, state,
                                              coded);
}

}  // namespace vorn::jpeg::prim
