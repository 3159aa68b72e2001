// The pixel converters: golden values of the arithmetic, what each conversion leaves
// untouched, and every processor build this machine runs against the plain build over random
// pixels, odd widths and a 1366-pixel-wide frame.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "display/convert/convert.h"
#include "jpeg/primitives/color/color.h"
#include "jpeg/primitives/frame/dispatch.h"

namespace vorn::display {
namespace {

using jpeg::prim::BuildRunsHere;
using jpeg::prim::kProcessorSlots;

constexpr uint8_t kGuard = 0xA5;

std::vector<uint8_t> Pixels(size_t bytes, uint32_t seed) {
  std::vector<uint8_t> v(bytes);
  std::mt19937 rng(seed);
  for (uint8_t& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

std::vector<uint8_t> Solid(int32_t pixels, uint8_t b, uint8_t g, uint8_t r, uint8_t x) {
  std::vector<uint8_t> v;
  for (int32_t i = 0; i < pixels; ++i) v.insert(v.end(), {b, g, r, x});
  return v;
}

// The slots whose build differs from the slot below and that this machine runs; slot 0 first.
std::vector<int32_t> DistinctSlots(const void* const* table) {
  std::vector<int32_t> slots{0};
  for (int32_t s = 1; s < kProcessorSlots; ++s) {
    if (BuildRunsHere(s) && table[s] != table[s - 1]) slots.push_back(s);
  }
  return slots;
}

template <typename Fn>
std::vector<int32_t> SlotsOf(const jpeg::prim::DispatchTable<Fn>& t) {
  const void* table[kProcessorSlots];
  for (int32_t s = 0; s < kProcessorSlots; ++s) table[s] = reinterpret_cast<const void*>(t.slot[s]);
  return DistinctSlots(table);
}

struct Interleaved {
  std::vector<uint8_t> y, c;
};

// Converts |w| x |h| pixels of |src| (stride 4w) with |fn| into guarded planes of stride s.
Interleaved RunInterleaved(BgraToYCbCr420InterleavedFn fn, const std::vector<uint8_t>& src,
                           int32_t w, int32_t h, int32_t s) {
  Interleaved out{std::vector<uint8_t>(size_t(s) * h, kGuard),
                  std::vector<uint8_t>(size_t(s) * (h / 2), kGuard)};
  fn({src.data(), h, w, 4 * w}, {out.y.data(), h, w, s}, {out.c.data(), h / 2, w / 2, s});
  return out;
}

TEST(InterleavedTest, GoldenColours) {
  struct Case {
    const char* name;
    uint8_t b, g, r, x;
    uint8_t y, cb, cr;
  };
  // White gives 254 (the weights add up to 255); blue saturates Cb; the fourth byte is no colour.
  const Case cases[] = {
      {"white", 255, 255, 255, 0, 254, 128, 128},
      {"blue", 255, 0, 0, 0, 29, 255, 107},
      {"blue-x", 255, 0, 0, 0xFF, 29, 255, 107},
      {"black", 0, 0, 0, 0x7F, 0, 128, 128},
      {"red", 0, 0, 255, 0, 76, 85, 255},
      {"green", 0, 255, 0, 0, 149, 44, 21},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> src = Solid(32 * 2, c.b, c.g, c.r, c.x);
    for (int32_t slot : SlotsOf(kBgraToYCbCr420InterleavedTable)) {
      SCOPED_TRACE(std::string(c.name) + " slot " + std::to_string(slot));
      const Interleaved out = RunInterleaved(kBgraToYCbCr420InterleavedTable.slot[slot], src, 32, 2, 32);
      for (uint8_t v : out.y) ASSERT_EQ(v, c.y);
      for (size_t i = 0; i < out.c.size(); i += 2) {
        ASSERT_EQ(out.c[i], c.cb);
        ASSERT_EQ(out.c[i + 1], c.cr);
      }
    }
  }
}

TEST(InterleavedTest, WritesWholeGroupsOfWholeRowPairsOnly) {
  // 40 wide: 32 columns converted, the last 8 of each row and the odd last row left alone.
  const int32_t w = 40, h = 5;
  const std::vector<uint8_t> src = Pixels(size_t(4) * w * h, 3);
  for (int32_t slot : SlotsOf(kBgraToYCbCr420InterleavedTable)) {
    SCOPED_TRACE(slot);
    const Interleaved out = RunInterleaved(kBgraToYCbCr420InterleavedTable.slot[slot], src, w, h, w);
    // The covered part equals a 32 x 4 conversion of the same pixels.
    std::vector<uint8_t> part;
    for (int32_t row = 0; row < 4; ++row)
      part.insert(part.end(), src.begin() + 4 * w * row, src.begin() + 4 * w * row + 128);
    const Interleaved want = RunInterleaved(kBgraToYCbCr420InterleavedTable.Portable(), part, 32, 4, 32);
    for (int32_t row = 0; row < h; ++row) {
      for (int32_t x = 0; x < w; ++x) {
        const uint8_t v = out.y[size_t(row) * w + x];
        if (row < 4 && x < 32) {
          EXPECT_EQ(v, want.y[size_t(row) * 32 + x]) << row << "," << x;
        } else {
          EXPECT_EQ(v, kGuard) << row << "," << x;
        }
      }
    }
    for (int32_t row = 0; row < h / 2; ++row) {
      for (int32_t x = 32; x < w; ++x) EXPECT_EQ(out.c[size_t(row) * w + x], kGuard);
    }
  }
}

TEST(InterleavedTest, PlainBuildFollowsTheFormulas) {
  // A random 16 x 2 block computed here per pixel and per block.
  const std::vector<uint8_t> src = Pixels(4 * 16 * 2, 11);
  const Interleaved out = RunInterleaved(kBgraToYCbCr420InterleavedTable.Portable(), src, 16, 2, 16);
  for (int32_t i = 0; i < 32; ++i) {
    const uint8_t* p = &src[4 * i];
    EXPECT_EQ(out.y[i], (76 * p[2] + 150 * p[1] + 29 * p[0] + 128) >> 8);
  }
  for (int32_t j = 0; j < 8; ++j) {
    int32_t sb = 0, sg = 0, sr = 0;
    for (int32_t k : {0, 1, 16, 17}) {
      const uint8_t* p = &src[4 * (2 * j + k)];
      sb += p[0], sg += p[1], sr += p[2];
    }
    auto clamp = [](int32_t v) { return v < 0 ? 0 : v > 255 ? 255 : v; };
    EXPECT_EQ(out.c[2 * j], clamp((16384 * sb - 10854 * sg - 5529 * sr + 0x1010000) >> 17));
    EXPECT_EQ(out.c[2 * j + 1], clamp((16384 * sr - 13719 * sg - 2664 * sb + 0x1010000) >> 17));
  }
}

TEST(InterleavedTest, EveryBuildMatchesPlain) {
  struct Size {
    int32_t w, h;
  };
  for (const Size sz : {Size{16, 2}, Size{48, 6}, Size{1366, 8}, Size{1376, 10}, Size{1920, 4},
                        Size{37, 7}}) {
    const std::vector<uint8_t> src = Pixels(size_t(4) * sz.w * sz.h, sz.w * 31 + sz.h);
    const int32_t s = (sz.w + 15) & ~15;
    const Interleaved want = RunInterleaved(kBgraToYCbCr420InterleavedTable.Portable(), src, sz.w, sz.h, s);
    for (int32_t slot : SlotsOf(kBgraToYCbCr420InterleavedTable)) {
      SCOPED_TRACE(std::to_string(sz.w) + "x" + std::to_string(sz.h) + " slot " + std::to_string(slot));
      const Interleaved got = RunInterleaved(kBgraToYCbCr420InterleavedTable.slot[slot], src, sz.w, sz.h, s);
      EXPECT_EQ(got.y, want.y);
      EXPECT_EQ(got.c, want.c);
    }
  }
}

TEST(InterleavedTest, NegativeOrMissingSizesWriteNothing) {
  std::vector<uint8_t> src = Pixels(4 * 32 * 2, 5), y(64, kGuard), c(32, kGuard);
  for (int32_t slot : SlotsOf(kBgraToYCbCr420InterleavedTable)) {
    const auto fn = kBgraToYCbCr420InterleavedTable.slot[slot];
    fn({src.data(), -2, 32, 128}, {y.data(), 2, 32, 32}, {c.data(), 1, 16, 32});
    fn({src.data(), 2, 32, 128}, {y.data(), 2, -32, 32}, {c.data(), 1, 16, 32});
    fn({src.data(), 2, 32, 128}, {y.data(), 2, 32, 32}, {c.data(), 0, 16, 32});
    fn({src.data(), 2, 32, 128}, {y.data(), 2, 32, 32}, {c.data(), 1, 7, 32});
    EXPECT_EQ(y, std::vector<uint8_t>(64, kGuard));
    EXPECT_EQ(c, std::vector<uint8_t>(32, kGuard));
  }
}

// Converts with |fn| into a guarded destination of stride |dstStride|.
std::vector<uint8_t> RunRows(PixelRowsFn fn, const std::vector<uint8_t>& src, int32_t srcStride,
                             int32_t dstStride, int32_t w, int32_t h) {
  std::vector<uint8_t> dst(size_t(dstStride) * h + 64, kGuard);
  fn(dst.data(), src.data(), dstStride, srcStride, w, h);
  return dst;
}

TEST(Rgb24Test, CopiesThreeBytesAndNothingBeyondTheRow) {
  const std::vector<uint8_t> src = Pixels(4 * 8 * 3, 9);
  for (int32_t slot : SlotsOf(kBgraToRgb24Table)) {
    SCOPED_TRACE(slot);
    // Width 7 in rows of 24 bytes: 21 bytes per row, 3 guard bytes after each.
    const std::vector<uint8_t> dst = RunRows(kBgraToRgb24Table.slot[slot], src, 32, 24, 7, 3);
    for (int32_t row = 0; row < 3; ++row) {
      for (int32_t x = 0; x < 7; ++x) {
        for (int32_t k = 0; k < 3; ++k) {
          EXPECT_EQ(dst[24 * row + 3 * x + k], src[32 * row + 4 * x + k]);
        }
      }
      for (int32_t k = 21; k < 24; ++k) EXPECT_EQ(dst[24 * row + k], kGuard);
    }
    for (size_t k = 72; k < dst.size(); ++k) EXPECT_EQ(dst[k], kGuard);
  }
}

TEST(Rgb24Test, EveryBuildMatchesPlain) {
  for (int32_t w : {1, 5, 6, 10, 11, 12, 19, 33, 1366, 1920}) {
    const int32_t h = 3, srcStride = 4 * w + 12, dstStride = 3 * w;
    const std::vector<uint8_t> src = Pixels(size_t(srcStride) * h, w);
    const std::vector<uint8_t> want = RunRows(kBgraToRgb24Table.Portable(), src, srcStride, dstStride, w, h);
    for (int32_t slot : SlotsOf(kBgraToRgb24Table)) {
      SCOPED_TRACE(std::to_string(w) + " slot " + std::to_string(slot));
      EXPECT_EQ(RunRows(kBgraToRgb24Table.slot[slot], src, srcStride, dstStride, w, h), want);
    }
  }
}

TEST(Rgb565Test, GoldenValues) {
  struct Case {
    uint16_t pixel;
    uint8_t b, g, r;
  };
  const Case cases[] = {{0xF800, 0, 0, 248}, {0x07E0, 0, 252, 0}, {0x001F, 248, 0, 0},
                        {0xFFFF, 248, 252, 248}, {0x0000, 0, 0, 0}, {0x0821, 8, 4, 8}};
  for (int32_t slot : SlotsOf(kRgb565ToRgb32Table)) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::to_string(c.pixel) + " slot " + std::to_string(slot));
      // 21 pixels, so every build's wide steps and its tail see the value.
      std::vector<uint8_t> src;
      for (int i = 0; i < 21; ++i) src.insert(src.end(), {uint8_t(c.pixel), uint8_t(c.pixel >> 8)});
      const std::vector<uint8_t> dst = RunRows(kRgb565ToRgb32Table.slot[slot], src, 42, 84, 21, 1);
      for (int i = 0; i < 21; ++i) {
        ASSERT_EQ(dst[4 * i], c.b);
        ASSERT_EQ(dst[4 * i + 1], c.g);
        ASSERT_EQ(dst[4 * i + 2], c.r);
        ASSERT_EQ(dst[4 * i + 3], 0);
      }
      for (size_t k = 84; k < dst.size(); ++k) ASSERT_EQ(dst[k], kGuard);
    }
  }
}

TEST(Rgb565Test, EveryBuildMatchesPlain) {
  for (int32_t w : {1, 7, 8, 15, 16, 17, 31, 1366}) {
    const int32_t h = 3, srcStride = 2 * w + 6, dstStride = 4 * w + 8;
    const std::vector<uint8_t> src = Pixels(size_t(srcStride) * h, w + 100);
    const std::vector<uint8_t> want = RunRows(kRgb565ToRgb32Table.Portable(), src, srcStride, dstStride, w, h);
    for (int32_t slot : SlotsOf(kRgb565ToRgb32Table)) {
      SCOPED_TRACE(std::to_string(w) + " slot " + std::to_string(slot));
      EXPECT_EQ(RunRows(kRgb565ToRgb32Table.slot[slot], src, srcStride, dstStride, w, h), want);
    }
  }
}

TEST(PlanarTest, PlaneLayoutAndLength) {
  // 1366 x 768: Y stride 1376, chroma stride 688, Cb after 768 Y rows, Cr 384 Cb rows later.
  const int32_t w = 1366, h = 768;
  const std::vector<uint8_t> src = Pixels(size_t(4) * w * h, 17);
  const uint32_t length = 768 * 1376 + 688 * 768;
  std::vector<uint8_t> dst(length + 64, kGuard);
  EXPECT_EQ(BgraToYuv420Planar(src.data(), 4 * w, dst.data(), w, h), length);

  std::vector<uint8_t> y(size_t(1376) * h, kGuard), cb(size_t(688) * h / 2, kGuard),
      cr(size_t(688) * h / 2, kGuard);
  uint8_t* const planes[3] = {y.data(), cb.data(), cr.data()};
  const int32_t steps[3] = {1376, 688, 688};
  jpeg::prim::BgraToYCbCr420Planes(src.data(), 4 * w, planes, steps, w, h);
  EXPECT_EQ(0, std::memcmp(dst.data(), y.data(), y.size()));
  EXPECT_EQ(0, std::memcmp(dst.data() + y.size(), cb.data(), cb.size()));
  EXPECT_EQ(0, std::memcmp(dst.data() + y.size() + cb.size(), cr.data(), cr.size()));
  for (size_t k = length; k < dst.size(); ++k) EXPECT_EQ(dst[k], kGuard);
}

TEST(PlanarTest, HeightNotAMultipleOf16) {
  // Height 10: Cb starts after align16(10) = 16 Y rows; the length counts 10 chroma rows.
  const int32_t w = 32, h = 10;
  const std::vector<uint8_t> src = Solid(w * h, 255, 255, 255, 0);
  std::vector<uint8_t> dst(16 * 32 + 16 * 10 + 16, kGuard);
  EXPECT_EQ(BgraToYuv420Planar(src.data(), 4 * w, dst.data(), w, h), 16u * 32 + 16 * 10);
  EXPECT_EQ(dst[0], 255);
  EXPECT_EQ(dst[9 * 32 + 31], 255);
  EXPECT_EQ(dst[10 * 32], kGuard);   // Y rows 10-15 are a gap
  EXPECT_EQ(dst[16 * 32], 128);      // Cb
  EXPECT_EQ(dst[16 * 32 + 16 * 5], 128);  // Cr
  EXPECT_EQ(BgraToYuv420Planar(src.data(), 4 * w, dst.data(), 0, h), 0u);
}

}  // namespace
}  // namespace vorn::display
