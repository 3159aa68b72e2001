// The code tables, the bit writer, the flush and the plain block coder, against bit strings
// written from the standard's code lists.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "jpeg/primitives/huffman/huffman.h"
#include "tests/jpeg/primitives/huffman/huffman_fixture.h"

namespace vorn::jpeg::prim::test {
namespace {

// The code of |symbol| in |spec| as a bit string.
std::string CodeOf(const Spec& spec, uint32_t symbol) {
  const uint32_t e = spec.entry[symbol];
  std::string s;
  for (int32_t i = static_cast<int32_t>(e >> 16) - 1; i >= 0; --i) s += ((e >> i) & 1) ? '1' : '0';
  return s;
}

// What a bit string becomes after |pending| bits: whole bytes with a 0x00 after each 0xFF, and
// the bits left over.
struct Expected {
  std::vector<uint8_t> bytes;
  std::string rest;
};
Expected Pack(const std::string& bits) {
  Expected e;
  size_t i = 0;
  for (; i + 8 <= bits.size(); i += 8) {
    const uint8_t b = static_cast<uint8_t>(std::stoi(bits.substr(i, 8), nullptr, 2));
    e.bytes.push_back(b);
    if (b == 0xFF) e.bytes.push_back(0);
  }
  e.rest = bits.substr(i);
  return e;
}

std::string PendingOf(const HuffmanEncodeState& s) {
  std::string r;
  for (int32_t i = 0; i < s.pendingBits; ++i) r += ((s.accumulator >> (23 - i)) & 1) ? '1' : '0';
  return r;
}

// Bits of a magnitude category: the value, or for a negative one the value less 1, low s bits.
std::string MagnitudeBits(int32_t v, int32_t s) {
  const uint32_t bits = static_cast<uint32_t>(v >= 0 ? v : v - 1);
  std::string r;
  for (int32_t i = s - 1; i >= 0; --i) r += ((bits >> i) & 1) ? '1' : '0';
  return r;
}

TEST(HuffmanSpec, SizesAndNullChecks) {
  int32_t size = 0;
  EXPECT_EQ(HuffmanEncodeSpecSize(&size), StatusOk);
  EXPECT_EQ(size, 1024);
  EXPECT_EQ(HuffmanEncodeStateSize(&size), StatusOk);
  EXPECT_EQ(size, 1048);
  EXPECT_EQ(HuffmanEncodeSpecSize(nullptr), StatusNullPointer);
  EXPECT_EQ(HuffmanEncodeStateSize(nullptr), StatusNullPointer);
  EXPECT_EQ(ResetHuffmanEncodeState(nullptr), StatusNullPointer);
  Spec spec{};
  const StdHuffmanTable& t = StdHuffmanTables[StdDcLuminance];
  EXPECT_EQ(BuildHuffmanEncodeSpec(nullptr, t.values, spec.entry), StatusNullPointer);
  EXPECT_EQ(BuildHuffmanEncodeSpec(t.bits, nullptr, spec.entry), StatusNullPointer);
  EXPECT_EQ(BuildHuffmanEncodeSpec(t.bits, t.values, nullptr), StatusNullPointer);
}

TEST(HuffmanSpec, AnnexKTablesGiveTheStandardCodes) {
  const Spec dcLuma = BuildSpec(StdHuffmanTables[StdDcLuminance]);
  const char* dcLumaCodes[12] = {"00",     "010",     "011",      "100",
                                 "101",    "110",     "1110",     "11110",
                                 "111110", "1111110", "11111110", "111111110"};
  for (uint32_t s = 0; s < 12; ++s) EXPECT_EQ(CodeOf(dcLuma, s), dcLumaCodes[s]) << s;

  const Spec dcChroma = BuildSpec(StdHuffmanTables[StdDcChrominance]);
  const char* dcChromaCodes[12] = {"00",       "01",        "10",         "110",
                                   "1110",     "11110",     "111110",     "1111110",
                                   "11111110", "111111110", "1111111110", "11111111110"};
  for (uint32_t s = 0; s < 12; ++s) EXPECT_EQ(CodeOf(dcChroma, s), dcChromaCodes[s]) << s;

  const Spec acLuma = BuildSpec(StdHuffmanTables[StdAcLuminance]);
  const std::pair<uint32_t, const char*> acLumaCodes[] = {
      {0x00, "1010"},          {0x01, "00"},         {0x02, "01"},
      {0x03, "100"},           {0x04, "1011"},       {0x05, "11010"},
      {0x11, "1100"},          {0x12, "11011"},      {0x21, "11100"},
      {0x06, "1111000"},       {0x07, "11111000"},   {0x08, "1111110110"},
      {0xF0, "11111111001"},   {0x82, "111111111000000"},
      {0x09, "1111111110000010"}, {0x0A, "1111111110000011"},
      {0xFA, "1111111111111110"}};
  for (auto [symbol, code] : acLumaCodes) EXPECT_EQ(CodeOf(acLuma, symbol), code) << symbol;

  const Spec acChroma = BuildSpec(StdHuffmanTables[StdAcChrominance]);
  const std::pair<uint32_t, const char*> acChromaCodes[] = {
      {0x00, "00"},   {0x01, "01"},         {0x02, "100"},
      {0x03, "1010"}, {0x11, "1011"},       {0xF0, "1111111010"},
      {0xFA, "1111111111111110"}};
  for (auto [symbol, code] : acChromaCodes) EXPECT_EQ(CodeOf(acChroma, symbol), code) << symbol;

  // 162 AC symbols: the ten sizes of each of the 16 runs, EOB and ZRL; no other symbol coded.
  for (const Spec* spec : {&acLuma, &acChroma}) {
    int32_t coded = 0;
    for (uint32_t s = 0; s < 256; ++s) {
      const bool expected = s == 0x00 || s == 0xF0 || ((s & 0xF) >= 1 && (s & 0xF) <= 10);
      EXPECT_EQ(spec->entry[s] != 0, expected) << s;
      coded += spec->entry[s] != 0;
    }
    EXPECT_EQ(coded, 162);
  }
}

TEST(HuffmanSpec, BadTablesAreRefusedWithAnEmptySpec) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bits;
  };
  const Case cases[] = {
      {"17 codes of length 4", {0, 0, 0, 17}},
      {"2 codes of length 1 (the all-ones code)", {2}},
      {"257 codes", {0, 0, 0, 0, 0, 0, 0, 0, 255, 2}},
  };
  uint8_t values[256];
  for (int32_t i = 0; i < 256; ++i) values[i] = static_cast<uint8_t>(i);
  for (const Case& c : cases) {
    uint8_t bits[16] = {};
    for (size_t i = 0; i < c.bits.size(); ++i) bits[i] = c.bits[i];
    Spec spec;
    std::memset(&spec, 0x5A, sizeof(spec));
    EXPECT_EQ(BuildHuffmanEncodeSpec(bits, values, spec.entry), StatusBadHuffmanTable) << c.name;
    for (uint32_t e : spec.entry) ASSERT_EQ(e, 0u) << c.name;
  }
  // 256 codes fit: 255 of length 8 fill all but the last 8-bit code, one of length 16 follows.
  uint8_t full[16] = {0, 0, 0, 0, 0, 0, 0, 255, 0, 0, 0, 0, 0, 0, 0, 1};
  Spec spec{};
  EXPECT_EQ(BuildHuffmanEncodeSpec(full, values, spec.entry), StatusOk);
  EXPECT_EQ(spec.entry[255], (16u << 16) | 0xFF00u);

  // No codes at all: an empty spec and success; a symbol listed twice keeps its last code.
  const uint8_t none[16] = {};
  std::memset(&spec, 0x5A, sizeof(spec));
  EXPECT_EQ(BuildHuffmanEncodeSpec(none, values, spec.entry), StatusOk);
  for (uint32_t e : spec.entry) ASSERT_EQ(e, 0u);
  const uint8_t three[16] = {0, 3};
  const uint8_t twice[256] = {7, 9, 7};
  EXPECT_EQ(BuildHuffmanEncodeSpec(three, twice, spec.entry), StatusOk);
  EXPECT_EQ(spec.entry[7], (2u << 16) | 2u);
  EXPECT_EQ(spec.entry[9], (2u << 16) | 1u);
}

TEST(HuffmanPutBits, WritesStuffsAndKeepsTheStateOnOutputFull) {
  uint8_t dst[4] = {0xA5, 0xA5, 0xA5, 0xA5};
  HuffmanEncodeState state = PendingState(3, 0xE0);  // 111
  int32_t pos = 3;
  // Five more 1-bits complete 0xFF at the last byte: it is written, the stuffing is not.
  EXPECT_EQ(HuffmanPutBits(0x1F, 5, dst, 4, &pos, &state), StatusOutputFull);
  EXPECT_EQ(dst[3], 0xFF);
  EXPECT_EQ(pos, 4);
  EXPECT_EQ(state.pendingBits, 3);
  EXPECT_EQ(state.accumulator, PendingState(3, 0xE0).accumulator);
  // n = 0 (and above 16) change nothing.
  pos = 0;
  EXPECT_EQ(HuffmanPutBits(1, 0, dst, 4, &pos, &state), StatusBadHuffmanTable);
  EXPECT_EQ(HuffmanPutBits(1, 17, dst, 4, &pos, &state), StatusBadHuffmanTable);
  EXPECT_EQ(pos, 0);
  // Sixteen bits over three pending give two bytes and three pending; bits above n ignored.
  EXPECT_EQ(HuffmanPutBits(0xFFFF0F0F, 16, dst, 4, &pos, &state), StatusOk);
  EXPECT_EQ(pos, 2);
  EXPECT_EQ(dst[0], 0xE1);
  EXPECT_EQ(dst[1], 0xE1);
  EXPECT_EQ(PendingOf(state), "111");
  EXPECT_EQ(state.accumulator >> 24, 0u);
}

TEST(HuffmanFlush, PadsWithOnesAndZeroesTheState) {
  struct Case {
    int32_t pending;
    uint32_t bits;
    int32_t dstLen;
    PrimitiveStatus status;
    std::vector<uint8_t> written;
  };
  const Case cases[] = {
      {0, 0x00, 8, StatusOk, {}},
      {1, 0x00, 8, StatusOk, {0x7F}},
      {7, 0xFE, 8, StatusOk, {0xFF, 0x00}},
      {5, 0xA8, 8, StatusOk, {0xAF}},
      {7, 0xFE, 1, StatusOutputFull, {0xFF}},  // the stuffing does not fit
  };
  for (const Case& c : cases) {
    for (auto [slot, fn] : BlockBuilds()) {
      std::vector<uint8_t> dst(static_cast<size_t>(c.dstLen), 0xA5);
      HuffmanEncodeState state = PendingState(c.pending, c.bits);
      state.endOfBandRun = 3;
      int32_t pos = 0;
      EXPECT_EQ(fn(nullptr, dst.data(), c.dstLen, &pos, nullptr, nullptr, nullptr, &state, 1),
                c.status);
      EXPECT_EQ(std::vector<uint8_t>(dst.begin(), dst.begin() + pos), c.written)
          << c.pending << " slot " << slot;
      EXPECT_EQ(state.accumulator, 0u);
      EXPECT_EQ(state.pendingBits, 0);
      EXPECT_EQ(state.endOfBandRun, 0);
    }
  }
}

TEST(HuffmanBlock, ArgumentChecksRunInOrderAndWriteNothing) {
  const Spec dc = BuildSpec(StdHuffmanTables[StdDcLuminance]);
  const Spec ac = BuildSpec(StdHuffmanTables[StdAcLuminance]);
  Block block{};
  block.c[0] = 100;
  uint8_t dst[64];
  for (auto [slot, fn] : BlockBuilds()) {
    struct Case {
      const char* name;
      bool block, dst, pos, lastDC, dcSpec, acSpec, state;
      int32_t dstLen, position, pending, flush;
      PrimitiveStatus status;
    };
    const Case cases[] = {
        {"dst before size", true, false, true, true, true, true, true, 0, 0, 0, 0, -8},
        {"size before pos", true, true, false, true, true, true, true, 0, 0, 0, 0, -6},
        {"pos", true, true, false, true, true, true, true, 64, 0, 0, 0, -8},
        {"state before coef", false, true, true, true, true, true, false, 64, 0, 0, 0, -8},
        {"coef", false, true, true, true, true, true, true, 64, 0, 0, 0, -8},
        {"lastDC", true, true, true, false, true, true, true, 64, 0, 0, 0, -8},
        {"dcSpec", true, true, true, true, false, true, true, 64, 0, 0, 0, -8},
        {"acSpec", true, true, true, true, true, false, true, 64, 0, 0, 0, -8},
        {"null before range", true, true, true, true, true, false, true, 64, -1, 0, 0, -8},
        {"pos below 0", true, true, true, true, true, true, true, 64, -1, 0, 0, -5},
        {"pos past the end", true, true, true, true, true, true, true, 64, 65, 0, 0, -5},
        {"8 pending bits", true, true, true, true, true, true, true, 64, 0, 8, 0, -5},
        {"flush ignores the block", false, true, true, false, false, false, true, 64, 0, 3, 1,
         0},
        {"flush checks the state", false, true, true, false, false, false, true, 64, 0, -1, 1,
         -5},
    };
    for (const Case& c : cases) {
      std::memset(dst, 0xA5, sizeof(dst));
      int32_t pos = c.position;
      int16_t lastDC = 7;
      HuffmanEncodeState state = PendingState(c.pending & 7, 0xFF);
      state.pendingBits = c.pending;
      const PrimitiveStatus status =
          fn(c.block ? block.c : nullptr, c.dst ? dst : nullptr, c.dstLen, c.pos ? &pos : nullptr,
             c.lastDC ? &lastDC : nullptr, c.dcSpec ? dc.entry : nullptr,
             c.acSpec ? ac.entry : nullptr, c.state ? &state : nullptr, c.flush);
      EXPECT_EQ(status, c.status) << c.name << " slot " << slot;
      if (status < 0) {
        EXPECT_EQ(pos, c.position) << c.name;
        EXPECT_EQ(lastDC, 7) << c.name;
        EXPECT_EQ(state.pendingBits, c.pending) << c.name;
        for (uint8_t b : dst) ASSERT_EQ(b, 0xA5) << c.name;
      }
    }
  }
}

// One block case: coefficients at zigzag positions, the expected bit string of the block
// (without the pending bits before it).
struct BlockCase {
  const char* name;
  int16_t lastDC;
  std::vector<std::pair<int32_t, int16_t>> zigzag;  // position, value
  PrimitiveStatus status;
  std::string bits;  // for status 0
};

std::vector<BlockCase> StandardCases() {
  const Spec ac = BuildSpec(StdHuffmanTables[StdAcLuminance]);
  const std::string eob = "1010", zrl = "11111111001";
  std::string allOnes = "00";  // DC difference 0
  std::vector<std::pair<int32_t, int16_t>> ones;
  for (int32_t i = 1; i < 64; ++i) {
    ones.push_back({i, 1});
    allOnes += "001";
  }
  return {
      {"all zero", 0, {}, StatusOk, "00" + eob},
      {"DC only", 0, {{0, 5}}, StatusOk, "100" + MagnitudeBits(5, 3) + eob},
      {"negative DC difference", 4, {{0, 1}}, StatusOk, "011" + MagnitudeBits(-3, 2) + eob},
      {"16 zeros then ZRL", 0, {{17, 1}}, StatusOk, "00" + zrl + "00" + "1" + eob},
      {"32 zeros give two ZRL", 0, {{33, -1}}, StatusOk, "00" + zrl + zrl + "00" + "0" + eob},
      {"15 zeros need no ZRL", 0, {{16, 2}}, StatusOk, "00" + CodeOf(ac, 0xF2) + "10" + eob},
      {"47 zeros then the last", 0, {{48, 1}, {63, 1}}, StatusOk,
       "00" + zrl + zrl + CodeOf(ac, 0xF1) + "1" + CodeOf(ac, 0xE1) + "1"},
      {"last coefficient non-zero: no EOB", 0, ones, StatusOk, allOnes},
      {"largest categories", -1024, {{0, 1023}, {1, -1023}, {2, 1023}}, StatusOk,
       "111111110" + MagnitudeBits(2047, 11) + "1111111110000011" + MagnitudeBits(-1023, 10) +
           "1111111110000011" + MagnitudeBits(1023, 10) + eob},
      {"a 0xFF byte", 0, {{0, 511}}, StatusOk, "1111110" + MagnitudeBits(511, 9) + eob},
      {"DC category 16 has no code", -32768, {{0, 32767}}, StatusBadHuffmanTable, ""},
      {"AC of -32768 has no symbol", 0, {{5, -32768}}, StatusBadHuffmanTable, ""},
      {"AC category 11 has no code", 0, {{5, 1024}}, StatusBadHuffmanTable, ""},
  };
}

Block FromZigzag(const std::vector<std::pair<int32_t, int16_t>>& zigzag) {
  Block b{};
  for (auto [p, v] : zigzag) b.c[ZigzagOrder[p]] = v;
  return b;
}

TEST(HuffmanBlock, CasesGiveTheStandardBitsInEveryBuild) {
  const Spec dc = BuildSpec(StdHuffmanTables[StdDcLuminance]);
  const Spec ac = BuildSpec(StdHuffmanTables[StdAcLuminance]);
  for (const BlockCase& c : StandardCases()) {
    const Block block = FromZigzag(c.zigzag);
    for (int32_t pending : {0, 3, 7}) {
      const HuffmanEncodeState start = PendingState(pending, 0xB6);
      const std::string before = PendingOf(start);
      const Expected e = Pack(before + c.bits);
      for (auto [slot, fn] : BlockBuilds()) {
        // Room for just the block (the plain coder below 24 free bytes) and plenty.
        for (int32_t dstLen : {static_cast<int32_t>(e.bytes.size()) + 2, 600}) {
          bool guard = false;
          const Outcome out = Code(fn, block, dstLen, 0, c.lastDC, start, dc, ac, &guard);
          EXPECT_TRUE(guard);
          EXPECT_EQ(out.lastDC, block.c[0]) << c.name;
          EXPECT_EQ(out.status, c.status) << c.name << " slot " << slot;
          if (c.status != StatusOk) continue;
          EXPECT_EQ(out.bytes, e.bytes) << c.name << " slot " << slot << " pending " << pending;
          EXPECT_EQ(PendingOf(out.state), e.rest) << c.name << " slot " << slot;
        }
      }
    }
  }
  // The all-zero block leaves its six bits pending and writes nothing.
  const Outcome out = Code(nullptr, Block{}, 16, 0, 0, HuffmanEncodeState{}, dc, ac);
  EXPECT_EQ(out.pos, 0);
  EXPECT_EQ(out.state.pendingBits, 6);
  EXPECT_EQ(out.state.accumulator, 0x0Au << 18);
}

TEST(HuffmanBlock, OutputFullAtEveryPositionGivesMinus62WithThePrefixWritten) {
  const Spec dc = BuildSpec(StdHuffmanTables[StdDcLuminance]);
  const Spec ac = BuildSpec(StdHuffmanTables[StdAcLuminance]);
  for (const BlockCase& c : StandardCases()) {
    if (c.status != StatusOk) continue;
    const Block block = FromZigzag(c.zigzag);
    const HuffmanEncodeState start = PendingState(7, 0xFE);
    const Outcome full = Code(nullptr, block, 1024, 0, c.lastDC, start, dc, ac);
    ASSERT_EQ(full.status, StatusOk);
    for (auto [slot, fn] : BlockBuilds()) {
      for (int32_t dstLen = 1; dstLen < full.pos; ++dstLen) {
        bool guard = false;
        const Outcome out = Code(fn, block, dstLen, 0, c.lastDC, start, dc, ac, &guard);
        ASSERT_TRUE(guard) << c.name << " slot " << slot << " length " << dstLen;
        EXPECT_EQ(out.status, StatusOutputFull) << c.name << " slot " << slot << " " << dstLen;
        EXPECT_EQ(out.pos, dstLen) << c.name;
        EXPECT_TRUE(std::equal(out.bytes.begin(), out.bytes.end(), full.bytes.begin()))
            << c.name << " slot " << slot << " length " << dstLen;
      }
    }
  }
}

TEST(HuffmanBlock, ASymbolWithoutACodeGivesMinus64) {
  const Spec dc = BuildSpec(StdHuffmanTables[StdDcLuminance]);
  Spec ac = BuildSpec(StdHuffmanTables[StdAcLuminance]);
  struct Case {
    const char* name;
    uint32_t symbol;
    uint32_t entry;
    std::vector<std::pair<int32_t, int16_t>> zigzag;
  };
  const Case cases[] = {
      {"no EOB", kSymbolEob, 0, {{0, 3}}},
      {"no ZRL", kSymbolZrl, 0, {{20, 1}}},
      {"no 0/1", 0x01, 0, {{1, 1}}},
      {"a length beyond 16", 0x01, (20u << 16) | 1u, {{1, 1}}},
      {"a length of 0", 0x01, 5u, {{1, 1}}},
  };
  for (const Case& c : cases) {
    Spec broken = ac;
    broken.entry[c.symbol] = c.entry;
    for (auto [slot, fn] : BlockBuilds()) {
      const Outcome out =
          Code(fn, FromZigzag(c.zigzag), 600, 0, 0, HuffmanEncodeState{}, dc, broken);
      EXPECT_EQ(out.status, StatusBadHuffmanTable) << c.name << " slot " << slot;
      EXPECT_EQ(out, Code(nullptr, FromZigzag(c.zigzag), 600, 0, 0, HuffmanEncodeState{}, dc,
                         broken))
          << c.name;
    }
  }
}

}  // namespace
}  // namespace vorn::jpeg::prim::test
