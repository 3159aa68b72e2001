// The portable builds of the table optimisation primitives and their dispatch.
#include "jpeg/primitives/huffman/huffman_optimal.h"

#include <cstring>

#include "jpeg/primitives/huffman/huffman.h"

namespace vorn::jpeg::prim {
namespace {

constexpr int32_t kSymbols = 256;
constexpr int32_t kReserved = 256;        // the extra symbol that keeps the all-ones code free
constexpr int64_t kNoFrequency = 1000000000;  // the search's start; larger counts never merge
constexpr int32_t kMaxLengthBeforeLimit = 32;
constexpr int32_t kMaxCodeLength = 16;

int32_t Category(int32_t magnitude) { return CategoryOf(static_cast<uint32_t>(magnitude)); }

// The symbol with the smallest non-zero frequency other than |skip|, the highest among equals;
// -1 when there is none.
int32_t Smallest(const int64_t* freq, int32_t skip) {
  int64_t best = kNoFrequency;
  int32_t symbol = -1;
  for (int32_t i = 0; i <= kReserved; ++i) {
    if (i != skip && freq[i] != 0 && freq[i] <= best) {
      best = freq[i];
      symbol = i;
    }
  }
  return symbol;
}

}  // namespace

uint32_t* FillWords32Kernel(uint32_t value, uint32_t* dst, int32_t count) {
  for (int32_t i = 0; i < count; ++i) std::memcpy(dst + i, &value, sizeof value);
  return dst;
}

PrimitiveStatus CountBlockStatisticsS2(const int16_t* block, uint32_t* dcCounts,
                                       uint32_t* acCounts, int16_t* lastDC) {
  if (block == nullptr || dcCounts == nullptr || acCounts == nullptr || lastDC == nullptr) {
    return StatusNullPointer;
  }
  const int32_t d = int32_t{block[0]} - *lastDC;
  *lastDC = block[0];
  const int32_t dc = Category(d < 0 ? -d : d);
  if (dc > 15) return StatusCategoryTooLarge;
  ++dcCounts[dc];
  int32_t run = 0;
  for (int32_t k = 1; k < 64; ++k) {
    const int32_t v = block[ZigzagOrder[k]];
    if (v == 0) {
      ++run;
      continue;
    }
    for (; run > 15; run -= 16) ++acCounts[0xF0];
    const int32_t c = Category(v < 0 ? -v : v);
    if (c > 14) return StatusCategoryTooLarge;
    ++acCounts[(run << 4) + c];
    run = 0;
  }
  if (run > 0) ++acCounts[0x00];
  return StatusOk;
}

PrimitiveStatus BuildOptimalHuffmanTableS2(const uint32_t* counts, uint8_t* bits,
                                           uint8_t* huffval) {
  if (counts == nullptr || bits == nullptr || huffval == nullptr) return StatusNullPointer;
  // 64-bit frequencies: merged sums of large counts cannot wrap.
  int64_t freq[kSymbols + 1];
  int32_t codesize[kSymbols + 1];
  int32_t others[kSymbols + 1];
  int32_t lengths[kMaxLengthBeforeLimit + 1] = {};
  bool any = false;
  for (int32_t i = 0; i < kSymbols; ++i) {
    freq[i] = counts[i];
    any |= counts[i] != 0;
  }
  // Without a counted symbol there is no code to shorten below: refuse the table.
  if (!any) return StatusBadHuffmanTable;
  freq[kReserved] = 1;
  std::memset(codesize, 0, sizeof codesize);
  FillWords32Kernel(0xFFFFFFFFu, reinterpret_cast<uint32_t*>(others), kSymbols + 1);

  for (;;) {
    const int32_t c1 = Smallest(freq, -1);
    const int32_t c2 = c1 < 0 ? -1 : Smallest(freq, c1);
    if (c2 < 0) break;
    freq[c1] += freq[c2];
    freq[c2] = 0;
    int32_t s = c1;
    ++codesize[s];
    while (others[s] >= 0) {
      s = others[s];
      ++codesize[s];
    }
    others[s] = c2;
    s = c2;
    ++codesize[s];
    while (others[s] >= 0) {
      s = others[s];
      ++codesize[s];
    }
  }

  for (int32_t i = 0; i <= kReserved; ++i) {
    if (codesize[i] == 0) {
      // A counted symbol left out (its count too large to be merged) would have no code.
      if (i < kSymbols && counts[i] != 0) return StatusBadHuffmanTable;
      continue;
    }
    if (codesize[i] > kMaxLengthBeforeLimit) return StatusBadHuffmanTable;
    ++lengths[codesize[i]];
  }
  // Annex K.2, figure K.3: move codes longer than 16 bits up the tree.
  for (int32_t i = kMaxLengthBeforeLimit; i > kMaxCodeLength; --i) {
    while (lengths[i] > 0) {
      int32_t j = i - 2;
      while (lengths[j] == 0) --j;
      lengths[i] -= 2;
      lengths[i - 1] += 1;
      lengths[j + 1] += 2;
      lengths[j] -= 1;
    }
  }
  // Remove the reserved symbol's code, the longest one.
  int32_t i = kMaxCodeLength;
  while (i > 0 && lengths[i] == 0) --i;
  if (i == 0) return StatusBadHuffmanTable;
  lengths[i] -= 1;

  for (int32_t l = 1; l <= kMaxCodeLength; ++l) bits[l - 1] = static_cast<uint8_t>(lengths[l]);
  int32_t n = 0;
  for (int32_t l = 1; l <= kMaxLengthBeforeLimit; ++l) {
    for (int32_t s = 0; s < kSymbols; ++s) {
      if (codesize[s] == l) huffval[n++] = static_cast<uint8_t>(s);
    }
  }
  return StatusOk;
}

constinit const DispatchTable<CountBlockStatisticsFn> kCountBlockStatisticsTable =
    ShareLower<CountBlockStatisticsFn>({{CountBlockStatisticsS2}});
constinit const DispatchTable<BuildOptimalHuffmanTableFn> kBuildOptimalHuffmanTableTable =
    ShareLower<BuildOptimalHuffmanTableFn>({{BuildOptimalHuffmanTableS2}});

PrimitiveStatus CountBlockStatistics(const int16_t* block, uint32_t* dcCounts, uint32_t* acCounts,
                                     int16_t* lastDC) {
  return kCountBlockStatisticsTable.Current()(block, dcCounts, acCounts, lastDC);
}

PrimitiveStatus BuildOptimalHuffmanTable(const uint32_t* counts, uint8_t* bits, uint8_t* huffval) {
  return kBuildOptimalHuffmanTableTable.Current()(counts, bits, huffval);
}

}  // namespace vorn::jpeg::prim
