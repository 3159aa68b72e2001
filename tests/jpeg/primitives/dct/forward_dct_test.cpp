#include "jpeg/primitives/dct/forward_dct.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace vorn::jpeg::prim {
namespace {

// A fixed pseudo-random sequence, the same on every platform.
struct Rng {
  uint64_t s;
  uint64_t Next() {
    s += 0x9E3779B97F4A7C15ull;
    uint64_t z = s;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
};

uint64_t Fnv1a(uint64_t h, const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001B3ull;
  return h;
}
constexpr uint64_t kFnvBasis = 0xCBF29CE484222325ull;

// The JPEG forward DCT in double precision, straight from its definition.
void ReferenceDct(const double in[64], double out[64]) {
  static const auto basis = [] {
    std::vector<double> c(64);
    const double pi = std::acos(-1.0);
    for (int k = 0; k < 8; ++k) {
      for (int x = 0; x < 8; ++x) c[8 * k + x] = std::cos((2 * x + 1) * k * pi / 16);
    }
    return c;
  }();
  for (int u = 0; u < 8; ++u) {
    for (int v = 0; v < 8; ++v) {
      double s = 0;
      for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) s += in[8 * y + x] * basis[8 * u + y] * basis[8 * v + x];
      }
      const double cu = u == 0 ? std::sqrt(0.5) : 1.0, cv = v == 0 ? std::sqrt(0.5) : 1.0;
      out[8 * u + v] = 0.25 * cu * cv * s;
    }
  }
}

struct Slot {
  int32_t index;
  ForwardDctQuant8x8Fn fn;
  ForwardDctQuant8x8From16Fn fn16;
};

// Every table entry this machine can run, the portable build first.
std::vector<Slot> RunnableSlots() {
  std::vector<Slot> slots;
  for (int32_t s : kEntriesReferenceFirst) {
    if (BuildRunsHere(s)) {
      slots.push_back({s, kForwardDctQuant8x8Table.slot[s], kForwardDctQuant8x8From16Table.slot[s]});
    }
  }
  return slots;
}

std::vector<uint16_t> Flat(uint16_t m) { return std::vector<uint16_t>(64, m); }

// A block of one value, with an arbitrary multiplier in the DC position.
std::vector<int16_t> QuantiseFlat(const Slot& slot, uint8_t value, uint16_t dcMultiplier) {
  std::vector<uint8_t> src(64, value);
  std::vector<uint16_t> table = Flat(32768);
  table[0] = dcMultiplier;
  std::vector<int16_t> dst(64, 0x5555);
  EXPECT_EQ(slot.fn(src.data(), 8, dst.data(), table.data()), StatusOk);
  return dst;
}

TEST(ForwardDctQuant8x8, FlatBlocksGiveOnlyTheDcTerm) {
  for (const Slot& slot : RunnableSlots()) {
    SCOPED_TRACE(slot.index);
    std::vector<int16_t> out = QuantiseFlat(slot, 200, 32768);
    EXPECT_EQ(out[0], 576);
    for (int i = 1; i < 64; ++i) ASSERT_EQ(out[i], 0) << i;
    out = QuantiseFlat(slot, 128, 32768);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(out[i], 0) << i;
    out = QuantiseFlat(slot, 0, 32768);
    EXPECT_EQ(out[0], -1024);
  }
}

TEST(ForwardDctQuant8x8, QuantisationRoundsHalfToEven) {
  // A flat block of 128 + c gives the coefficient 8c; 8c x multiplier / 2^15 lands on halves.
  struct Case {
    uint8_t value;
    uint16_t multiplier;
    int16_t expected;
  };
  const Case cases[] = {
      {131, 2048, 2},    // 24 x 2048 = 1.5 x 2^15
      {133, 2048, 2},    // 40 x 2048 = 2.5 x 2^15
      {125, 2048, -2},   // -1.5 x 2^15
      {123, 2048, -2},   // -2.5 x 2^15
      {135, 2048, 4},    // 3.5 x 2^15
      {129, 2048, 0},    // 0.5 x 2^15
      {127, 2048, 0},    // -0.5 x 2^15
      {130, 2049, 1},    // just above 0.5 x 2^15 x ... = 16 x 2049 > 2^15
      {255, 65535, 2032},  // 1016 x 65535: an unsigned multiplier above 32767
      {0, 40000, -1250},   // -1024 x 40000 / 2^15
  };
  for (const Slot& slot : RunnableSlots()) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << "slot " << slot.index << " value " << int{c.value});
      EXPECT_EQ(QuantiseFlat(slot, c.value, c.multiplier)[0], c.expected);
    }
  }
}

TEST(ForwardDctQuant8x8, MulScaled16RoundsAndSaturates) {
  const uint16_t table[] = {49152, 16384, 49152, 65535, 65535, 32768, 1, 3};
  const int16_t src[] = {1, 5, -1, 32767, -32768, -32768, 16384, -5461};
  int16_t dst[8];
  MulScaled16(table, src, dst, 8, 15);
  const int16_t expected[] = {2, 2, -2, 32767, -32768, -32768, 0, 0};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(dst[i], expected[i]) << i;
}

TEST(ForwardDctQuant8x8, ArgumentChecksRunInOrderAndWriteNothing) {
  uint8_t src[64] = {};
  uint16_t table[64] = {};
  struct Case {
    const uint8_t* src;
    int32_t step;
    bool dst;
    const uint16_t* table;
    PrimitiveStatus expected;
  };
  const Case cases[] = {
      {nullptr, 8, true, table, StatusNullPointer}, {src, 8, false, table, StatusNullPointer},
      {nullptr, 0, true, nullptr, StatusNullPointer}, {src, 0, true, nullptr, StatusBadStep},
      {src, -8, true, table, StatusBadStep},         {src, 8, true, nullptr, StatusNullPointer},
  };
  for (const Slot& slot : RunnableSlots()) {
    for (const Case& c : cases) {
      int16_t dst[64];
      std::memset(dst, 0x5A, sizeof dst);
      EXPECT_EQ(slot.fn(c.src, c.step, c.dst ? dst : nullptr, c.table), c.expected) << slot.index;
      for (int16_t v : dst) ASSERT_EQ(v, 0x5A5A);
    }
  }
}

// The blocks that push the transform hardest, then random ones.
std::vector<std::vector<uint8_t>> TestBlocks(int randomCount) {
  std::vector<std::vector<uint8_t>> blocks;
  auto add = [&](auto f) {
    std::vector<uint8_t> b(64);
    for (int i = 0; i < 64; ++i) b[i] = f(i / 8, i % 8);
    blocks.push_back(b);
  };
  add([](int, int) { return uint8_t{0}; });
  add([](int, int) { return uint8_t{255}; });
  add([](int r, int c) { return uint8_t((r + c) % 2 ? 255 : 0); });
  add([](int r, int c) { return uint8_t((r + c) % 2 ? 0 : 255); });
  add([](int r, int) { return uint8_t(r % 2 ? 255 : 0); });
  add([](int, int c) { return uint8_t(c % 2 ? 255 : 0); });
  add([](int r, int c) { return uint8_t(r < 4 && c < 4 ? 255 : 0); });
  add([](int r, int c) { return uint8_t((r ^ c) & 4 ? 255 : 0); });
  add([](int r, int c) { return uint8_t(r * 32 + c * 4); });
  Rng rng{42};
  for (int n = 0; n < randomCount; ++n) {
    std::vector<uint8_t> b(64);
    const bool extremes = n % 3 == 0;
    for (auto& v : b) v = extremes ? (rng.Below(2) ? 255 : 0) : static_cast<uint8_t>(rng.Below(256));
    blocks.push_back(b);
  }
  return blocks;
}

TEST(ForwardDctQuant8x8, WithinOneOfTheDoublePrecisionDct) {
  // With every quantiser 1 the output is the integer transform itself.
  const std::vector<uint16_t> unit = Flat(32768);
  double worst = 0;
  for (const auto& block : TestBlocks(3000)) {
    double in[64], exact[64];
    for (int i = 0; i < 64; ++i) in[i] = block[i] - 128.0;
    ReferenceDct(in, exact);
    int16_t out[64];
    ASSERT_EQ(ForwardDctQuant8x8S2(block.data(), 8, out, unit.data()), StatusOk);
    for (int i = 0; i < 64; ++i) worst = std::max(worst, std::fabs(out[i] - exact[i]));
  }
  // The contract is +-1; rounding alone accounts for 0.5 and these blocks reach 0.68, so a
  // drift in the constants shows long before the contract breaks.
  EXPECT_LE(worst, 0.75);
}

TEST(ForwardDctQuant8x8, EveryBuildEqualsThePlainBuild) {
  Rng rng{7};
  const std::vector<Slot> slots = RunnableSlots();
  std::vector<uint8_t> image(8 * 200 + 64);
  std::vector<int16_t> outBuffer(64 + 8);
  for (const auto& block : TestBlocks(4000)) {
    // A random step and unaligned source and destination.
    const int32_t step = 8 + static_cast<int32_t>(rng.Below(150));
    uint8_t* src = image.data() + rng.Below(32);
    for (int r = 0; r < 8; ++r) std::memcpy(src + r * step, &block[8 * r], 8);
    std::vector<uint16_t> table(64);
    for (auto& t : table) t = rng.Below(4) ? static_cast<uint16_t>(1 + rng.Below(65535)) : 32768;
    int16_t expected[64];
    ASSERT_EQ(ForwardDctQuant8x8S2(src, step, expected, table.data()), StatusOk);
    for (const Slot& slot : slots) {
      auto* dst = reinterpret_cast<int16_t*>(reinterpret_cast<uint8_t*>(outBuffer.data()) + 1 + rng.Below(8));
      int16_t got[64];
      ASSERT_EQ(slot.fn(src, step, dst, table.data()), StatusOk);
      std::memcpy(got, dst, sizeof got);
      ASSERT_EQ(std::memcmp(got, expected, sizeof got), 0) << "slot " << slot.index;
    }
  }
}

// Two blocks side by side in every build equal two calls of the plain single-block build, for
// random, flat and extreme blocks under random tables, steps and misalignments.
TEST(ForwardDctQuant8x8, PairEqualsTwoSingleBlocksInEveryBuild) {
  Rng rng{11};
  const std::vector<std::vector<uint8_t>> blocks = TestBlocks(1200);
  std::vector<uint8_t> image(8 * 200 + 64);
  std::vector<int16_t> outBuffer(2 * 64 + 16);
  for (size_t k = 0; k + 1 < blocks.size(); k += 2) {
    const int32_t step = 16 + static_cast<int32_t>(rng.Below(150));
    uint8_t* src = image.data() + rng.Below(32);
    for (int r = 0; r < 8; ++r) {
      std::memcpy(src + r * step, &blocks[k][8 * r], 8);
      std::memcpy(src + r * step + 8, &blocks[k + 1][8 * r], 8);
    }
    std::vector<uint16_t> table(64);
    for (auto& t : table) t = rng.Below(4) ? static_cast<uint16_t>(1 + rng.Below(65535)) : 32768;
    int16_t expected[2][64];
    ASSERT_EQ(ForwardDctQuant8x8S2(src, step, expected[0], table.data()), StatusOk);
    ASSERT_EQ(ForwardDctQuant8x8S2(src + 8, step, expected[1], table.data()), StatusOk);
    for (int32_t entry : kEntriesReferenceFirst) {
      if (!BuildRunsHere(entry)) continue;
      // The second block goes first in memory, so a swapped pair shows.
      auto* base = reinterpret_cast<int16_t*>(reinterpret_cast<uint8_t*>(outBuffer.data()) + 1 +
                                              rng.Below(8));
      int16_t* dst1 = base;
      int16_t* dst0 = base + 64;
      ASSERT_EQ(kForwardDctQuant8x8PairTable.slot[entry](src, step, dst0, dst1, table.data()),
                StatusOk);
      int16_t got[2][64];
      std::memcpy(got[0], dst0, sizeof got[0]);
      std::memcpy(got[1], dst1, sizeof got[1]);
      ASSERT_EQ(std::memcmp(got, expected, sizeof got), 0) << "entry " << entry;
    }
  }
}

TEST(ForwardDctQuant8x8, PairArgumentChecksRunInOrderAndWriteNothing) {
  std::vector<uint8_t> src(16 * 8, 77);
  const std::vector<uint16_t> table = Flat(32768);
  struct Case {
    bool srcNull, dst0Null, dst1Null;
    int32_t step;
    bool tableNull;
    PrimitiveStatus expected;
  };
  const Case cases[] = {{true, false, false, 0, true, StatusNullPointer},
                        {false, true, false, 0, true, StatusNullPointer},
                        {false, false, true, 0, true, StatusNullPointer},
                        {false, false, false, 0, true, StatusBadStep},
                        {false, false, false, -16, false, StatusBadStep},
                        {false, false, false, 16, true, StatusNullPointer}};
  for (int32_t entry : kEntriesReferenceFirst) {
    if (!BuildRunsHere(entry)) continue;
    for (const Case& c : cases) {
      std::vector<int16_t> out0(64, 0x5555), out1(64, 0x5555);
      EXPECT_EQ(kForwardDctQuant8x8PairTable.slot[entry](
                    c.srcNull ? nullptr : src.data(), c.step, c.dst0Null ? nullptr : out0.data(),
                    c.dst1Null ? nullptr : out1.data(), c.tableNull ? nullptr : table.data()),
                c.expected)
          << "entry " << entry;
      EXPECT_EQ(out0, std::vector<int16_t>(64, 0x5555));
      EXPECT_EQ(out1, std::vector<int16_t>(64, 0x5555));
    }
  }
}

// The multiplier that gives |c| x m a remainder of exactly 0x7FFF below 2^15 and an odd
// quotient: the half-to-even rule must round up there, in every lane of every build.
uint16_t RemainderEdgeMultiplier(int32_t magnitude) {
  uint32_t inverse = 1;  // of the odd magnitude, modulo 2^15 (Newton steps)
  for (int i = 0; i < 5; ++i) inverse = inverse * (2 - static_cast<uint32_t>(magnitude) * inverse);
  uint32_t m = (0x7FFFu * inverse) & 0x7FFF;
  if (((static_cast<uint32_t>(magnitude) * m) >> 15) % 2 == 0) m += 0x8000;  // quotient + |c|
  return static_cast<uint16_t>(m);
}

TEST(ForwardDctQuant8x8, RemainderOf0x7FFFWithAnOddQuotientRoundsUpInEveryBuild) {
  int32_t edges = 0;
  for (const auto& block : TestBlocks(300)) {
    int16_t coef[64];
    LevelShiftBlock8(block.data(), 8, coef);
    ForwardDct8x8(coef);
    std::vector<uint16_t> table = Flat(32768);
    int16_t want[64];
    for (int i = 0; i < 64; ++i) {
      const int32_t magnitude = coef[i] < 0 ? -coef[i] : coef[i];
      want[i] = coef[i];
      if (magnitude % 2 == 0) continue;
      table[i] = RemainderEdgeMultiplier(magnitude);
      const uint32_t product = static_cast<uint32_t>(magnitude) * table[i];
      ASSERT_EQ(product & 0x7FFF, 0x7FFFu);
      ASSERT_EQ((product >> 15) & 1, 1u);
      const int32_t q = static_cast<int32_t>(product >> 15) + 1;
      want[i] = static_cast<int16_t>(coef[i] < 0 ? -q : q);
      ++edges;
    }
    for (const Slot& slot : RunnableSlots()) {
      int16_t got[64];
      ASSERT_EQ(slot.fn(block.data(), 8, got, table.data()), StatusOk);
      ASSERT_EQ(std::memcmp(got, want, sizeof got), 0) << "slot " << slot.index;
    }
    int16_t plain[64];
    ASSERT_EQ(ForwardDctQuant8x8S2(block.data(), 8, plain, table.data()), StatusOk);
    ASSERT_EQ(std::memcmp(plain, want, sizeof plain), 0);
  }
  EXPECT_GT(edges, 1000);
}

TEST(ForwardDctQuant8x8, OutputIsPinned) {
  // Any change to the fixed-point arithmetic or the rounding shows in this hash.
  Rng rng{2024};
  uint64_t h = kFnvBasis;
  for (const auto& block : TestBlocks(500)) {
    std::vector<uint16_t> table(64);
    for (auto& t : table) t = static_cast<uint16_t>(1 + rng.Below(65535));
    for (const std::vector<uint16_t>& tab : {Flat(32768), table}) {
      int16_t out[64];
      ASSERT_EQ(ForwardDctQuant8x8S2(block.data(), 8, out, tab.data()), StatusOk);
      h = Fnv1a(h, out, sizeof out);
    }
  }
  EXPECT_EQ(h, 0x455c69b00ecd5500ull) << std::hex << h;
}

// ---- the 16-bit path ----

std::vector<int16_t> Random12BitBlock(Rng& rng, int kind) {
  std::vector<int16_t> b(64);
  for (auto& v : b) {
    switch (kind) {
      case 0: v = static_cast<int16_t>(rng.Below(4096)); break;
      case 1: v = static_cast<int16_t>(rng.Below(2) ? 4095 : 0); break;
      default: v = static_cast<int16_t>(rng.Next());  // beyond 12 bits: saturating outputs
    }
  }
  return b;
}

TEST(ForwardDctQuant8x8From16, FlatBlocks) {
  const std::vector<float> unit(64, 1.0f);
  for (const Slot& slot : RunnableSlots()) {
    SCOPED_TRACE(slot.index);
    for (int c : {0, 1, -7, 100, 2047, -2048}) {
      std::vector<int16_t> src(64, static_cast<int16_t>(2048 + c));
      int16_t out[64];
      ASSERT_EQ(slot.fn16(src.data(), 16, out, unit.data()), StatusOk);
      EXPECT_EQ(out[0], 8 * c);
      for (int i = 1; i < 64; ++i) ASSERT_EQ(out[i], 0) << i;
    }
  }
}

TEST(ForwardDctQuant8x8From16, ArgumentChecksRunInOrderAndWriteNothing) {
  int16_t src[64] = {};
  float table[64] = {};
  for (const Slot& slot : RunnableSlots()) {
    int16_t dst[64];
    std::memset(dst, 0x5A, sizeof dst);
    EXPECT_EQ(slot.fn16(nullptr, 16, dst, table), StatusNullPointer);
    EXPECT_EQ(slot.fn16(src, 16, nullptr, table), StatusNullPointer);
    EXPECT_EQ(slot.fn16(src, 0, dst, nullptr), StatusBadStep);
    EXPECT_EQ(slot.fn16(src, -16, dst, table), StatusBadStep);
    EXPECT_EQ(slot.fn16(src, 16, dst, nullptr), StatusNullPointer);
    for (int16_t v : dst) ASSERT_EQ(v, 0x5A5A);
  }
}

TEST(ForwardDctQuant8x8From16, CloseToTheDoublePrecisionDct) {
  Rng rng{99};
  const std::vector<float> unit(64, 1.0f);
  double worst = 0;
  for (int n = 0; n < 2000; ++n) {
    const std::vector<int16_t> block = Random12BitBlock(rng, n % 2);
    double in[64], exact[64];
    for (int i = 0; i < 64; ++i) in[i] = block[i] - 2048.0;
    ReferenceDct(in, exact);
    int16_t out[64];
    ASSERT_EQ(ForwardDctQuant8x8From16S2(block.data(), 16, out, unit.data()), StatusOk);
    for (int i = 0; i < 64; ++i) worst = std::max(worst, std::fabs(out[i] - exact[i]));
  }
  // Rounding to an integer accounts for 0.5; single precision adds a little (0.5004 here).
  EXPECT_LE(worst, 0.51);
}

TEST(ForwardDctQuant8x8From16, EveryBuildEqualsThePlainBuild) {
  Rng rng{5};
  const std::vector<Slot> slots = RunnableSlots();
  std::vector<uint8_t> image(16 * 300 + 64);
  for (int n = 0; n < 3000; ++n) {
    const std::vector<int16_t> block = Random12BitBlock(rng, n % 3);
    const int32_t step = 16 + 2 * static_cast<int32_t>(rng.Below(100)) + (n % 3 == 0 ? 1 : 0);
    uint8_t* src = image.data() + rng.Below(16);
    for (int r = 0; r < 8; ++r) std::memcpy(src + r * step, &block[8 * r], 16);
    std::vector<float> table(64);
    for (auto& t : table) {
      switch (rng.Below(8)) {
        case 0: t = 1e9f; break;      // saturates
        case 1: t = -1e9f; break;
        case 2: t = INFINITY; break;  // a zero coefficient gives NaN
        default: t = static_cast<float>(1.0 / (1 + rng.Below(300)));
      }
    }
    int16_t expected[64];
    ASSERT_EQ(ForwardDctQuant8x8From16S2(reinterpret_cast<const int16_t*>(src), step, expected, table.data()),
              StatusOk);
    for (const Slot& slot : slots) {
      int16_t got[65];
      int16_t* dst = got + (n & 1);
      ASSERT_EQ(slot.fn16(reinterpret_cast<const int16_t*>(src), step, dst, table.data()), StatusOk);
      ASSERT_EQ(std::memcmp(dst, expected, sizeof expected), 0) << "slot " << slot.index;
    }
  }
}

TEST(ForwardDctQuant8x8From16, OutputIsPinned) {
  Rng rng{77};
  uint64_t h = kFnvBasis;
  for (int n = 0; n < 1000; ++n) {
    const std::vector<int16_t> block = Random12BitBlock(rng, n % 2);
    std::vector<float> table(64);
    for (auto& t : table) t = static_cast<float>(1.0 / (1 + rng.Below(255)));
    int16_t out[64];
    ASSERT_EQ(ForwardDctQuant8x8From16S2(block.data(), 16, out, table.data()), StatusOk);
    h = Fnv1a(h, out, sizeof out);
  }
  EXPECT_EQ(h, 0x89c1e6ac25817459ull) << std::hex << h;
}

TEST(ForwardDctQuant8x8, DispatchFollowsTheProcessorIndex) {
  EXPECT_EQ(kForwardDctQuant8x8Table.Portable(), &ForwardDctQuant8x8S2);
  EXPECT_EQ(kForwardDctQuant8x8Table.slot[0], &ForwardDctQuant8x8Sse2);
  EXPECT_EQ(kForwardDctQuant8x8Table.slot[1], &ForwardDctQuant8x8Sse2);
  EXPECT_EQ(kForwardDctQuant8x8Table.slot[5], &ForwardDctQuant8x8Sse2);
  EXPECT_EQ(kForwardDctQuant8x8Table.slot[6], &ForwardDctQuant8x8Avx2);
  EXPECT_EQ(kForwardDctQuant8x8From16Table.slot[6], &ForwardDctQuant8x8From16Sse2);
  uint8_t src[64];
  std::memset(src, 200, sizeof src);
  const std::vector<uint16_t> unit = Flat(32768);
  int16_t out[64];
  ScopedProcessorIndex slot0(0);
  ASSERT_EQ(ForwardDctQuant8x8(src, 8, out, unit.data()), StatusOk);
  EXPECT_EQ(out[0], 576);
}

}  // namespace
}  // namespace vorn::jpeg::prim
