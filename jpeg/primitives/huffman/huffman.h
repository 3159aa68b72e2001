// Baseline Huffman coding: the per-symbol code tables built from a DHT-style BITS/HUFFVAL
// pair, the bit writer's state kept between calls, and the coder of one 8x8 coefficient block
// (DC difference, AC run/size symbols, ZRL, EOB) with 0xFF byte stuffing and 1-bit padding.
//
// The coders write straight into a caller's byte buffer: dst with dstLen bytes in all, *pos the
// offset of the next byte, advanced by the call. A full buffer gives StatusOutputFull; the
// bytes written before it stay and *pos covers them.
//
// EncodeBaselineBlock has a fast coder in front of the plain one: with at least
// kFastCoderMinFree bytes free it codes the block with a 64-bit bit buffer, finds the non-zero
// coefficients with one mask (vector builds: a shuffle of compare results), and stores eight
// bytes at a time when none of them is 0xFF. It commits nothing until the whole block is
// coded; when it runs short of room or meets a symbol without a code, the plain coder codes the
// block from the unchanged position. Both give the same bytes, position, state and last DC.
// Bytes between the final position and dstLen may be overwritten by the fast coder.
#pragma once

#include <cstddef>
#include <cstdint>

#include "jpeg/primitives/frame/dispatch.h"
#include "jpeg/primitives/frame/status.h"

namespace vorn::jpeg::prim {

// One entry per symbol: code length << 16 | code (right-aligned); 0 = no code.
constexpr int32_t kHuffmanSpecEntries = 256;
using HuffmanEncodeSpec = uint32_t[kHuffmanSpecEntries];
constexpr int32_t kHuffmanEncodeSpecBytes = 1024;
static_assert(sizeof(HuffmanEncodeSpec) == kHuffmanEncodeSpecBytes);

// The longest code of a table.
constexpr int32_t kMaxHuffmanCodeLength = 16;

// The bit writer's state between calls.
struct HuffmanEncodeState {
  // Pending bits left-aligned just below bit 24 (the next byte out is bits 16..23); the bits
  // below the pending ones are 0, and every store clears everything above bit 23.
  alignas(8) uint64_t accumulator;
  int32_t pendingBits;  // 0..7 between calls
  // Used only by the progressive coders.
  int32_t endOfBandRun;
  int32_t correctionBitCount;
  uint8_t correctionBits[1024];
};
static_assert(offsetof(HuffmanEncodeState, accumulator) == 0);
static_assert(offsetof(HuffmanEncodeState, pendingBits) == 8);
static_assert(offsetof(HuffmanEncodeState, endOfBandRun) == 12);
static_assert(offsetof(HuffmanEncodeState, correctionBitCount) == 16);
static_assert(offsetof(HuffmanEncodeState, correctionBits) == 20);
constexpr int32_t kHuffmanEncodeStateBytes = 1048;
static_assert(sizeof(HuffmanEncodeState) == kHuffmanEncodeStateBytes);

// Natural (row-major) index of each zigzag position, then eight entries of 63 so that a scan
// may read past the last position.
extern const int32_t ZigzagOrder[64 + 8];
// Number of significant bits of v (0 for 0), for v < 256.
extern const int32_t MagnitudeCategory[256];

// The category (bit count) of a magnitude m < 65536.
inline int32_t CategoryOf(uint32_t m) {
  return m < 256 ? MagnitudeCategory[m] : MagnitudeCategory[m >> 8] + 8;
}

// The four example tables of the JPEG standard (ISO/IEC 10918-1, Annex K.3) as the DHT segment
// carries them (HUFFVAL padded with zeros).
struct StdHuffmanTable {
  uint8_t bits[16];
  uint8_t values[256];
};
static_assert(sizeof(StdHuffmanTable) == 272);
enum StdHuffmanTableIndex : int32_t {
  StdDcLuminance = 0,
  StdDcChrominance = 1,
  StdAcLuminance = 2,
  StdAcChrominance = 3,
};
extern const StdHuffmanTable StdHuffmanTables[4];

// Symbols of the AC tables with a meaning of their own.
constexpr uint32_t kSymbolEob = 0x00;
constexpr uint32_t kSymbolZrl = 0xF0;

// Free bytes the fast coder needs to start a block.
constexpr int32_t kFastCoderMinFree = 24;

// null -8; else writes 1024 (1048) and 0.
PrimitiveStatus HuffmanEncodeSpecSize(int32_t* size);
PrimitiveStatus HuffmanEncodeStateSize(int32_t* size);
// The JPEG standard's code assignment (ISO/IEC 10918-1, C.1 and C.2). Any null -8; more than
// 256 codes, or more codes of a length than the length holds: -64 with the HuffmanEncodeSpec all zero;
// else 0. A symbol listed twice keeps its last code.
PrimitiveStatus BuildHuffmanEncodeSpec(const uint8_t* bits, const uint8_t* values,
                                       uint32_t* spec);
// null -8; else the whole state is zeroed, 0.
PrimitiveStatus ResetHuffmanEncodeState(HuffmanEncodeState* state);

// Checks in order: dst null -8; dstLen <= 0 -6; pos null -8; state null -8. With flush set it
// then pads the pending bits to a byte with 1-bits, zeroes the state and ignores the other
// arguments. Otherwise coef, lastDC, dcSpec, acSpec null -8, in that order. Then, for either:
// *pos outside 0..dstLen or a state with more than 7 pending bits -5. Coding: 0, -62 (output
// full: the bytes of the symbols already put stay written, lastDC is already updated) or -64
// (a symbol without a code, or an AC coefficient of category 16).
PrimitiveStatus EncodeBaselineBlock(const int16_t* coef, uint8_t* dst, int32_t dstLen,
                                    int32_t* pos, int16_t* lastDC, const uint32_t* dcSpec,
                                    const uint32_t* acSpec, HuffmanEncodeState* state,
                                    int32_t flush);

// Blocks of one interleaved baseline scan in a row, with its restart markers: what
// EncodeBaselineBlocks carries from call to call. Component c's blocks use dcSpec[c],
// acSpec[c] and lastDc[c]; blockComponent lists the component of each block of an MCU in coding
// order.
constexpr int32_t kMaxScanComponents = 4;
constexpr int32_t kMaxBlocksPerMcu = 10;
struct BaselineScanCoder {
  const uint32_t* dcSpec[kMaxScanComponents];
  const uint32_t* acSpec[kMaxScanComponents];
  int16_t lastDc[kMaxScanComponents];
  uint8_t blockComponent[kMaxBlocksPerMcu];
  int32_t blocksPerMcu;       // 1 to kMaxBlocksPerMcu
  int32_t blockInMcu;         // index in its MCU of the next block, 0 to blocksPerMcu - 1
  int32_t restartInterval;    // MCUs between restart markers, 0 for none (at most 65535)
  int32_t restartsToGo;       // 0 to restartInterval: MCUs before the next marker
  int32_t nextRestartNumber;  // 0 to 7
  // 0: the tables are checked at the next call, which sets 1 (every code fits its length) or
  // 2 (some entry does not: each block then goes through the block coder). A caller that
  // changes a table pointer or a table sets it back to 0.
  int32_t tablesChecked;
  // Filled by the check: each listed component's codes as the coder looks them up, one
  // 64-bit entry per symbol and category: the code shifted left by the category in the low 32
  // bits and the code length plus the category in the high 32 bits; an entry without a code
  // has a length of 32 and no bits. DC by category 0 to 16; AC by category x 16 + run, so that
  // category 16 (which has no symbol) has entries of its own, all marked.
  uint64_t dcCodes[kMaxScanComponents][17];
  uint64_t acCodes[kMaxScanComponents][17 * 16];
};

// Free bytes EncodeBaselineBlocks needs before each block (a restart marker included).
constexpr int32_t kBaselineBlocksMinFree = 1024;

// Codes up to |count| blocks (64 coefficients each, one after another) from |blocks|, the
// first of them block scan->blockInMcu of its MCU, exactly as EncodeBaselineBlock codes them
// one by one. Before the first block of an MCU, when the restart interval is not 0 and no
// restarts are to go, it pads the pending bits to a byte with 1-bits, writes the marker
// FF D0 + next restart number, sets the next number to (number + 1) & 7, every last DC to 0
// and restarts to go to the interval; after the last block of an MCU restarts to go becomes
// (restarts to go, or the interval when 0) - 1. It stops before a block when fewer than
// kBaselineBlocksMinFree bytes are free, so a caller empties the buffer and calls again; the
// count of blocks coded is in *coded and scan, state and *pos are where it stopped.
// Checks in order: dst null -8; dstLen <= 0 -6; pos, scan, state, coded null -8; count < 0,
// *pos outside 0..dstLen or more than 7 pending bits -5; blocks null with a positive count -8;
// a scan field outside its range (tablesChecked 0 to 2) -5; a table of a listed component
// null -8. Coding: 0, or the
// -62 or -64 of the block that met it (as EncodeBaselineBlock leaves it; *coded counts the
// blocks before it).
PrimitiveStatus EncodeBaselineBlocks(const int16_t* blocks, int32_t count, uint8_t* dst,
                                     int32_t dstLen, int32_t* pos, BaselineScanCoder* scan,
                                     HuffmanEncodeState* state, int32_t* coded);

// The bit writer shared by the coders: appends the low n bits of value (1 <= n <= 16, else
// -64 with nothing changed). On -62 the bytes already written and the advanced *pos stay, and
// the state keeps its value from before the call.
PrimitiveStatus HuffmanPutBits(uint32_t value, int32_t n, uint8_t* dst, int32_t dstLen,
                               int32_t* pos, HuffmanEncodeState* state);
// The zeroing of ResetHuffmanEncodeState without the check.
void HuffmanStateReset(HuffmanEncodeState* state);
// One difference of the lossless coder: the code of its category from |spec|, then (for
// categories 1 to 15) its low category bits, the value less 1 when negative; category 16 has
// no further bits. A category without a code returns 1 with nothing written or changed; else
// 0. No capacity check: the caller keeps at least 8 bytes free after *pos.
int32_t EncodeHuffmanDiff(const int16_t* value, uint8_t* dst, int32_t* pos, const uint32_t* spec,
                          HuffmanEncodeState* state);

// The plain coder of one block (no argument checks): the reference every build is held to.
PrimitiveStatus EncodeBaselineBlockPlain(const int16_t* coef, uint8_t* dst, int32_t dstLen,
                                         int32_t* pos, int16_t* lastDC, const uint32_t* dcSpec,
                                         const uint32_t* acSpec, HuffmanEncodeState* state);

using HuffmanEncodeSpecSizeFn = PrimitiveStatus (*)(int32_t*);
using HuffmanEncodeStateSizeFn = PrimitiveStatus (*)(int32_t*);
using BuildHuffmanEncodeSpecFn = PrimitiveStatus (*)(const uint8_t*, const uint8_t*, uint32_t*);
using ResetHuffmanEncodeStateFn = PrimitiveStatus (*)(HuffmanEncodeState*);
using EncodeBaselineBlockFn = PrimitiveStatus (*)(const int16_t*, uint8_t*, int32_t, int32_t*,
                                                  int16_t*, const uint32_t*, const uint32_t*,
                                                  HuffmanEncodeState*, int32_t);

using EncodeBaselineBlocksFn = PrimitiveStatus (*)(const int16_t*, int32_t, uint8_t*, int32_t,
                                                   int32_t*, BaselineScanCoder*,
                                                   HuffmanEncodeState*, int32_t*);

extern const DispatchTable<HuffmanEncodeSpecSizeFn> kHuffmanEncodeSpecSizeTable;
extern const DispatchTable<HuffmanEncodeStateSizeFn> kHuffmanEncodeStateSizeTable;
extern const DispatchTable<BuildHuffmanEncodeSpecFn> kBuildHuffmanEncodeSpecTable;
extern const DispatchTable<ResetHuffmanEncodeStateFn> kResetHuffmanEncodeStateTable;
extern const DispatchTable<EncodeBaselineBlockFn> kEncodeBaselineBlockTable;
extern const DispatchTable<EncodeBaselineBlocksFn> kEncodeBaselineBlocksTable;

// The builds. The S2 block coder runs the fast coder with a portable coefficient mask; the
// SSE2 build forms the mask with vector compares, the SSSE3 build (slots 2 to 5) also reorders
// the compare results with byte shuffles, the AVX2 build (slot 6) is that code with VEX
// encoding and BMI bit scans.
PrimitiveStatus HuffmanEncodeSpecSizeS2(int32_t* size);
PrimitiveStatus HuffmanEncodeStateSizeS2(int32_t* size);
PrimitiveStatus BuildHuffmanEncodeSpecS2(const uint8_t* bits, const uint8_t* values,
                                         uint32_t* spec);
PrimitiveStatus ResetHuffmanEncodeStateS2(HuffmanEncodeState* state);
PrimitiveStatus EncodeBaselineBlockS2(const int16_t* coef, uint8_t* dst, int32_t dstLen,
                                      int32_t* pos, int16_t* lastDC, const uint32_t* dcSpec,
                                      const uint32_t* acSpec, HuffmanEncodeState* state,
                                      int32_t flush);
PrimitiveStatus EncodeBaselineBlockSse2(const int16_t* coef, uint8_t* dst, int32_t dstLen,
                                        int32_t* pos, int16_t* lastDC, const uint32_t* dcSpec,
                                        const uint32_t* acSpec, HuffmanEncodeState* state,
                                        int32_t flush);
PrimitiveStatus EncodeBaselineBlockSsse3(const int16_t* coef, uint8_t* dst, int32_t dstLen,
                                         int32_t* pos, int16_t* lastDC, const uint32_t* dcSpec,
                                         const uint32_t* acSpec, HuffmanEncodeState* state,
                                         int32_t flush);
PrimitiveStatus EncodeBaselineBlockAvx2(const int16_t* coef, uint8_t* dst, int32_t dstLen,
                                        int32_t* pos, int16_t* lastDC, const uint32_t* dcSpec,
                                        const uint32_t* acSpec, HuffmanEncodeState* state,
                                        int32_t flush);

// The blocks coders of the same builds.
PrimitiveStatus EncodeBaselineBlocksS2(const int16_t* blocks, int32_t count, uint8_t* dst,
                                       int32_t dstLen, int32_t* pos, BaselineScanCoder* scan,
                                       HuffmanEncodeState* state, int32_t* coded);
PrimitiveStatus EncodeBaselineBlocksSse2(const int16_t* blocks, int32_t count, uint8_t* dst,
                                         int32_t dstLen, int32_t* pos, BaselineScanCoder* scan,
                                         HuffmanEncodeState* state, int32_t* coded);
PrimitiveStatus EncodeBaselineBlocksSsse3(const int16_t* blocks, int32_t count, uint8_t* dst,
                                          int32_t dstLen, int32_t* pos, BaselineScanCoder* scan,
                                          HuffmanEncodeState* state, int32_t* coded);
PrimitiveStatus EncodeBaselineBlocksAvx2(const int16_t* blocks, int32_t count, uint8_t* dst,
                                         int32_t dstLen, int32_t* pos, BaselineScanCoder* scan,
                                         HuffmanEncodeState* state, int32_t* coded);

}  // namespace vorn::jpeg::prim
