// Symbol counts of blocks and the optimal tables built from them.
#include "jpeg/primitives/huffman/huffman_optimal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "jpeg/primitives/huffman/huffman.h"

namespace vorn::jpeg::prim {
namespace {

struct Table {
  PrimitiveStatus status;
  std::vector<int> bits;      // 16 lengths
  std::vector<int> values;    // HUFFVAL, as many as the bits count
};

Table Build(const std::vector<uint32_t>& counts) {
  uint8_t bits[16], values[256];
  std::memset(bits, 0xEE, sizeof bits);
  std::memset(values, 0xEE, sizeof values);
  Table t{BuildOptimalHuffmanTable(counts.data(), bits, values), {}, {}};
  int total = 0;
  for (int i = 0; i < 16; ++i) {
    t.bits.push_back(bits[i]);
    total += bits[i];
  }
  if (t.status == StatusOk) t.values.assign(values, values + total);
  return t;
}

std::vector<int> Bits(std::initializer_list<std::pair<int, int>> lengths) {
  std::vector<int> bits(16, 0);
  for (auto [length, n] : lengths) bits[length - 1] = n;
  return bits;
}

TEST(BuildOptimalHuffmanTable, SmallCasesAndTies) {
  std::vector<uint32_t> counts(256, 0);
  // One symbol: a 1-bit code; the reserved symbol's code is the one removed.
  counts[42] = 9;
  Table t = Build(counts);
  ASSERT_EQ(t.status, StatusOk);
  EXPECT_EQ(t.bits, Bits({{1, 1}}));
  EXPECT_EQ(t.values, std::vector<int>({42}));
  // 5 and 5: the tie goes to the higher symbol, merged with the reserved one first.
  counts.assign(256, 0);
  counts[3] = 5;
  counts[7] = 5;
  t = Build(counts);
  ASSERT_EQ(t.status, StatusOk);
  EXPECT_EQ(t.bits, Bits({{1, 1}, {2, 1}}));
  EXPECT_EQ(t.values, std::vector<int>({3, 7}));
  // Four equal counts: the higher symbols get the longer codes, each length sorted.
  counts.assign(256, 0);
  for (int s : {10, 20, 30, 40}) counts[s] = 4;
  t = Build(counts);
  ASSERT_EQ(t.status, StatusOk);
  EXPECT_EQ(t.bits, Bits({{2, 3}, {3, 1}}));
  EXPECT_EQ(t.values, std::vector<int>({10, 20, 30, 40}));
}

TEST(BuildOptimalHuffmanTable, RefusesWhatHasNoTable) {
  const std::vector<uint32_t> zero(256, 0);
  uint8_t bits[16], values[256];
  std::memset(bits, 0xEE, sizeof bits);
  // All counts zero: no code to shorten; refused, nothing written.
  EXPECT_EQ(BuildOptimalHuffmanTable(zero.data(), bits, values), StatusBadHuffmanTable);
  EXPECT_EQ(bits[0], 0xEE);
  EXPECT_EQ(BuildOptimalHuffmanTable(nullptr, bits, values), StatusNullPointer);
  EXPECT_EQ(BuildOptimalHuffmanTable(zero.data(), nullptr, values), StatusNullPointer);
  EXPECT_EQ(BuildOptimalHuffmanTable(zero.data(), bits, nullptr), StatusNullPointer);
  // A count too large to take part would leave its symbol without a code.
  std::vector<uint32_t> huge(256, 0);
  huge[1] = 3;
  huge[2] = 2000000000u;
  EXPECT_EQ(BuildOptimalHuffmanTable(huge.data(), bits, values), StatusBadHuffmanTable);
}

// Counts that would give codes far longer than 16 bits (a Fibonacci series) are limited to
// 16, every counted symbol keeps a code, and the table builds into a valid code.
TEST(BuildOptimalHuffmanTable, LengthsLimitedTo16AndEverySymbolCoded) {
  std::vector<uint32_t> counts(256, 0);
  uint32_t a = 1, b = 1;
  for (int s = 0; s < 40; ++s) {
    counts[s * 5] = a;
    const uint32_t next = a + b;
    a = b;
    b = next;
  }
  for (int s = 200; s < 256; ++s) counts[s] = 1;
  const Table t = Build(counts);
  ASSERT_EQ(t.status, StatusOk);
  int total = 0;
  for (int n : t.bits) total += n;
  EXPECT_EQ(total, 40 + 56);
  uint8_t bits[16], values[256] = {};
  for (int i = 0; i < 16; ++i) bits[i] = static_cast<uint8_t>(t.bits[i]);
  for (size_t i = 0; i < t.values.size(); ++i) values[i] = static_cast<uint8_t>(t.values[i]);
  uint32_t spec[256];
  ASSERT_EQ(BuildHuffmanEncodeSpec(bits, values, spec), StatusOk);
  for (int s = 0; s < 256; ++s) {
    if (counts[s] != 0) {
      ASSERT_NE(spec[s], 0u) << s;
      ASSERT_LE(spec[s] >> 16, 16u) << s;
      // No code is all ones.
      const uint32_t length = spec[s] >> 16;
      ASSERT_NE(spec[s] & 0xFFFF, (1u << length) - 1) << s;
    }
  }
}

TEST(CountBlockStatistics, CountsTheSymbolsTheCoderEmits) {
  int16_t block[64] = {};
  uint32_t dc[256] = {}, ac[256] = {};
  int16_t lastDC = 10;
  block[0] = 13;                  // d = 3: category 2
  block[ZigzagOrder[1]] = -1;     // run 0, size 1
  block[ZigzagOrder[19]] = 100;   // 17 zeros: ZRL, then run 1 size 7
  ASSERT_EQ(CountBlockStatistics(block, dc, ac, &lastDC), StatusOk);
  EXPECT_EQ(lastDC, 13);
  EXPECT_EQ(dc[2], 1u);
  EXPECT_EQ(ac[0x01], 1u);
  EXPECT_EQ(ac[0xF0], 1u);
  EXPECT_EQ(ac[0x17], 1u);
  EXPECT_EQ(ac[0x00], 1u);  // EOB after position 19
  // A block ending in a non-zero coefficient has no EOB.
  block[ZigzagOrder[63]] = 2;
  ASSERT_EQ(CountBlockStatistics(block, dc, ac, &lastDC), StatusOk);
  EXPECT_EQ(dc[0], 1u);
  EXPECT_EQ(ac[0x00], 1u);
  // 62 - 19 = 43 zeros before position 63: two ZRL and run 11, size 2.
  EXPECT_EQ(ac[0xF0], 4u);
  EXPECT_EQ(ac[0xB2], 1u);

  // A DC difference of category 16 is refused after lastDC is taken.
  int16_t big[64] = {};
  big[0] = 32767;
  lastDC = -32768;
  EXPECT_EQ(CountBlockStatistics(big, dc, ac, &lastDC), StatusCategoryTooLarge);
  EXPECT_EQ(lastDC, 32767);
  EXPECT_EQ(CountBlockStatistics(nullptr, dc, ac, &lastDC), StatusNullPointer);
  EXPECT_EQ(CountBlockStatistics(block, nullptr, ac, &lastDC), StatusNullPointer);
  EXPECT_EQ(CountBlockStatistics(block, dc, nullptr, &lastDC), StatusNullPointer);
  EXPECT_EQ(CountBlockStatistics(block, dc, ac, nullptr), StatusNullPointer);
}

// Tables built from the counts of random blocks code those blocks, and the coded length is
// exactly what the counts and code lengths predict.
TEST(CountBlockStatistics, TablesFromTheCountsCodeTheBlocksToThePredictedLength) {
  uint64_t seed = 99;
  auto next = [&] {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(seed >> 33);
  };
  std::vector<int16_t> blocks(64 * 500);
  for (size_t i = 0; i < blocks.size(); ++i) {
    const bool dcTerm = i % 64 == 0;
    const uint32_t r = next();
    if (dcTerm) {
      blocks[i] = static_cast<int16_t>(static_cast<int32_t>(r % 2047) - 1023);
    } else if (r % 100 < 20 + (i % 64 < 10 ? 40 : 0)) {
      blocks[i] = static_cast<int16_t>(static_cast<int32_t>((r >> 8) % 801) - 400);
    }
  }
  uint32_t dc[256] = {}, ac[256] = {};
  int16_t lastDC = 0;
  for (size_t b = 0; b < 500; ++b) {
    ASSERT_EQ(CountBlockStatistics(&blocks[64 * b], dc, ac, &lastDC), StatusOk);
  }
  uint8_t dcBits[16], dcValues[256] = {}, acBits[16], acValues[256] = {};
  ASSERT_EQ(BuildOptimalHuffmanTable(dc, dcBits, dcValues), StatusOk);
  ASSERT_EQ(BuildOptimalHuffmanTable(ac, acBits, acValues), StatusOk);
  uint32_t dcSpec[256], acSpec[256];
  ASSERT_EQ(BuildHuffmanEncodeSpec(dcBits, dcValues, dcSpec), StatusOk);
  ASSERT_EQ(BuildHuffmanEncodeSpec(acBits, acValues, acSpec), StatusOk);
  uint64_t predicted = 0;
  for (int s = 0; s < 256; ++s) {
    predicted += uint64_t{dc[s]} * ((dcSpec[s] >> 16) + s);         // code + s magnitude bits
    predicted += uint64_t{ac[s]} * ((acSpec[s] >> 16) + (s & 15));  // code + size bits
  }
  std::vector<uint8_t> out(1 << 20);
  int32_t pos = 0;
  int16_t coderDC = 0;
  HuffmanEncodeState state{};
  ASSERT_EQ(ResetHuffmanEncodeState(&state), StatusOk);
  for (size_t b = 0; b < 500; ++b) {
    ASSERT_EQ(EncodeBaselineBlock(&blocks[64 * b], out.data(), static_cast<int32_t>(out.size()),
                                  &pos, &coderDC, dcSpec, acSpec, &state, 0),
              StatusOk)
        << b;
  }
  const uint64_t pending = static_cast<uint64_t>(state.pendingBits);
  // Every byte written holds 8 bits of the code, except the 0x00 after each 0xFF.
  uint64_t stuffed = 0;
  for (int32_t i = 0; i + 1 < pos; ++i) stuffed += out[i] == 0xFF && out[i + 1] == 0x00;
  EXPECT_EQ((static_cast<uint64_t>(pos) - stuffed) * 8 + pending, predicted);
}

}  // namespace
}  // namespace vorn::jpeg::prim
