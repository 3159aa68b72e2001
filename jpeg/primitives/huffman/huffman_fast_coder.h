// The fast block coder, compiled into each build's file with that file's flags (everything
// here has internal linkage, so no build's copy can stand in for another's).
//
// Bits gather right-aligned in a 64-bit buffer; a symbol's code and its magnitude bits go in
// as one value. When the buffer overflows, its eight bytes go out with one store when none of
// them is 0xFF, else byte by byte with a stuffed 0x00 after each 0xFF. The non-zero AC
// coefficients come as one 64-bit mask in zigzag order (the build's Mask::NonZero), so zero
// runs cost a bit scan rather than a step per coefficient.
//
// The coder commits position, state and last DC only after the whole block; it gives up
// (returns false, nothing committed) when fewer than kEmitRoom bytes are free at a store or a
// symbol has no usable code, and the plain coder then codes the block.
#pragma once

#include <cstdint>
#include <cstring>

#include "jpeg/primitives/huffman/huffman.h"
#include "jpeg/primitives/huffman/huffman_internal.h"

namespace vorn::jpeg::prim {
namespace {

// Eight bytes, each possibly followed by a stuffed 0x00.
constexpr int32_t kEmitRoom = 16;

// The top n bytes of a 64-bit word, n = 0..8.
constexpr uint64_t kTopBytes[9] = {0,
                                   0xFF00000000000000ull,
                                   0xFFFF000000000000ull,
                                   0xFFFFFF0000000000ull,
                                   0xFFFFFFFF00000000ull,
                                   0xFFFFFFFFFF000000ull,
                                   0xFFFFFFFFFFFF0000ull,
                                   0xFFFFFFFFFFFFFF00ull,
                                   0xFFFFFFFFFFFFFFFFull};

// This file's own copy of the zigzag order, so the loop addresses it directly.
constexpr int32_t kZigzag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};
static_assert([] {
  for (int32_t i = 0; i < 64; ++i) {
    if (kZigzag[i] != huffman_detail::kZigzagNatural[i]) return false;
  }
  return true;
}());

struct FastBits {
  uint64_t buffer;   // pending bits in the low (64 - freeBits) bits
  int32_t freeBits;  // 64 - pending
  uint8_t* out;
  uint8_t* limit;
};

inline bool HasFfByte(uint64_t w) {
  return (w & 0x8080808080808080ull & ~(w + 0x0101010101010101ull)) != 0;
}

// Eight bytes with stuffing, one at a time: rare, so kept out of the coding loop.
__attribute__((noinline, cold)) uint8_t* EmitStuffed(uint8_t* out, uint64_t w, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    const uint8_t byte = static_cast<uint8_t>(w >> (56 - 8 * i));
    *out++ = byte;
    if (byte == 0xFF) *out++ = 0;
  }
  return out;
}

template <bool kChecked>
inline bool EmitWord(FastBits& b, uint64_t w) {
  if (kChecked && b.limit - b.out < kEmitRoom) return false;
  if (__builtin_expect(HasFfByte(w), 0)) {
    b.out = EmitStuffed(b.out, w, 8);
    return true;
  }
  const uint64_t be = __builtin_bswap64(w);
  std::memcpy(b.out, &be, 8);
  b.out += 8;
  return true;
}

// value < 2^size, 1 <= size <= 32.
template <bool kChecked>
inline bool PutFast(FastBits& b, uint64_t value, int32_t size) {
  b.freeBits -= size;
  if (b.freeBits >= 0) {
    b.buffer = (b.buffer << size) | value;
    return true;
  }
  // Fill the buffer to exactly 64 bits, send it, keep the value's low bits (the high ones
  // already sent are shifted out by later puts).
  const uint64_t full = (b.buffer << (size + b.freeBits)) | (value >> -b.freeBits);
  if (!EmitWord<kChecked>(b, full)) return false;
  b.freeBits += 64;
  b.buffer = value;
  return true;
}

// The code of |entry| followed by |bits| (already masked to |extra| bits), as one value; false
// for an entry without a usable code.
inline bool SymbolValue(uint32_t entry, uint32_t bits, int32_t extra, uint64_t* value,
                        int32_t* size) {
  const uint32_t length = entry >> 16;
  if (length - 1 >= static_cast<uint32_t>(kMaxHuffmanCodeLength)) return false;
  *value = (static_cast<uint64_t>(entry & ((1u << length) - 1)) << extra) | bits;
  *size = static_cast<int32_t>(length) + extra;
  return true;
}

// kChecked: test the room before every store; without it the caller has made sure of
// kBlockWorstCaseRoom free bytes.
// Kept out of line: alone in its function the loop keeps its mask, position and bit buffer in
// registers.
template <typename Mask, bool kChecked>
__attribute__((noinline)) bool EncodeBlockFastIn(
    const int16_t* coef, uint8_t* dst, int32_t dstLen, int32_t* pos, int16_t* lastDC,
    const uint32_t* dcSpec, const uint32_t* acSpec, HuffmanEncodeState* state) {
  const int32_t pending = state->pendingBits;
  FastBits b;
  b.buffer = (static_cast<uint32_t>(state->accumulator) >> (24 - pending)) & ((1u << pending) - 1);
  b.freeBits = 64 - pending;
  b.out = dst + *pos;
  b.limit = dst + dstLen;

  uint64_t value;
  int32_t size;
  {
    const int32_t diff = int32_t{coef[0]} - int32_t{*lastDC};
    const int32_t sign = diff >> 31;
    const uint32_t magnitude = static_cast<uint32_t>((diff ^ sign) - sign);
    const int32_t s = magnitude != 0 ? 32 - __builtin_clz(magnitude) : 0;
    const uint32_t bits = static_cast<uint32_t>(diff + sign) & ((1u << s) - 1);
    if (!SymbolValue(dcSpec[s], bits, s, &value, &size) || !PutFast<kChecked>(b, value, size)) {
      return false;
    }
  }

  // The non-zero AC coefficients by zigzag position; each step takes the lowest one and clears
  // it, so the mask's only loop-carried work is one bit clear. |next| is the first position not
  // yet coded.
  uint64_t ahead = Mask::NonZero(coef) & ~uint64_t{1};
  int32_t next = 1;
  while (ahead != 0) {
    const int32_t at = __builtin_ctzll(ahead);
    ahead &= ahead - 1;
    int32_t run = at - next;
    next = at + 1;
    const int32_t v = coef[kZigzag[at]];
    for (; run > 15; run -= 16) {
      if (!SymbolValue(acSpec[kSymbolZrl], 0, 0, &value, &size) || !PutFast<kChecked>(b, value, size)) {
        return false;
      }
    }
    const int32_t sign = v >> 31;
    const uint32_t magnitude = static_cast<uint32_t>((v ^ sign) - sign);
    const int32_t s = 32 - __builtin_clz(magnitude);
    if (s > 15) return false;  // category 16 has no symbol
    const uint32_t bits = static_cast<uint32_t>(v + sign) & ((1u << s) - 1);
    if (!SymbolValue(acSpec[run * 16 + s], bits, s, &value, &size) ||
        !PutFast<kChecked>(b, value, size)) {
      return false;
    }
  }
  // No EOB after a non-zero last coefficient.
  if (next != 64) {
    if (!SymbolValue(acSpec[kSymbolEob], 0, 0, &value, &size) || !PutFast<kChecked>(b, value, size)) {
      return false;
    }
  }

  // Whole bytes out, with one store when none is 0xFF (the bytes stored beyond them lie past
  // the final position); fewer than 8 bits stay pending.
  const int32_t pendingAfter = 64 - b.freeBits;
  if (kChecked && b.limit - b.out < kEmitRoom) return false;
  const int32_t whole = pendingAfter >> 3;
  const uint64_t aligned = pendingAfter == 0 ? 0 : b.buffer << (64 - pendingAfter);
  if (!HasFfByte(aligned & kTopBytes[whole])) {
    const uint64_t be = __builtin_bswap64(aligned);
    std::memcpy(b.out, &be, 8);
    b.out += whole;
  } else {
    b.out = EmitStuffed(b.out, aligned, whole);
  }
  const int32_t left = pendingAfter & 7;
  const uint32_t rest = static_cast<uint32_t>(b.buffer) & ((1u << left) - 1);
  state->accumulator = uint64_t{rest << (24 - left)};
  state->pendingBits = left;
  *pos = static_cast<int32_t>(b.out - dst);
  *lastDC = coef[0];
  return true;
}

// Returned by CheckBlockArguments when the block is to be coded.
constexpr PrimitiveStatus kCodeTheBlock = 1;

// The checks of EncodeBaselineBlock in their order; with flush set also the flush. Returns
// kCodeTheBlock, or the status the call ends with.
inline PrimitiveStatus CheckBlockArguments(const int16_t* coef, uint8_t* dst, int32_t dstLen,
                                           int32_t* pos, int16_t* lastDC,
                                           const uint32_t* dcSpec, const uint32_t* acSpec,
                                           HuffmanEncodeState* state, int32_t flush) {
  if (dst == nullptr) return StatusNullPointer;
  if (dstLen <= 0) return StatusBadSize;
  if (pos == nullptr || state == nullptr) return StatusNullPointer;
  if (flush == 0 && (coef == nullptr || lastDC == nullptr || dcSpec == nullptr ||
                     acSpec == nullptr)) {
    return StatusNullPointer;
  }
  if (*pos < 0 || *pos > dstLen) return StatusBadArgument;
  if (static_cast<uint32_t>(state->pendingBits) > 7) return StatusBadArgument;
  if (flush == 0) return kCodeTheBlock;
  // Complete the pending bits to a byte with 1-bits; with none pending nothing is written.
  const PrimitiveStatus status = HuffmanPutBits(0x7F, 7, dst, dstLen, pos, state);
  HuffmanStateReset(state);
  return status;
}

// The most a block can take: 7 pending bits, a DC code with 16 magnitude bits, 63 AC codes
// with 15, three ZRL and an EOB, every byte stuffed, and the 8-byte store of the last bytes.
constexpr int32_t kBlockWorstCaseRoom =
    2 * ((7 + (16 + 16) + 63 * (16 + 15) + 3 * 16 + 16 + 7) / 8) + 8 + kEmitRoom;

template <typename Mask>
__attribute__((always_inline)) inline bool EncodeBlockFast(
    const int16_t* coef, uint8_t* dst, int32_t dstLen, int32_t* pos, int16_t* lastDC,
    const uint32_t* dcSpec, const uint32_t* acSpec, HuffmanEncodeState* state) {
  const int32_t room = dstLen - *pos;
  if (room >= kBlockWorstCaseRoom) {
    return EncodeBlockFastIn<Mask, false>(coef, dst, dstLen, pos, lastDC, dcSpec, acSpec, state);
  }
  if (room < kFastCoderMinFree) return false;
  return EncodeBlockFastIn<Mask, true>(coef, dst, dstLen, pos, lastDC, dcSpec, acSpec, state);
}

// The whole entry of a build: checks (and flush), the fast coder, the plain coder.
template <typename Mask>
PrimitiveStatus EncodeBaselineBlockWith(const int16_t* coef, uint8_t* dst, int32_t dstLen,
                                        int32_t* pos, int16_t* lastDC, const uint32_t* dcSpec,
                                        const uint32_t* acSpec, HuffmanEncodeState* state,
                                        int32_t flush) {
  const PrimitiveStatus checked = CheckBlockArguments(
      coef, dst, dstLen, pos, lastDC, dcSpec, acSpec, state, flush);
  if (checked != kCodeTheBlock) return checked;
  if (EncodeBlockFast<Mask>(coef, dst, dstLen, pos, lastDC, dcSpec, acSpec, state)) {
    return StatusOk;
  }
  return EncodeBaselineBlockPlain(coef, dst, dstLen, pos, lastDC, dcSpec, acSpec, state);
}


// Before a block: up to 63 pending bits carried from the blocks before it, the padding byte
// and the marker of a restart, then the block's worst case in the blocks coder, whose
// symbols without a code put 32 bits more than a code (DC and 63 AC symbols of 48 bits, three
// ZRL and an EOB of 32), every byte stuffed, the 8-byte store of the last bytes and the room
// of an 8-byte store.
static_assert(kBaselineBlocksMinFree >=
              2 * ((63 + 64 * 48 + 4 * 32 + 7) / 8) + 2 + 2 + 8 + kEmitRoom);

// Whether every entry of |spec| either has no code (length 0) or holds a code of 1 to 16 bits
// that fits its length: then a symbol's code and length go into the bit buffer as they stand
// and only a missing code needs a look at the symbol, which the row coder folds into one test
// per block.
inline bool SpecWellFormed(const uint32_t* spec) {
  uint32_t bad = 0;
  for (int32_t i = 0; i < kHuffmanSpecEntries; ++i) {
    const uint32_t length = spec[i] >> 16;
    const uint32_t shift = length > 16 ? 16 : length;
    bad |= static_cast<uint32_t>(length > 16) |
           static_cast<uint32_t>(length != 0 && ((spec[i] & 0xFFFF) >> shift) != 0);
  }
  return bad == 0;
}

// The coder's own form of a component's tables (BaselineScanCoder::dcCodes and acCodes): each
// entry holds its code already shifted left by its category, ready for the magnitude bits, and
// the length of both together, so a symbol costs one load, one OR and one shift. An entry
// without a code gets a length of 32 more than its category and no bits, so the OR of a
// block's entries tells whether it met one (bit kNoCodeFlag), and the bits it puts are taken
// back with the block. AC symbols sit at category x 16 + run: EOB at 0, ZRL at 15, category
// 16 (no symbol) always without a code.
constexpr uint64_t kNoCodeFlag = uint64_t{32} << 32;
constexpr int32_t kAcZrlIndex = 15;
inline uint64_t CodeEntry(uint32_t spec, int32_t category) {
  const uint32_t length = spec >> 16;
  if (length == 0) return static_cast<uint64_t>(32 + category) << 32;
  return (static_cast<uint64_t>(length + category) << 32) |
         (static_cast<uint64_t>(spec & 0xFFFF) << category);
}
inline void PrepareCodes(const uint32_t* dcSpec, const uint32_t* acSpec, uint64_t* dc,
                         uint64_t* ac) {
  for (int32_t s = 0; s < 17; ++s) dc[s] = CodeEntry(dcSpec[s], s);
  for (int32_t s = 0; s < 17; ++s) {
    for (int32_t run = 0; run < 16; ++run) {
      ac[s * 16 + run] = CodeEntry(s < 16 ? acSpec[run * 16 + s] : 0, s);
    }
  }
}

// The index of the lowest set bit of a non-zero mask; a 32-bit build takes it from the mask's
// halves, where the 64-bit count would be a library call.
inline uintptr_t LowestSetBit(uint64_t mask) {
#if defined(__x86_64__)
  return static_cast<uintptr_t>(__builtin_ctzll(mask));
#else
  const uint32_t low = static_cast<uint32_t>(mask);
  return low != 0 ? static_cast<uintptr_t>(__builtin_ctz(low))
                  : 32 + static_cast<uintptr_t>(__builtin_ctz(static_cast<uint32_t>(mask >> 32)));
#endif
}

// One block into the bit buffer from the coder's own tables. Returns non-zero when the block
// met a symbol without a code or an AC coefficient of category 16: the bits put then are not
// the block's, and the caller takes the block back.
template <typename Mask>
__attribute__((always_inline)) inline uint64_t PutBlockBits(FastBits& b, const int16_t* coef,
                                                            int32_t lastDc, const uint64_t* dc,
                                                            const uint64_t* ac) {
  uint64_t missing;
  {
    const int32_t diff = int32_t{coef[0]} - lastDc;
    const int32_t sign = diff >> 31;
    const uint32_t magnitude = static_cast<uint32_t>((diff ^ sign) - sign);
    const int32_t s = magnitude != 0 ? 32 - __builtin_clz(magnitude) : 0;
    const uint32_t bits = static_cast<uint32_t>(diff + sign) & ((1u << s) - 1);
    const uint64_t entry = dc[s];
    missing = entry;
    PutFast<false>(b, static_cast<uint32_t>(entry) | bits, static_cast<int32_t>(entry >> 32));
  }
  uint64_t ahead = Mask::NonZero(coef) & ~uint64_t{1};
  // Positions and runs in the register width, so no index needs widening in the loop.
  uintptr_t next = 1;
  while (ahead != 0) {
    const uintptr_t at = LowestSetBit(ahead);
    ahead &= ahead - 1;
    uintptr_t run = at - next;
    next = at + 1;
    const int32_t v = coef[kZigzag[at]];
    if (__builtin_expect(run > 15, 0)) {
      const uint64_t zrl = ac[kAcZrlIndex];
      missing |= zrl;
      for (; run > 15; run -= 16) {
        PutFast<false>(b, static_cast<uint32_t>(zrl), static_cast<int32_t>(zrl >> 32));
      }
    }
    const int32_t sign = v >> 31;
    const uint32_t magnitude = static_cast<uint32_t>((v ^ sign) - sign);
    // Counted in the register width, so the category needs no widening as an index.
    const uintptr_t s = static_cast<uintptr_t>(8 * sizeof(unsigned long)) -
                        static_cast<uintptr_t>(__builtin_clzl(magnitude));
    const uint32_t bits = static_cast<uint32_t>(v + sign) & ((1u << s) - 1);
    // Category 16 lands on an entry without a code.
    const uint64_t entry = ac[s * 16 + run];
    missing |= entry;
    PutFast<false>(b, static_cast<uint32_t>(entry) | bits, static_cast<int32_t>(entry >> 32));
  }
  if (next != 64) {
    const uint64_t eob = ac[0];
    missing |= eob;
    PutFast<false>(b, static_cast<uint32_t>(eob), static_cast<int32_t>(eob >> 32));
  }
  return missing & kNoCodeFlag;
}

// The whole bytes of the bit buffer out (one store when none is 0xFF; the bytes stored beyond
// them lie past the new position), fewer than 8 bits left pending.
inline void EmitWholeBytes(FastBits& b) {
  const int32_t pending = 64 - b.freeBits;
  const int32_t whole = pending >> 3;
  if (whole == 0) return;
  const uint64_t aligned = b.buffer << (64 - pending);
  if (!HasFfByte(aligned & kTopBytes[whole])) {
    const uint64_t be = __builtin_bswap64(aligned);
    std::memcpy(b.out, &be, 8);
    b.out += whole;
  } else {
    b.out = EmitStuffed(b.out, aligned, whole);
  }
  const int32_t left = pending & 7;
  b.buffer &= (uint64_t{1} << left) - 1;
  b.freeBits = 64 - left;
}

inline void LoadBits(FastBits& b, uint8_t* dst, int32_t dstLen, int32_t pos,
                     const HuffmanEncodeState* state) {
  const int32_t pending = state->pendingBits;
  b.buffer = (static_cast<uint32_t>(state->accumulator) >> (24 - pending)) & ((1u << pending) - 1);
  b.freeBits = 64 - pending;
  b.out = dst + pos;
  b.limit = dst + dstLen;
}

// Whole bytes out, then the pending bits and the position into the caller's state.
inline void StoreBits(FastBits& b, uint8_t* dst, int32_t* pos, HuffmanEncodeState* state) {
  EmitWholeBytes(b);
  const int32_t left = 64 - b.freeBits;
  // Bits above the pending ones may be left from a put that overflowed the buffer.
  const uint32_t rest = static_cast<uint32_t>(b.buffer) & ((1u << left) - 1);
  state->accumulator = uint64_t{rest << (24 - left)};
  state->pendingBits = left;
  *pos = static_cast<int32_t>(b.out - dst);
}

// The checks of EncodeBaselineBlocks in their order: kCodeTheBlock, or the status the call
// ends with.
inline PrimitiveStatus CheckBlocksArguments(const int16_t* blocks, int32_t count, uint8_t* dst,
                                            int32_t dstLen, int32_t* pos,
                                            const BaselineScanCoder* scan,
                                            const HuffmanEncodeState* state, int32_t* coded) {
  if (dst == nullptr) return StatusNullPointer;
  if (dstLen <= 0) return StatusBadSize;
  if (pos == nullptr || scan == nullptr || state == nullptr || coded == nullptr) {
    return StatusNullPointer;
  }
  *coded = 0;
  if (count < 0 || *pos < 0 || *pos > dstLen || static_cast<uint32_t>(state->pendingBits) > 7) {
    return StatusBadArgument;
  }
  if (blocks == nullptr && count > 0) return StatusNullPointer;
  const int32_t perMcu = scan->blocksPerMcu;
  if (perMcu < 1 || perMcu > kMaxBlocksPerMcu || scan->blockInMcu < 0 ||
      scan->blockInMcu >= perMcu || scan->restartInterval < 0 ||
      scan->restartInterval > 0xFFFF || scan->restartsToGo < 0 ||
      scan->restartsToGo > scan->restartInterval ||
      static_cast<uint32_t>(scan->nextRestartNumber) > 7 ||
      static_cast<uint32_t>(scan->tablesChecked) > 2) {
    return StatusBadArgument;
  }
  for (int32_t i = 0; i < perMcu; ++i) {
    const uint32_t c = scan->blockComponent[i];
    if (c >= static_cast<uint32_t>(kMaxScanComponents)) return StatusBadArgument;
    if (scan->dcSpec[c] == nullptr || scan->acSpec[c] == nullptr) return StatusNullPointer;
  }
  return kCodeTheBlock;
}

// Blocks of an interleaved baseline scan, restart markers between their MCUs, in one call that
// keeps the bit buffer in registers from block to block: the tables are checked once a scan,
// the restart marker goes out in line and only the coder's pending bits and position change
// at it (the rest of a baseline state stays zero). A block that meets a symbol without a code
// is handed to the plain coder from the position and state before it, so the call ends with
// exactly the bytes and the status that coding the blocks one by one gives.
template <typename Mask>
__attribute__((noinline)) PrimitiveStatus EncodeBaselineBlocksWith(
    const int16_t* blocks, int32_t count, uint8_t* dst, int32_t dstLen, int32_t* pos,
    BaselineScanCoder* scan, HuffmanEncodeState* state, int32_t* coded) {
  const PrimitiveStatus checked =
      CheckBlocksArguments(blocks, count, dst, dstLen, pos, scan, state, coded);
  if (checked != kCodeTheBlock) return checked;
  const int32_t perMcu = scan->blocksPerMcu;
  if (scan->tablesChecked == 0) {
    bool wellFormed = true;
    uint32_t seen = 0;
    for (int32_t i = 0; i < perMcu && wellFormed; ++i) {
      const uint32_t c = scan->blockComponent[i];
      if (seen & (1u << c)) continue;
      seen |= 1u << c;
      wellFormed = SpecWellFormed(scan->dcSpec[c]) && SpecWellFormed(scan->acSpec[c]);
      if (wellFormed) PrepareCodes(scan->dcSpec[c], scan->acSpec[c], scan->dcCodes[c], scan->acCodes[c]);
    }
    scan->tablesChecked = wellFormed ? 1 : 2;
  }
  const bool wellFormed = scan->tablesChecked == 1;
  int32_t lastDc[kMaxScanComponents];
  for (int32_t c = 0; c < kMaxScanComponents; ++c) lastDc[c] = scan->lastDc[c];
  int32_t inMcu = scan->blockInMcu;
  int32_t toGo = scan->restartsToGo;
  int32_t number = scan->nextRestartNumber;
  const int32_t interval = scan->restartInterval;

  FastBits b;
  LoadBits(b, dst, dstLen, *pos, state);
  PrimitiveStatus status = StatusOk;
  int32_t i = 0;
  for (; i < count; ++i) {
    if (b.limit - b.out < kBaselineBlocksMinFree) break;
    if (inMcu == 0 && interval != 0 && toGo == 0) {
      // The pending bits completed to a byte with 1-bits, then the marker.
      PutFast<false>(b, 0x7F, 7);
      b.buffer >>= (64 - b.freeBits) & 7;
      b.freeBits += (64 - b.freeBits) & 7;
      EmitWholeBytes(b);
      b.out[0] = 0xFF;
      b.out[1] = static_cast<uint8_t>(0xD0 + number);
      b.out += 2;
      number = (number + 1) & 7;
      for (int32_t& dc : lastDc) dc = 0;
      toGo = interval;
    }
    const int16_t* coef = blocks + static_cast<ptrdiff_t>(i) * 64;
    const uint32_t c = scan->blockComponent[inMcu];
    const uint32_t* dcSpec = scan->dcSpec[c];
    const uint32_t* acSpec = scan->acSpec[c];
    const FastBits before = b;
    if (!wellFormed ||
        PutBlockBits<Mask>(b, coef, lastDc[c], scan->dcCodes[c], scan->acCodes[c]) != 0) {
      // Coded on its own, from the state before it, as the block coder codes it.
      b = before;
      StoreBits(b, dst, pos, state);
      int16_t dc = static_cast<int16_t>(lastDc[c]);
      if (!EncodeBlockFast<Mask>(coef, dst, dstLen, pos, &dc, dcSpec, acSpec, state)) {
        status = EncodeBaselineBlockPlain(coef, dst, dstLen, pos, &dc, dcSpec, acSpec, state);
      }
      lastDc[c] = dc;
      LoadBits(b, dst, dstLen, *pos, state);
      if (status != StatusOk) break;
    } else {
      lastDc[c] = coef[0];
    }
    if (++inMcu == perMcu) {
      inMcu = 0;
      if (interval != 0) toGo = (toGo != 0 ? toGo : interval) - 1;
    }
  }
  StoreBits(b, dst, pos, state);
  for (int32_t c = 0; c < kMaxScanComponents; ++c) scan->lastDc[c] = static_cast<int16_t>(lastDc[c]);
  scan->blockInMcu = inMcu;
  scan->restartsToGo = toGo;
  scan->nextRestartNumber = number;
  *coded = i;
  return status;
}

}  // namespace
}  // namespace vorn::jpeg::prim
