// The plain builds: table sizes, the code-table builder, the state reset, the bit writer, the
// plain block coder that defines every build's bytes, and the S2 block coder (the fast coder
// with a mask formed one coefficient at a time).
#include <cstring>

#include "jpeg/primitives/huffman/huffman.h"
#include "jpeg/primitives/huffman/huffman_fast_coder.h"
#include "jpeg/primitives/huffman/huffman_internal.h"

namespace vorn::jpeg::prim {
namespace {

constexpr int32_t kMaxSymbols = 256;
// Bits above the pending ones are never kept in a stored accumulator.
constexpr uint32_t kAccumulatorBits = 0xFFFFFF;

// One symbol of |spec|: its code, or -64 when it has none (or a length the writer cannot take).
PrimitiveStatus PutSymbol(uint32_t entry, uint8_t* dst, int32_t dstLen, int32_t* pos,
                          HuffmanEncodeState* state) {
  const int32_t length = static_cast<int32_t>(entry >> 16);
  if (entry == 0 || length > kMaxHuffmanCodeLength) return StatusBadHuffmanTable;
  return HuffmanPutBits(entry & 0xFFFF, length, dst, dstLen, pos, state);
}

// The category of |value| and the bits that follow its symbol: the value itself when positive,
// the value less 1 when negative (its low bits are the ones' complement of the magnitude).
int32_t Category(int32_t value, uint32_t* bits) {
  const uint32_t magnitude = static_cast<uint32_t>(value < 0 ? -value : value);
  *bits = static_cast<uint32_t>(value >= 0 ? value : value - 1);
  return CategoryOf(magnitude);
}

struct PortableMask {
  static uint64_t NonZero(const int16_t* coef) {
    uint64_t mask = 0;
    for (int32_t k = 0; k < 64; ++k) {
      mask |= uint64_t{coef[k] != 0} << huffman_detail::kZigzagPosition.of[k];
    }
    return mask;
  }
};

}  // namespace

PrimitiveStatus HuffmanEncodeSpecSizeS2(int32_t* size) {
  if (size == nullptr) return StatusNullPointer;
  *size = kHuffmanEncodeSpecBytes;
  return StatusOk;
}

PrimitiveStatus HuffmanEncodeStateSizeS2(int32_t* size) {
  if (size == nullptr) return StatusNullPointer;
  *size = kHuffmanEncodeStateBytes;
  return StatusOk;
}

PrimitiveStatus BuildHuffmanEncodeSpecS2(const uint8_t* bits, const uint8_t* values,
                                         uint32_t* spec) {
  if (bits == nullptr || values == nullptr || spec == nullptr) return StatusNullPointer;
  std::memset(spec, 0, kHuffmanEncodeSpecBytes);
  // The size of each code in code order, ended by 0.
  uint8_t sizes[kMaxSymbols + 1];
  int32_t count = 0;
  for (int32_t length = 1; length <= kMaxHuffmanCodeLength; ++length) {
    const int32_t n = bits[length - 1];
    if (count + n > kMaxSymbols) return StatusBadHuffmanTable;
    std::memset(sizes + count, length, static_cast<size_t>(n));
    count += n;
  }
  sizes[count] = 0;
  if (count == 0) return StatusOk;

  uint32_t codes[kMaxSymbols];
  uint32_t code = 0;
  int32_t si = sizes[0];
  int32_t k = 0;
  while (sizes[k] != 0) {
    while (sizes[k] == si) codes[k++] = code++;
    // More codes of this length than it holds.
    if (code >= (1u << si)) return StatusBadHuffmanTable;
    code <<= 1;
    ++si;
  }
  for (int32_t i = 0; i < count; ++i) spec[values[i]] = uint32_t{sizes[i]} << 16 | codes[i];
  return StatusOk;
}

void HuffmanStateReset(HuffmanEncodeState* state) { std::memset(state, 0, sizeof(*state)); }

int32_t EncodeHuffmanDiff(const int16_t* value, uint8_t* dst, int32_t* pos, const uint32_t* spec,
                          HuffmanEncodeState* state) {
  uint32_t bits = 0;
  const int32_t category = Category(*value, &bits);
  const uint32_t entry = spec[category];
  const int32_t length = static_cast<int32_t>(entry >> 16);
  if (entry == 0 || length > kMaxHuffmanCodeLength) return 1;
  // The code and the value bits in one 64-bit accumulator: at most 7 pending, 16 code and 15
  // value bits, left-aligned below bit 40 so that each completed byte is bits 32..39.
  uint64_t acc = state->accumulator << 16;
  int32_t c = state->pendingBits + length;
  acc |= static_cast<uint64_t>(entry & 0xFFFF) << (40 - c);
  const int32_t extra = category & 15;
  if (extra != 0) {
    c += extra;
    acc |= static_cast<uint64_t>(bits & ((1u << extra) - 1)) << (40 - c);
  }
  int32_t p = *pos;
  while (c >= 8) {
    const uint8_t byte = static_cast<uint8_t>(acc >> 32);
    dst[p++] = byte;
    if (byte == 0xFF) dst[p++] = 0;
    acc <<= 8;
    c -= 8;
  }
  *pos = p;
  state->accumulator = (acc >> 16) & kAccumulatorBits;
  state->pendingBits = c;
  return 0;
}

PrimitiveStatus ResetHuffmanEncodeStateS2(HuffmanEncodeState* state) {
  if (state == nullptr) return StatusNullPointer;
  HuffmanStateReset(state);
  return StatusOk;
}

PrimitiveStatus HuffmanPutBits(uint32_t value, int32_t n, uint8_t* dst, int32_t dstLen,
                               int32_t* pos, HuffmanEncodeState* state) {
  if (n <= 0 || n > kMaxHuffmanCodeLength) return StatusBadHuffmanTable;
  int32_t c = n + state->pendingBits;
  uint32_t acc = static_cast<uint32_t>(state->accumulator);
  acc |= (value & ((1u << n) - 1)) << (24 - c);
  while (c >= 8) {
    if (*pos >= dstLen) return StatusOutputFull;
    const uint8_t byte = static_cast<uint8_t>(acc >> 16);
    dst[(*pos)++] = byte;
    if (byte == 0xFF) {
      if (*pos == dstLen) return StatusOutputFull;
      dst[(*pos)++] = 0;
    }
    acc <<= 8;
    c -= 8;
  }
  state->accumulator = acc & kAccumulatorBits;
  state->pendingBits = c;
  return StatusOk;
}

PrimitiveStatus EncodeBaselineBlockPlain(const int16_t* coef, uint8_t* dst, int32_t dstLen,
                                         int32_t* pos, int16_t* lastDC, const uint32_t* dcSpec,
                                         const uint32_t* acSpec, HuffmanEncodeState* state) {
  PrimitiveStatus status;
  uint32_t bits;
  const int32_t diff = int32_t{coef[0]} - int32_t{*lastDC};
  *lastDC = coef[0];
  int32_t s = Category(diff, &bits);
  if ((status = PutSymbol(dcSpec[s], dst, dstLen, pos, state)) != StatusOk) return status;
  if (s > 0 && (status = HuffmanPutBits(bits, s, dst, dstLen, pos, state)) != StatusOk) {
    return status;
  }

  int32_t run = 0;
  for (int32_t i = 1; i < 64; ++i) {
    const int32_t v = coef[ZigzagOrder[i]];
    if (v == 0) {
      ++run;
      continue;
    }
    for (; run > 15; run -= 16) {
      if ((status = PutSymbol(acSpec[kSymbolZrl], dst, dstLen, pos, state)) != StatusOk) {
        return status;
      }
    }
    s = Category(v, &bits);
    // -32768 would be category 16, beyond the symbols of a run.
    if (s > 15) return StatusBadHuffmanTable;
    if ((status = PutSymbol(acSpec[run * 16 + s], dst, dstLen, pos, state)) != StatusOk) {
      return status;
    }
    if ((status = HuffmanPutBits(bits, s, dst, dstLen, pos, state)) != StatusOk) return status;
    run = 0;
  }
  if (run > 0) return PutSymbol(acSpec[kSymbolEob], dst, dstLen, pos, state);
  return StatusOk;
}

PrimitiveStatus EncodeBaselineBlockS2(const int16_t* coef, uint8_t* dst, int32_t dstLen,
                                      int32_t* pos, int16_t* lastDC, const uint32_t* dcSpec,
                                      const uint32_t* acSpec, HuffmanEncodeState* state,
                                      int32_t flush) {
  return EncodeBaselineBlockWith<PortableMask>(coef, dst, dstLen, pos, lastDC, dcSpec, acSpec,
                                               state, flush);
}

bool huffman_detail::EncodeBlockFastS2(const int16_t* coef, uint8_t* dst, int32_t dstLen,
                                      int32_t* pos, int16_t* lastDC, const uint32_t* dcSpec,
                                      const uint32_t* acSpec, HuffmanEncodeState* state) {
  return EncodeBlockFast<PortableMask>(coef, dst, dstLen, pos, lastDC, dcSpec, acSpec, state);
}

PrimitiveStatus EncodeBaselineBlocksS2(const int16_t* blocks, int32_t count, uint8_t* dst,
                                       int32_t dstLen, int32_t* pos, BaselineScanCoder* scan,
                                       HuffmanEncodeState* state, int32_t* coded) {
  return EncodeBaselineBlocksWith<PortableMask>(blocks, count, dst, dstLen, pos, scan, state, coded);
}

}  // namespace vorn::jpeg::prim
