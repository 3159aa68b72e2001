// The block coders of progressive scans (spectral selection and successive approximation,
// Huffman coded) and the statistics twins that count exactly the symbols the coders emit.
//
// The DC coders write through HuffmanPutBits, the baseline bit writer. The AC coders keep
// their own layout in the HuffmanEncodeState: up to 64 pending bits right-aligned in the
// accumulator (newest bit lowest), the end-of-band run (EOBRUN, at most 32767) and, in
// refinement scans, the correction bits of the blocks of that run (at most 937 + 63, one bit
// a byte). One state must not mix DC and AC coding without a reset.
//
// Every coder takes dst, dstLen and *pos as EncodeBaselineBlock does; *pos always counts the
// bytes written, also on failure. "flush" set: the block and band arguments are not used and
// the pending run and bits are written, padded with 1-bits to a byte, and the state reset.
#pragma once

#include <cstdint>

#include "jpeg/primitives/frame/dispatch.h"
#include "jpeg/primitives/frame/status.h"
#include "jpeg/primitives/huffman/huffman.h"

namespace vorn::jpeg::prim {

// The longest end-of-band run, and the correction bits after which a refinement run is
// written out even before that.
constexpr int32_t kMaxEobRun = 32767;
constexpr int32_t kMaxBufferedCorrectionBits = 937;

// Checks: dst -8, dstLen <= 0 -6, pos or state -8, flush, block or lastDC -8, Al > 13 -5,
// dcSpec -8. Codes (block[0] >> Al) - *lastDC; *lastDC becomes block[0] >> Al.
PrimitiveStatus EncodeDcFirstScanBlock(const int16_t* block, uint8_t* dst, int32_t dstLen,
                                       int32_t* pos, int16_t* lastDC, int32_t al,
                                       const uint32_t* dcSpec, HuffmanEncodeState* state,
                                       int32_t flush);
// Checks: dst -8, dstLen <= 0 -6, pos or state -8, flush, block -8, Al >= 14 -5. One bit.
PrimitiveStatus EncodeDcRefineScanBlock(const int16_t* block, uint8_t* dst, int32_t dstLen,
                                        int32_t* pos, int32_t al, HuffmanEncodeState* state,
                                        int32_t flush);
// Checks: dst -8, dstLen < 1 -6, pos, acSpec or state -8, flush, block -8, unless
// 1 <= Ss <= Se <= 63 and Al < 14 -5.
PrimitiveStatus EncodeAcFirstScanBlock(const int16_t* block, uint8_t* dst, int32_t dstLen,
                                       int32_t* pos, int32_t ss, int32_t se, int32_t al,
                                       const uint32_t* acSpec, HuffmanEncodeState* state,
                                       int32_t flush);
PrimitiveStatus EncodeAcRefineScanBlock(const int16_t* block, uint8_t* dst, int32_t dstLen,
                                        int32_t* pos, int32_t ss, int32_t se, int32_t al,
                                        const uint32_t* acSpec, HuffmanEncodeState* state,
                                        int32_t flush);
// Checks: block, counts or lastDC -8, Al > 13 -5; a DC category above 11 -63.
PrimitiveStatus CountDcFirstStatistics(const int16_t* block, uint32_t* counts, int16_t* lastDC,
                                       int32_t al);
// Checks: counts or state -8, flush, block -8, band or Al out of range -5. They keep EOBRUN
// (and the correction-bit count) in the state and store no bits.
PrimitiveStatus CountAcFirstStatistics(const int16_t* block, uint32_t* counts, int32_t ss,
                                       int32_t se, int32_t al, HuffmanEncodeState* state,
                                       int32_t flush);
PrimitiveStatus CountAcRefineStatistics(const int16_t* block, uint32_t* counts, int32_t ss,
                                        int32_t se, int32_t al, HuffmanEncodeState* state,
                                        int32_t flush);

// The flush of both AC coders (no argument checks).
PrimitiveStatus ProgressiveFlushEobRun(uint8_t* dst, int32_t dstLen, int32_t* pos,
                                       const uint32_t* acSpec, HuffmanEncodeState* state);

using EncodeDcFirstScanBlockFn = PrimitiveStatus (*)(const int16_t*, uint8_t*, int32_t, int32_t*,
                                                     int16_t*, int32_t, const uint32_t*,
                                                     HuffmanEncodeState*, int32_t);
using EncodeDcRefineScanBlockFn = PrimitiveStatus (*)(const int16_t*, uint8_t*, int32_t, int32_t*,
                                                      int32_t, HuffmanEncodeState*, int32_t);
using EncodeAcScanBlockFn = PrimitiveStatus (*)(const int16_t*, uint8_t*, int32_t, int32_t*,
                                                int32_t, int32_t, int32_t, const uint32_t*,
                                                HuffmanEncodeState*, int32_t);
using CountDcFirstStatisticsFn = PrimitiveStatus (*)(const int16_t*, uint32_t*, int16_t*, int32_t);
using CountAcStatisticsFn = PrimitiveStatus (*)(const int16_t*, uint32_t*, int32_t, int32_t,
                                                int32_t, HuffmanEncodeState*, int32_t);

// One portable build in every slot.
extern const DispatchTable<EncodeDcFirstScanBlockFn> kEncodeDcFirstScanBlockTable;
extern const DispatchTable<EncodeDcRefineScanBlockFn> kEncodeDcRefineScanBlockTable;
extern const DispatchTable<EncodeAcScanBlockFn> kEncodeAcFirstScanBlockTable;
extern const DispatchTable<EncodeAcScanBlockFn> kEncodeAcRefineScanBlockTable;
extern const DispatchTable<CountDcFirstStatisticsFn> kCountDcFirstStatisticsTable;
extern const DispatchTable<CountAcStatisticsFn> kCountAcFirstStatisticsTable;
extern const DispatchTable<CountAcStatisticsFn> kCountAcRefineStatisticsTable;

}  // namespace vorn::jpeg::prim
