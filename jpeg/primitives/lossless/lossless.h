// Lossless (predictive) coding of sample rows: each sample is predicted from its left (Ra),
// upper (Rb) and upper-left (Rc) neighbours and the difference, modulo 2^16, is coded with the
// DC table of its component as a category code and the category's low bits.
//
// Sample rows are unsigned 16-bit samples; difference rows signed 16-bit. The coders write
// through HuffmanPutBits and share its state and 0xFF stuffing (huffman.h): dst with dstLen
// bytes in all, *pos the offset of the next byte, advanced by the call.
#pragma once

#include <cstdint>

#include "jpeg/primitives/frame/dispatch.h"
#include "jpeg/primitives/frame/status.h"
#include "jpeg/primitives/huffman/huffman.h"

namespace vorn::jpeg::prim {

// The categories a difference may have (0 to 16).
constexpr int32_t kLosslessCategories = 17;
// Free bytes from which EncodeLosslessValue takes the unchecked route of EncodeHuffmanDiff:
// a code of 16 bits, 15 value bits and 7 pending bits, every byte stuffed, need 8.
constexpr int32_t kLosslessFastMinFree = 9;

// The category of a difference: 0 for 0, else the bit length of |d|; -32768 has 16.
inline int32_t LosslessCategory(int16_t d) {
  const int32_t v = d;
  return CategoryOf(static_cast<uint32_t>(v < 0 ? -v : v));
}

// dst[i] = cur[i] - prediction (modulo 2^16) with predictor 1 to 7 for i > 0; dst[0] =
// cur[0] - prev[0] whatever the predictor. In predictors 5 to 7 the samples are read as signed
// 16-bit values and the shift is arithmetic on their 32-bit sum or difference. Checks in
// order: a pointer null -8; count < 1 -6; predictor outside 1..7 -5.
PrimitiveStatus LosslessDiffRow(const uint16_t* cur, const uint16_t* prev, int16_t* dst,
                                int32_t count, int32_t predictor);
// The first row of a scan or a restart interval: dst[0] = cur[0] - 2^(P - Pt - 1), dst[i] =
// cur[i] - cur[i - 1] (modulo 2^16). cur or dst null -8; count <= 0 -6; P < 2, P > 16, Pt < 0
// or Pt >= P -5 (the prediction 2^(P - Pt - 1) needs at least one bit left).
PrimitiveStatus LosslessDiffFirstRow(const uint16_t* cur, int16_t* dst, int32_t count,
                                     int32_t precision, int32_t pointTransform);
// The point transform: shift 0 leaves the data, 1 to 15 shift right arithmetically, 16 and
// more leave each element's sign (0 or -1). data null -8; count <= 0 -6; shift < 0 -32.
PrimitiveStatus ShiftRightWords16InPlace(int32_t shift, int16_t* data, int32_t count);
// Codes one difference with |dcSpec|. Checks: dst null -8; dstLen <= 0 -6; pos or state null
// -8; with flush set: pads the pending bits to a byte with 1-bits, zeroes the state and
// returns the put's result; else diff or dcSpec null -8; then *pos outside 0..dstLen or more
// than 7 pending bits -5. A category without a code -64 with nothing written; output full
// -62 (the bytes already put stay).
PrimitiveStatus EncodeLosslessValue(const int16_t* diff, uint8_t* dst, int32_t dstLen,
                                    int32_t* pos, const uint32_t* dcSpec,
                                    HuffmanEncodeState* state, int32_t flush);
// Codes |count| positions of the first min(n, 4) difference rows, interleaved sample by
// sample (component 0's difference, then component 1's, ...), each with its own spec. Checks:
// dst null -8; dstLen <= 0 -6; pos or state null -8; flush as above; rows null -8; count <= 0
// or n <= 0 -6; specs null -8; a used row or spec null -8; *pos or state out of range -5.
// A difference without a code -64 before anything of it is written; -62 at once.
PrimitiveStatus EncodeLosslessRow(const int16_t* const rows[4], int32_t count, int32_t n,
                                  uint8_t* dst, int32_t dstLen, int32_t* pos,
                                  const uint32_t* const specs[4], HuffmanEncodeState* state,
                                  int32_t flush);
// counts[category of *diff] += 1. Either null -8; 0 otherwise (every 16-bit difference has a
// category of at most 16).
PrimitiveStatus CountLosslessStatistics(const int16_t* diff, uint32_t* counts);

using LosslessDiffRowFn = PrimitiveStatus (*)(const uint16_t*, const uint16_t*, int16_t*,
                                              int32_t, int32_t);
using LosslessDiffFirstRowFn = PrimitiveStatus (*)(const uint16_t*, int16_t*, int32_t, int32_t,
                                                   int32_t);
using ShiftRightWords16InPlaceFn = PrimitiveStatus (*)(int32_t, int16_t*, int32_t);
using EncodeLosslessValueFn = PrimitiveStatus (*)(const int16_t*, uint8_t*, int32_t, int32_t*,
                                                  const uint32_t*, HuffmanEncodeState*, int32_t);
using EncodeLosslessRowFn = PrimitiveStatus (*)(const int16_t* const[4], int32_t, int32_t,
                                                uint8_t*, int32_t, int32_t*,
                                                const uint32_t* const[4], HuffmanEncodeState*,
                                                int32_t);
using CountLosslessStatisticsFn = PrimitiveStatus (*)(const int16_t*, uint32_t*);

extern const DispatchTable<LosslessDiffRowFn> kLosslessDiffRowTable;
extern const DispatchTable<LosslessDiffFirstRowFn> kLosslessDiffFirstRowTable;
extern const DispatchTable<ShiftRightWords16InPlaceFn> kShiftRightWords16InPlaceTable;
extern const DispatchTable<EncodeLosslessValueFn> kEncodeLosslessValueTable;
extern const DispatchTable<EncodeLosslessRowFn> kEncodeLosslessRowTable;
extern const DispatchTable<CountLosslessStatisticsFn> kCountLosslessStatisticsTable;

// The portable builds, used by every slot.
PrimitiveStatus LosslessDiffRowS2(const uint16_t* cur, const uint16_t* prev, int16_t* dst,
                                  int32_t count, int32_t predictor);
PrimitiveStatus LosslessDiffFirstRowS2(const uint16_t* cur, int16_t* dst, int32_t count,
                                       int32_t precision, int32_t pointTransform);
PrimitiveStatus ShiftRightWords16InPlaceS2(int32_t shift, int16_t* data, int32_t count);
PrimitiveStatus EncodeLosslessValueS2(const int16_t* diff, uint8_t* dst, int32_t dstLen,
                                      int32_t* pos, const uint32_t* dcSpec,
                                      HuffmanEncodeState* state, int32_t flush);
PrimitiveStatus EncodeLosslessRowS2(const int16_t* const rows[4], int32_t count, int32_t n,
                                    uint8_t* dst, int32_t dstLen, int32_t* pos,
                                    const uint32_t* const specs[4], HuffmanEncodeState* state,
                                    int32_t flush);
PrimitiveStatus CountLosslessStatisticsS2(const int16_t* diff, uint32_t* counts);

}  // namespace vorn::jpeg::prim
