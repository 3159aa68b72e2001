// The progressive block coders and their statistics twins.
#include "jpeg/primitives/huffman/progressive.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "jpeg/primitives/huffman/huffman_optimal.h"

namespace vorn::jpeg::prim {
namespace {

// A table whose code of every symbol is the symbol itself in 8 bits, so the output shows the
// symbols as bytes.
struct ByteCodes {
  uint32_t spec[256];
  ByteCodes() {
    for (uint32_t s = 0; s < 256; ++s) spec[s] = (8u << 16) | s;
  }
};

struct Coder {
  std::vector<uint8_t> out = std::vector<uint8_t>(1 << 16, 0xEE);
  int32_t pos = 0;
  HuffmanEncodeState state{};
  ByteCodes codes;

  PrimitiveStatus AcFirst(const int16_t* block, int32_t ss = 1, int32_t se = 63, int32_t al = 0) {
    return EncodeAcFirstScanBlock(block, out.data(), static_cast<int32_t>(out.size()), &pos, ss,
                                  se, al, codes.spec, &state, 0);
  }
  PrimitiveStatus AcRefine(const int16_t* block, int32_t ss = 1, int32_t se = 63, int32_t al = 0) {
    return EncodeAcRefineScanBlock(block, out.data(), static_cast<int32_t>(out.size()), &pos, ss,
                                   se, al, codes.spec, &state, 0);
  }
  PrimitiveStatus FlushAc() {
    return EncodeAcFirstScanBlock(nullptr, out.data(), static_cast<int32_t>(out.size()), &pos, 0,
                                  0, 0, codes.spec, &state, 1);
  }
  std::vector<uint8_t> Bytes() const { return {out.begin(), out.begin() + pos}; }
};

using Bytes = std::vector<uint8_t>;

TEST(ProgressiveAcFirst, AnEobRunOfFiveIsOneSymbolAndTwoBits) {
  Coder c;
  const int16_t zero[64] = {};
  for (int i = 0; i < 5; ++i) ASSERT_EQ(c.AcFirst(zero), StatusOk);
  EXPECT_EQ(c.pos, 0);
  EXPECT_EQ(c.state.endOfBandRun, 5);
  ASSERT_EQ(c.FlushAc(), StatusOk);
  // 0x20, then 01, then six 1-bits of fill.
  EXPECT_EQ(c.Bytes(), Bytes({0x20, 0x7F}));
  EXPECT_EQ(c.state.endOfBandRun, 0);
  EXPECT_EQ(c.state.pendingBits, 0);
  // A flush with nothing pending writes nothing.
  ASSERT_EQ(c.FlushAc(), StatusOk);
  EXPECT_EQ(c.pos, 2);
}

TEST(ProgressiveAcFirst, TheRunIsWrittenAtOnceWhenItReaches32767) {
  Coder c;
  const int16_t zero[64] = {};
  for (int i = 0; i < 32766; ++i) ASSERT_EQ(c.AcFirst(zero), StatusOk);
  EXPECT_EQ(c.pos, 0);
  EXPECT_EQ(c.state.endOfBandRun, 32766);
  ASSERT_EQ(c.AcFirst(zero), StatusOk);
  EXPECT_EQ(c.state.endOfBandRun, 0);
  // 0xE0 and fourteen 1-bits, pending until the bits are written out.
  EXPECT_EQ(c.state.pendingBits, 22);
  ASSERT_EQ(c.FlushAc(), StatusOk);
  EXPECT_EQ(c.Bytes(), Bytes({0xE0, 0xFF, 0x00, 0xFF, 0x00}));
}

TEST(ProgressiveAcFirst, ZeroRunsSignsAndTheBandEnd) {
  int16_t block[64] = {};
  block[ZigzagOrder[18]] = 1;  // 17 zeros (positions 1..17) before it
  Coder c;
  ASSERT_EQ(c.AcFirst(block), StatusOk);
  EXPECT_EQ(c.state.endOfBandRun, 1);
  ASSERT_EQ(c.FlushAc(), StatusOk);
  // ZRL, run 1 size 1, bit 1, then the EOB of the run of 1 and the fill.
  EXPECT_EQ(c.Bytes(), Bytes({0xF0, 0x11, 0x80, 0x7F}));
  block[ZigzagOrder[18]] = -1;
  Coder n;
  ASSERT_EQ(n.AcFirst(block), StatusOk);
  ASSERT_EQ(n.FlushAc(), StatusOk);
  EXPECT_EQ(n.Bytes(), Bytes({0xF0, 0x11, 0x00, 0x7F}));
  // A band that ends on a non-zero coefficient leaves no end of band.
  Coder e;
  ASSERT_EQ(e.AcFirst(block, 1, 18), StatusOk);
  EXPECT_EQ(e.state.endOfBandRun, 0);
  // The point transform: 3 >> 1 is 1, -1 >> 1 (of the magnitude) is 0.
  int16_t pt[64] = {};
  pt[ZigzagOrder[1]] = 3;
  pt[ZigzagOrder[2]] = -1;
  Coder p;
  ASSERT_EQ(p.AcFirst(pt, 1, 2, 1), StatusOk);
  ASSERT_EQ(p.FlushAc(), StatusOk);
  EXPECT_EQ(p.Bytes(), Bytes({0x01, 0x80, 0x7F}));
}

TEST(ProgressiveAcRefine, AnOldCoefficientBuffersItsBitInTheRun) {
  int16_t block[64] = {};
  block[ZigzagOrder[1]] = 3;  // already non-zero: no symbol, correction bit 1
  Coder c;
  ASSERT_EQ(c.AcRefine(block), StatusOk);
  EXPECT_EQ(c.pos, 0);
  EXPECT_EQ(c.state.endOfBandRun, 1);
  EXPECT_EQ(c.state.correctionBitCount, 1);
  ASSERT_EQ(c.FlushAc(), StatusOk);
  // EOB of the run, then the correction bit and the fill: 00, 1111 1111 (stuffed).
  EXPECT_EQ(c.Bytes(), Bytes({0x00, 0xFF, 0x00}));
  // A newly non-zero coefficient after an old one: symbol, sign, then the buffered bit.
  int16_t mixed[64] = {};
  mixed[ZigzagOrder[1]] = 2;   // old, bit 0
  mixed[ZigzagOrder[3]] = -1;  // new after a run of 1 (position 2; the old one is no zero)
  Coder m;
  ASSERT_EQ(m.AcRefine(mixed, 1, 3), StatusOk);
  ASSERT_EQ(m.FlushAc(), StatusOk);
  // 0x11, sign 0, the buffered bit 0, fill.
  EXPECT_EQ(m.Bytes(), Bytes({0x11, 0x3F}));
}

TEST(ProgressiveAcRefine, CorrectionBitsAreWrittenOutPast937) {
  int16_t block[64] = {};
  block[ZigzagOrder[1]] = 3;
  Coder c;
  for (int i = 0; i < 937; ++i) ASSERT_EQ(c.AcRefine(block), StatusOk);
  EXPECT_EQ(c.pos, 0);
  EXPECT_EQ(c.state.correctionBitCount, 937);
  ASSERT_EQ(c.AcRefine(block), StatusOk);  // 938 bits: written at once
  EXPECT_EQ(c.state.endOfBandRun, 0);
  EXPECT_EQ(c.state.correctionBitCount, 0);
  // Symbol 0x90 (run 938 has 9 bits), its 9 bits, 938 one-bits: 8 + 9 + 938 = 955 bits.
  ASSERT_GE(c.pos, 119);
  EXPECT_EQ(c.out[0], 0x90);
  // Blocks of 63 correction bits each never buffer more than 937 + 63.
  int16_t full[64];
  for (int16_t& v : full) v = 2;
  Coder f;
  int32_t most = 0;
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(f.AcRefine(full), StatusOk);
    most = std::max(most, f.state.correctionBitCount);
  }
  EXPECT_LE(most, 937);
  EXPECT_GT(f.pos, 0);
}

TEST(ProgressiveDc, FirstScanDifferencesAndRefinementBits) {
  int16_t a[64] = {}, b[64] = {};
  a[0] = 100;
  b[0] = 90;
  ByteCodes codes;
  std::vector<uint8_t> out(64, 0xEE);
  int32_t pos = 0;
  int16_t lastDC = 0;
  HuffmanEncodeState state{};
  // Al 1: 50 (category 6, bits 110010), then 45 - 50 = -5 (category 3, bits 010).
  ASSERT_EQ(EncodeDcFirstScanBlock(a, out.data(), 64, &pos, &lastDC, 1, codes.spec, &state, 0), StatusOk);
  ASSERT_EQ(EncodeDcFirstScanBlock(b, out.data(), 64, &pos, &lastDC, 1, codes.spec, &state, 0), StatusOk);
  EXPECT_EQ(lastDC, 45);
  ASSERT_EQ(EncodeDcFirstScanBlock(nullptr, out.data(), 64, &pos, nullptr, 0, nullptr, &state, 1), StatusOk);
  // 00000110 110010 00000011 010, filled with 1-bits.
  EXPECT_EQ(Bytes(out.begin(), out.begin() + pos), Bytes({0x06, 0xC8, 0x0D, 0x7F}));
  // Refinement: bit Al of each DC value.
  std::vector<uint8_t> r(8, 0xEE);
  int32_t rpos = 0;
  HuffmanEncodeState rs{};
  for (int16_t v : {4, 5, 6, 7, -1, -2, 0, 1}) {
    int16_t blk[64] = {};
    blk[0] = v;
    ASSERT_EQ(EncodeDcRefineScanBlock(blk, r.data(), 8, &rpos, 1, &rs, 0), StatusOk);
  }
  // Bit 1 of 4, 5, 6, 7, -1, -2, 0, 1: 0 0 1 1 1 1 0 0.
  EXPECT_EQ(rpos, 1);
  EXPECT_EQ(r[0], 0x3C);
  // A flush with nothing pending writes nothing.
  ASSERT_EQ(EncodeDcRefineScanBlock(nullptr, r.data(), 8, &rpos, 0, &rs, 1), StatusOk);
  EXPECT_EQ(rpos, 1);
}

TEST(ProgressiveCoders, ArgumentChecksInOrder) {
  int16_t block[64] = {};
  uint8_t out[16];
  int32_t pos = 0;
  int16_t lastDC = 0;
  HuffmanEncodeState state{};
  ByteCodes codes;
  uint32_t counts[256] = {};
  EXPECT_EQ(EncodeDcFirstScanBlock(block, nullptr, 16, &pos, &lastDC, 0, codes.spec, &state, 0), StatusNullPointer);
  EXPECT_EQ(EncodeDcFirstScanBlock(block, out, 0, &pos, &lastDC, 0, codes.spec, &state, 0), StatusBadSize);
  EXPECT_EQ(EncodeDcFirstScanBlock(block, out, 16, &pos, &lastDC, 14, codes.spec, &state, 0), StatusBadArgument);
  EXPECT_EQ(EncodeDcFirstScanBlock(block, out, 16, &pos, &lastDC, 13, nullptr, &state, 0), StatusNullPointer);
  EXPECT_EQ(EncodeDcRefineScanBlock(block, out, 16, &pos, 14, &state, 0), StatusBadArgument);
  for (auto fn : {EncodeAcFirstScanBlock, EncodeAcRefineScanBlock}) {
    EXPECT_EQ(fn(block, out, 16, &pos, 0, 63, 0, codes.spec, &state, 0), StatusBadArgument);
    EXPECT_EQ(fn(block, out, 16, &pos, 5, 4, 0, codes.spec, &state, 0), StatusBadArgument);
    EXPECT_EQ(fn(block, out, 16, &pos, 1, 64, 0, codes.spec, &state, 0), StatusBadArgument);
    EXPECT_EQ(fn(block, out, 16, &pos, 1, 63, 14, codes.spec, &state, 0), StatusBadArgument);
    EXPECT_EQ(fn(block, out, 16, &pos, 1, 63, 0, nullptr, &state, 0), StatusNullPointer);
    EXPECT_EQ(fn(nullptr, out, 16, &pos, 1, 63, 0, codes.spec, &state, 0), StatusNullPointer);
    EXPECT_EQ(fn(block, out, 0, &pos, 1, 63, 0, codes.spec, &state, 0), StatusBadSize);
  }
  for (auto fn : {CountAcFirstStatistics, CountAcRefineStatistics}) {
    EXPECT_EQ(fn(block, nullptr, 1, 63, 0, &state, 0), StatusNullPointer);
    EXPECT_EQ(fn(block, counts, 0, 63, 0, &state, 0), StatusBadArgument);
    EXPECT_EQ(fn(block, counts, 1, 63, 14, &state, 0), StatusBadArgument);
  }
  EXPECT_EQ(CountDcFirstStatistics(block, counts, &lastDC, 14), StatusBadArgument);
  EXPECT_EQ(CountDcFirstStatistics(block, counts, nullptr, 0), StatusNullPointer);
  for (uint32_t v : counts) ASSERT_EQ(v, 0u);
  // A symbol without a code.
  uint32_t empty[256] = {};
  block[1] = 5;
  EXPECT_EQ(EncodeAcFirstScanBlock(block, out, 16, &pos, 1, 63, 0, empty, &state, 0), StatusBadHuffmanTable);
}

// The twins count what the coders code: tables built from their counts have a code for every
// symbol of the scan, in every kind of scan, with runs reaching across blocks.
TEST(ProgressiveCoders, TablesFromTheStatisticsCodeEveryScan) {
  uint64_t seed = 7;
  auto next = [&] {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(seed >> 33);
  };
  std::vector<int16_t> blocks(64 * 3000);
  for (size_t i = 0; i < blocks.size(); ++i) {
    const uint32_t r = next();
    const size_t block = i / 64;
    const int zz = static_cast<int>(i % 64);
    // Every fifth block empty beyond DC; others sparse with a few large values.
    if (zz == 0) {
      blocks[i] = static_cast<int16_t>(static_cast<int32_t>(r % 2047) - 1023);
    } else if (block % 5 != 0 && r % 100 < (zz < 12 ? 45u : 8u)) {
      blocks[i] = static_cast<int16_t>(static_cast<int32_t>((r >> 8) % 1023) - 511);
    }
  }
  struct Band {
    int32_t ss, se, ah, al;
  };
  for (const Band band : {Band{1, 5, 0, 2}, Band{6, 63, 0, 2}, Band{1, 63, 2, 1}, Band{1, 63, 1, 0},
                          Band{1, 63, 0, 0}, Band{3, 3, 0, 0}}) {
    SCOPED_TRACE(testing::Message() << band.ss << ".." << band.se << " Ah " << band.ah << " Al " << band.al);
    const bool refine = band.ah != 0;
    uint32_t counts[256] = {};
    HuffmanEncodeState stats{};
    const auto count = refine ? CountAcRefineStatistics : CountAcFirstStatistics;
    for (size_t b = 0; b < 3000; ++b) {
      ASSERT_EQ(count(&blocks[64 * b], counts, band.ss, band.se, band.al, &stats, 0), StatusOk);
    }
    ASSERT_EQ(count(nullptr, counts, 0, 0, 0, &stats, 1), StatusOk);
    uint8_t bits[16], values[256] = {};
    ASSERT_EQ(BuildOptimalHuffmanTable(counts, bits, values), StatusOk);
    uint32_t spec[256];
    ASSERT_EQ(BuildHuffmanEncodeSpec(bits, values, spec), StatusOk);
    // Each counted symbol has a code, and no symbol has a code that was not counted.
    for (int s = 0; s < 256; ++s) ASSERT_EQ(counts[s] != 0, spec[s] != 0) << s;
    std::vector<uint8_t> out(1 << 20);
    int32_t pos = 0;
    HuffmanEncodeState state{};
    const auto code = refine ? EncodeAcRefineScanBlock : EncodeAcFirstScanBlock;
    for (size_t b = 0; b < 3000; ++b) {
      ASSERT_EQ(code(&blocks[64 * b], out.data(), static_cast<int32_t>(out.size()), &pos, band.ss,
                     band.se, band.al, spec, &state, 0),
                StatusOk)
          << b;
    }
    ASSERT_EQ(code(nullptr, out.data(), static_cast<int32_t>(out.size()), &pos, 0, 0, 0, spec, &state, 1), StatusOk);
    EXPECT_GT(pos, 0);
  }
  // DC first scans.
  uint32_t counts[256] = {};
  int16_t lastDC = 0;
  for (size_t b = 0; b < 3000; ++b) ASSERT_EQ(CountDcFirstStatistics(&blocks[64 * b], counts, &lastDC, 1), StatusOk);
  uint8_t bits[16], values[256] = {};
  ASSERT_EQ(BuildOptimalHuffmanTable(counts, bits, values), StatusOk);
  uint32_t spec[256];
  ASSERT_EQ(BuildHuffmanEncodeSpec(bits, values, spec), StatusOk);
  for (int s = 0; s < 256; ++s) ASSERT_EQ(counts[s] != 0, spec[s] != 0) << s;
  std::vector<uint8_t> out(1 << 16);
  int32_t pos = 0;
  HuffmanEncodeState state{};
  lastDC = 0;
  for (size_t b = 0; b < 3000; ++b) {
    ASSERT_EQ(EncodeDcFirstScanBlock(&blocks[64 * b], out.data(), static_cast<int32_t>(out.size()),
                                     &pos, &lastDC, 1, spec, &state, 0),
              StatusOk);
  }
}

}  // namespace
}  // namespace vorn::jpeg::prim
