#include "jpeg/primitives/quant/quant_table.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "jpeg/primitives/movement/movement.h"

#if VORN_HAVE_LIBJPEG
#include <jpeglib.h>
#endif

namespace vorn::jpeg::prim {
namespace {

uint64_t Fnv1a(uint64_t h, const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001B3ull;
  return h;
}
constexpr uint64_t kFnvBasis = 0xCBF29CE484222325ull;

std::vector<uint8_t> Scaled(const std::array<uint8_t, 64>& base, int32_t quality) {
  std::vector<uint8_t> t(base.begin(), base.end());
  EXPECT_EQ(ScaleQuantTableByQuality(t.data(), quality), StatusOk);
  return t;
}

TEST(QuantTable, StandardTablesAndQualityScaling) {
  EXPECT_EQ(std::vector<uint8_t>(StdLumaQuant.begin(), StdLumaQuant.begin() + 8),
            (std::vector<uint8_t>{16, 11, 12, 14, 12, 10, 16, 14}));
  EXPECT_EQ(std::vector<uint8_t>(StdChromaQuant.begin(), StdChromaQuant.begin() + 8),
            (std::vector<uint8_t>{17, 18, 18, 24, 21, 24, 47, 26}));
  EXPECT_EQ(Scaled(StdLumaQuant, 50), std::vector<uint8_t>(StdLumaQuant.begin(), StdLumaQuant.end()));
  const std::vector<uint8_t> q95 = Scaled(StdLumaQuant, 95);
  EXPECT_EQ(q95[0], 2);  // (10 x 16 + 50) / 100
  EXPECT_EQ(q95[63], 10);  // (10 x 99 + 50) / 100
  EXPECT_EQ(Scaled(StdLumaQuant, 1), std::vector<uint8_t>(64, 255));
  EXPECT_EQ(Scaled(StdChromaQuant, 100), std::vector<uint8_t>(64, 1));
  // Qualities beyond 100 act as 100, up to the largest, whose doubling would overflow.
  for (int32_t q : {101, 1000, 1 << 30, std::numeric_limits<int32_t>::max()}) {
    EXPECT_EQ(Scaled(StdLumaQuant, q), std::vector<uint8_t>(64, 1)) << q;
  }
}

TEST(QuantTable, ScalingChecks) {
  uint8_t t[64];
  std::memset(t, 7, sizeof t);
  EXPECT_EQ(ScaleQuantTableByQuality(nullptr, 0), StatusNullPointer);
  EXPECT_EQ(ScaleQuantTableByQuality(t, 0), StatusBadArgument);
  EXPECT_EQ(ScaleQuantTableByQuality(t, -3), StatusBadArgument);
  for (uint8_t v : t) ASSERT_EQ(v, 7);
}

// Every quality's luminance and chrominance tables, in zigzag order.
uint64_t HashOfAllQualities() {
  uint64_t h = kFnvBasis;
  for (int32_t q = 1; q <= 100; ++q) {
    for (const auto* base : {&StdLumaQuant, &StdChromaQuant}) {
      const std::vector<uint8_t> t = Scaled(*base, q);
      h = Fnv1a(h, t.data(), t.size());
    }
  }
  return h;
}

// Checked against the reference library below where it can be linked; this hash holds the
// same tables on every build.
TEST(QuantTable, AllQualitiesArePinned) { EXPECT_EQ(HashOfAllQualities(), 0xe2f473e2a9213f13ull); }

#if VORN_HAVE_LIBJPEG
TEST(QuantTable, EqualsTheReferenceLibraryForEveryQuality) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr err{};
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_compress(&cinfo);
  cinfo.in_color_space = JCS_YCbCr;
  cinfo.input_components = 3;
  jpeg_set_defaults(&cinfo);
  for (int32_t q = 1; q <= 100; ++q) {
    jpeg_set_quality(&cinfo, q, TRUE);
    for (int t = 0; t < 2; ++t) {
      const std::vector<uint8_t> ours = Scaled(t == 0 ? StdLumaQuant : StdChromaQuant, q);
      const JQUANT_TBL* theirs = cinfo.quant_tbl_ptrs[t];
      for (int k = 0; k < 64; ++k) {
        ASSERT_EQ(ours[ZigzagNaturalIndex[k]], theirs->quantval[k]) << "quality " << q << " table " << t << " at " << k;
      }
    }
  }
  jpeg_destroy_compress(&cinfo);
}
#endif

TEST(QuantTable, ForwardTableIsTheRoundedReciprocal) {
  uint8_t raw[64];
  for (int i = 0; i < 64; ++i) raw[i] = static_cast<uint8_t>(1 + (i * 37) % 255);
  raw[ZigzagNaturalIndex[5]] = 3;
  raw[ZigzagNaturalIndex[6]] = 255;
  raw[ZigzagNaturalIndex[7]] = 1;
  uint16_t forward[64];
  ASSERT_EQ(BuildForwardQuantTable(raw, forward), StatusOk);
  for (int k = 0; k < 64; ++k) {
    const int q = raw[ZigzagNaturalIndex[k]];
    const uint16_t expected = q == 1 ? 32768 : static_cast<uint16_t>(32768.0 / q + 0.5);
    ASSERT_EQ(forward[k], expected) << k;
  }
  EXPECT_EQ(forward[5], 10923);
  EXPECT_EQ(forward[6], 129);
  EXPECT_EQ(forward[7], 32768);

  // Every quantiser from 1 to 255 in every position of the block.
  for (int q = 1; q <= 255; ++q) {
    std::memset(raw, q, sizeof raw);
    ASSERT_EQ(BuildForwardQuantTable(raw, forward), StatusOk);
    const uint16_t expected = q == 1 ? 32768 : static_cast<uint16_t>(32768.0 / q + 0.5);
    for (uint16_t f : forward) ASSERT_EQ(f, expected) << q;
  }
}

TEST(QuantTable, DivisionRoundsHalfToEvenAndReportsZeroDivisors) {
  struct Case {
    int32_t value;
    uint16_t divisor;
    uint16_t expected;
  };
  const Case cases[] = {
      {32768, 3, 10923}, {32768, 255, 129}, {5, 2, 2},  {7, 2, 4},   {3, 2, 2}, {9, 6, 2},
      {15, 6, 2},        {10, 4, 2},        {14, 4, 4}, {100, 1, 100}, {65535, 2, 32768},
      {0x12345, 1, 0x2345},  // the value is taken as 16 bits
  };
  for (const Case& c : cases) {
    uint16_t d = c.divisor, out = 0;
    EXPECT_EQ(DivideConstantByVector16(&d, c.value, &out, 1), StatusOk);
    EXPECT_EQ(out, c.expected) << c.value << " / " << c.divisor;
  }
  uint16_t v[3] = {4, 0, 8};
  EXPECT_EQ(DivideConstantByVector16InPlace(32768, v, 3), StatusZeroDivisor);
  EXPECT_EQ(v[0], 8192);
  EXPECT_EQ(v[1], 65535);
  EXPECT_EQ(v[2], 4096);
  uint16_t z[2] = {0, 5};
  EXPECT_EQ(DivideConstantByVector16InPlace(0, z, 2), StatusZeroDivisor);
  EXPECT_EQ(z[0], 0);
  EXPECT_EQ(z[1], 0);

  uint16_t keep[2] = {3, 3};
  EXPECT_EQ(DivideConstantByVector16(nullptr, 1, keep, 2), StatusNullPointer);
  EXPECT_EQ(DivideConstantByVector16(keep, 1, nullptr, 2), StatusNullPointer);
  EXPECT_EQ(DivideConstantByVector16(keep, 1, keep, 0), StatusBadSize);
  EXPECT_EQ(DivideConstantByVector16InPlace(1, nullptr, 0), StatusNullPointer);
  EXPECT_EQ(DivideConstantByVector16InPlace(1, keep, -1), StatusBadSize);
  EXPECT_EQ(keep[0], 3);

  uint8_t raw[64];
  std::memset(raw, 4, sizeof raw);
  raw[10] = 0;
  uint16_t forward[64];
  EXPECT_EQ(BuildForwardQuantTable(raw, forward), StatusZeroDivisor);
  EXPECT_EQ(forward[0], 8192);
  EXPECT_EQ(BuildForwardQuantTable(nullptr, forward), StatusNullPointer);
  EXPECT_EQ(BuildForwardQuantTable(raw, nullptr), StatusNullPointer);
}

TEST(EncoderQuantTable, LayoutAndLifecycle) {
  CJPEGEncoderQuantTable table;
  EXPECT_EQ(table.Initialised(), 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(table.Raw8()) % 32, 0u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(table.Forward()) % 32, 0u);
  EXPECT_EQ(static_cast<const void*>(table.Raw8()), static_cast<const void*>(table.Raw16()));
  EXPECT_EQ(static_cast<const void*>(table.Forward()), static_cast<const void*>(table.FloatTable()));
  const auto* self = reinterpret_cast<const uint8_t*>(&table);
  EXPECT_GE(table.Raw8(), self);
  EXPECT_LE(reinterpret_cast<const uint8_t*>(table.Forward() + 128), self + sizeof table);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(table.Raw8()[i], 0);

  // Quality 50 keeps the standard table; the DC multiplier is 32768 / 16.
  ASSERT_EQ(table.Init8(0, StdLumaQuant.data(), 50), 0);
  EXPECT_EQ(table.Initialised(), 1);
  EXPECT_EQ(table.Id(), 0);
  EXPECT_EQ(table.Precision(), 0);
  EXPECT_EQ(std::memcmp(table.Raw8(), StdLumaQuant.data(), 64), 0);
  EXPECT_EQ(table.Forward()[0], 2048);

  // Quality 0 takes the given table as it is.
  uint8_t custom[64];
  std::memset(custom, 3, sizeof custom);
  ASSERT_EQ(table.Init8(1, custom, 0), 0);
  EXPECT_EQ(table.Id(), 1);
  EXPECT_EQ(table.Raw8()[5], 3);
  EXPECT_EQ(table.Forward()[63], 10923);

  ASSERT_EQ(table.Init8(0, StdChromaQuant.data(), 95), 0);
  EXPECT_EQ(table.Raw8()[0], 2);  // (10 x 17 + 50) / 100
}

TEST(EncoderQuantTable, FailuresGiveMinusTwoAndKeepTheFlag) {
  CJPEGEncoderQuantTable table;
  uint8_t zero[64];
  std::memset(zero, 0, sizeof zero);
  EXPECT_EQ(table.Init8(0, zero, 0), -2);  // zero divisors
  EXPECT_EQ(table.Initialised(), 0);
  EXPECT_EQ(table.Init8(0, StdLumaQuant.data(), -1), -2);
  EXPECT_EQ(table.Init8(0, nullptr, 50), -2);
  EXPECT_EQ(table.Initialised(), 0);
  ASSERT_EQ(table.Init8(0, StdLumaQuant.data(), 75), 0);
  EXPECT_EQ(table.Init8(0, zero, 0), -2);
  EXPECT_EQ(table.Initialised(), 1);

  CJPEGEncoderQuantTable wide;
  uint16_t zero16[64] = {};
  EXPECT_EQ(wide.Init16(0, zero16, 0), -2);
  EXPECT_EQ(wide.Init16(0, nullptr, 50), -2);
  EXPECT_EQ(wide.Init16(0, zero16, -5), -2);
  EXPECT_EQ(wide.Initialised(), 0);
}

TEST(EncoderQuantTable, SixteenBitTables) {
  uint16_t raw[64];
  for (int i = 0; i < 64; ++i) raw[i] = static_cast<uint16_t>(StdLumaQuant[i] * 16);  // 12-bit scale
  CJPEGEncoderQuantTable table;
  ASSERT_EQ(table.Init16(2, raw, 50), 0);
  EXPECT_EQ(table.Precision(), 1);
  EXPECT_EQ(table.Id(), 2);
  EXPECT_EQ(std::memcmp(table.Raw16(), raw, sizeof raw), 0);
  for (int k = 0; k < 64; ++k) {
    ASSERT_EQ(table.FloatTable()[k], static_cast<float>(1.0 / raw[ZigzagNaturalIndex[k]])) << k;
  }
  // Quality 1 scales by 50 and clamps at 65535; quality 100 and beyond gives ones.
  raw[0] = 2000;
  ASSERT_EQ(table.Init16(2, raw, 1), 0);
  EXPECT_EQ(table.Raw16()[0], 65535);
  EXPECT_EQ(table.Raw16()[1], 50 * 176);
  ASSERT_EQ(table.Init16(2, raw, 1 << 30), 0);
  for (int k = 0; k < 64; ++k) ASSERT_EQ(table.FloatTable()[k], 1.0f);

  // Every quantiser's reciprocal, pinned: the float table must round the same on every build.
  uint64_t h = kFnvBasis;
  for (uint32_t base = 1; base <= 65535; base += 64) {
    for (int i = 0; i < 64; ++i) raw[i] = static_cast<uint16_t>(std::min<uint32_t>(base + i, 65535));
    ASSERT_EQ(table.Init16(0, raw, 0), 0);
    h = Fnv1a(h, table.FloatTable(), 64 * sizeof(float));
  }
  EXPECT_EQ(h, 0xe32ce86256bb7afeull) << std::hex << h;
}

}  // namespace
}  // namespace vorn::jpeg::prim
