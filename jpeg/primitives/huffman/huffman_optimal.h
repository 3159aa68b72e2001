// Huffman tables built for one image: the symbol counts of a block as the baseline coder codes
// it, and the code lengths of JPEG Annex K.2, limited to 16 bits, from such counts.
#pragma once

#include <cstdint>

#include "jpeg/primitives/frame/dispatch.h"
#include "jpeg/primitives/frame/status.h"

namespace vorn::jpeg::prim {

// Adds the symbols the baseline coder emits for |block| (64 coefficients, natural order) to
// dcCounts and acCounts (256 counters each): the DC category of block[0] - *lastDC, the AC
// run/size pairs, ZRL and EOB. *lastDC becomes block[0]. Any pointer null: -8, nothing
// changed. A DC category above 15 or an AC category above 14: -63 (lastDC and the DC count
// already updated when the AC part fails).
PrimitiveStatus CountBlockStatistics(const int16_t* block, uint32_t* dcCounts, uint32_t* acCounts,
                                     int16_t* lastDC);

// BITS (16 bytes) and HUFFVAL (up to 256 symbols in code order) of the optimal table for
// |counts| (256 counters, read only), lengths limited to 16 bits; among equal counts the higher
// symbol gets the longer code. Any pointer null: -8. -64 when no count is non-zero, when a
// code length passes 32 before limiting, or when a counted symbol would get no code (a count
// too large to take part).
PrimitiveStatus BuildOptimalHuffmanTable(const uint32_t* counts, uint8_t* bits, uint8_t* huffval);

// Stores |value| into |count| consecutive 32-bit words at |dst| (any alignment); returns dst.
uint32_t* FillWords32Kernel(uint32_t value, uint32_t* dst, int32_t count);

using CountBlockStatisticsFn = PrimitiveStatus (*)(const int16_t*, uint32_t*, uint32_t*, int16_t*);
using BuildOptimalHuffmanTableFn = PrimitiveStatus (*)(const uint32_t*, uint8_t*, uint8_t*);

extern const DispatchTable<CountBlockStatisticsFn> kCountBlockStatisticsTable;
extern const DispatchTable<BuildOptimalHuffmanTableFn> kBuildOptimalHuffmanTableTable;

// The builds (one, the portable build, in every slot).
PrimitiveStatus CountBlockStatisticsS2(const int16_t* block, uint32_t* dcCounts,
                                       uint32_t* acCounts, int16_t* lastDC);
PrimitiveStatus BuildOptimalHuffmanTableS2(const uint32_t* counts, uint8_t* bits,
                                           uint8_t* huffval);

}  // namespace vorn::jpeg::prim
