#include "jpeg/primitives/movement/movement.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <numeric>
#include <optional>
#include <algorithm>
#include <vector>

#include "jpeg/primitives/movement/movement_streaming.h"
#include "tests/jpeg/primitives/frame/fake_cpu.h"

namespace vorn::jpeg::prim {
namespace {

struct Rng {
  uint64_t s;
  uint32_t Next() {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(s >> 33);
  }
  uint32_t Below(uint32_t n) { return Next() % n; }
};

std::vector<uint8_t> RandomBytes(Rng& rng, size_t n) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng.Next());
  return v;
}

// The slots this machine runs, each with its own build of |table| (shared builds once).
template <typename Fn>
std::vector<std::pair<int32_t, Fn>> Builds(const DispatchTable<Fn>& table) {
  std::vector<std::pair<int32_t, Fn>> builds;
  for (int32_t s : kEntriesReferenceFirst) {
    if (!BuildRunsHere(s)) continue;
    bool seen = false;
    for (auto& b : builds) seen |= b.second == table.slot[s];
    if (!seen) builds.push_back({s, table.slot[s]});
  }
  return builds;
}

// A destination buffer filled with a pattern, with room before and after the area.
struct Canvas {
  std::vector<uint8_t> bytes;
  explicit Canvas(size_t n, uint8_t fill = 0xA5) : bytes(n + 128, fill) {}
  uint8_t* at(size_t offset) { return bytes.data() + 64 + offset; }
  bool operator==(const Canvas& o) const { return bytes == o.bytes; }
};

// ---- argument checks: every build, in the order each primitive checks ----

TEST(Movement, BufferChecksRunInOrderAndWriteNothing) {
  uint8_t src[4] = {1, 2, 3, 4};
  for (auto [slot, fn] : Builds(kCopyBytesTable)) {
    uint8_t dst[4] = {9, 9, 9, 9};
    EXPECT_EQ(fn(nullptr, dst, 4), StatusNullPointer) << slot;
    EXPECT_EQ(fn(src, nullptr, 0), StatusNullPointer) << slot;
    EXPECT_EQ(fn(src, dst, 0), StatusBadSize) << slot;
    EXPECT_EQ(fn(src, dst, -1), StatusBadSize) << slot;
    EXPECT_EQ(dst[0], 9);
  }
  for (auto [slot, fn] : Builds(kCopyWords16Table)) {
    int16_t s16[2] = {1, 2}, d16[2] = {9, 9};
    EXPECT_EQ(fn(s16, nullptr, 2), StatusNullPointer) << slot;
    EXPECT_EQ(fn(s16, d16, 0), StatusBadSize) << slot;
    EXPECT_EQ(d16[0], 9);
  }
  for (auto [slot, fn] : Builds(kZeroBytesTable)) {
    uint8_t dst[4] = {9, 9, 9, 9};
    EXPECT_EQ(fn(nullptr, 4), StatusNullPointer) << slot;
    EXPECT_EQ(fn(dst, 0), StatusBadSize) << slot;
    EXPECT_EQ(dst[0], 9);
  }
  int16_t words[3] = {9, 9, 9};
  EXPECT_EQ(ZeroWords16W7(nullptr, 3), StatusNullPointer);
  EXPECT_EQ(ZeroWords16W7(words, 0), StatusBadSize);
  EXPECT_EQ(ZeroWords16W7(words, 2), StatusOk);
  EXPECT_EQ(words[0], 0);
  EXPECT_EQ(words[1], 0);
  EXPECT_EQ(words[2], 9);
}

TEST(Movement, ImageChecksRunInOrderAndWriteNothing) {
  uint8_t src[64] = {};
  std::vector<uint8_t> dst(256, 0x77);
  auto* d16 = reinterpret_cast<int16_t*>(dst.data());
  const auto* s16 = reinterpret_cast<const int16_t*>(src);
  for (auto [slot, fn] : Builds(kCopyImage8Table)) {
    EXPECT_EQ(fn(nullptr, 8, dst.data(), 8, 0, 0), StatusNullPointer) << slot;
    EXPECT_EQ(fn(src, 8, dst.data(), 8, 0, 1), StatusBadSize) << slot;
    EXPECT_EQ(fn(src, 8, dst.data(), 8, 1, -1), StatusBadSize) << slot;
  }
  for (auto [slot, fn] : Builds(kCopyImage16Table)) {
    EXPECT_EQ(fn(s16, 8, nullptr, 8, 1, 1), StatusNullPointer) << slot;
    EXPECT_EQ(fn(s16, 8, d16, 8, 1, 0), StatusBadSize) << slot;
  }
  for (auto [slot, fn] : Builds(kWidenImage8To16Table)) {
    EXPECT_EQ(fn(src, 0, nullptr, 0, 0, 0), StatusNullPointer) << slot;
    // Sizes are checked before steps.
    EXPECT_EQ(fn(src, 0, d16, 0, 0, 4), StatusBadSize) << slot;
    EXPECT_EQ(fn(src, 0, d16, 16, 4, 4), StatusBadStep) << slot;
    EXPECT_EQ(fn(src, 8, d16, -16, 4, 4), StatusBadStep) << slot;
  }
  EXPECT_EQ(ZigzagToNatural8x8(nullptr, d16), StatusNullPointer);
  EXPECT_EQ(ZigzagToNatural8x8(s16, nullptr), StatusNullPointer);
  for (uint8_t b : dst) ASSERT_EQ(b, 0x77);
}

TEST(Movement, SplitChecksRunInOrderAndWriteNothing) {
  uint8_t src[48] = {};
  uint8_t a[16], b[16], c[16], d[16];
  std::memset(a, 0x77, 16), std::memset(b, 0x77, 16), std::memset(c, 0x77, 16), std::memset(d, 0x77, 16);
  uint8_t* const thirdNull[4] = {a, b, nullptr, d};
  uint8_t* const fourthNull[4] = {a, b, c, nullptr};
  uint8_t* const all[4] = {a, b, c, d};
  for (auto [slot, fn] : Builds(kSplitImage3Channels8Table)) {
    EXPECT_EQ(fn(nullptr, 12, all, 4, 4, 1), StatusNullPointer) << slot;
    EXPECT_EQ(fn(src, 12, nullptr, 4, 4, 1), StatusNullPointer) << slot;
    EXPECT_EQ(fn(src, 12, thirdNull, 4, 0, 1), StatusNullPointer) << slot;
    EXPECT_EQ(fn(src, 12, fourthNull, 4, 0, 1), StatusBadSize) << slot;  // three planes only
  }
  for (auto [slot, fn] : Builds(kSplitImage4Channels8Table)) {
    EXPECT_EQ(fn(src, 16, fourthNull, 4, 4, 1), StatusNullPointer) << slot;
    EXPECT_EQ(fn(src, 16, all, 4, 4, 0), StatusBadSize) << slot;
  }
  int16_t* const planes16[4] = {reinterpret_cast<int16_t*>(a), reinterpret_cast<int16_t*>(b),
                                nullptr, reinterpret_cast<int16_t*>(d)};
  const auto* s16 = reinterpret_cast<const int16_t*>(src);
  for (auto [slot, fn] : Builds(kSplitImage3Channels16Table)) {
    EXPECT_EQ(fn(s16, 24, planes16, 8, 4, 1), StatusNullPointer) << slot;
  }
  for (auto [slot, fn] : Builds(kSplitImage4Channels16Table)) {
    EXPECT_EQ(fn(s16, 32, planes16, 8, 4, 1), StatusNullPointer) << slot;
  }
  const int32_t steps[3] = {4, 2, 2};
  EXPECT_EQ(Packed422ToPlanes(nullptr, 8, all, steps, 4, 1), StatusNullPointer);
  EXPECT_EQ(Packed422ToPlanes(src, 8, all, nullptr, 4, 1), StatusNullPointer);
  EXPECT_EQ(Packed422ToPlanes(src, 8, thirdNull, steps, 1, 1), StatusNullPointer);
  EXPECT_EQ(Packed422ToPlanes(src, 8, all, steps, 1, 1), StatusBadSize);
  EXPECT_EQ(Packed422ToPlanes(src, 8, all, steps, 4, 0), StatusBadSize);
  for (const uint8_t* p : {a, b, c, d}) {
    for (int i = 0; i < 16; ++i) ASSERT_EQ(p[i], 0x77);
  }
}

// ---- results ----

TEST(Movement, CopyImageMergesRowsAndKeepsTheGapsBetweenRows) {
  Rng rng{1};
  const std::vector<uint8_t> src = RandomBytes(rng, 128 * 50);
  for (auto [slot, fn] : Builds(kCopyImage8Table)) {
    SCOPED_TRACE(slot);
    Canvas packed(5000);
    ASSERT_EQ(fn(src.data(), 100, packed.at(0), 100, 100, 50), StatusOk);
    EXPECT_EQ(std::memcmp(packed.at(0), src.data(), 5000), 0);
    EXPECT_EQ(*packed.at(5000), 0xA5);
    EXPECT_EQ(*packed.at(-1), 0xA5);

    Canvas spaced(128 * 50);
    ASSERT_EQ(fn(src.data(), 100, spaced.at(0), 128, 100, 50), StatusOk);
    for (int r = 0; r < 50; ++r) {
      ASSERT_EQ(std::memcmp(spaced.at(128 * r), src.data() + 100 * r, 100), 0) << r;
      for (int x = 100; x < 128; ++x) ASSERT_EQ(*spaced.at(128 * r + x), 0xA5);
    }

    // A negative step walks the rows upwards.
    Canvas flipped(100 * 50);
    ASSERT_EQ(fn(src.data() + 100 * 49, -100, flipped.at(0), 100, 100, 50), StatusOk);
    for (int r = 0; r < 50; ++r) {
      ASSERT_EQ(std::memcmp(flipped.at(100 * r), src.data() + 100 * (49 - r), 100), 0) << r;
    }
  }
}

TEST(Movement, WidenSplitUnpackAndZigzag) {
  const uint8_t bytes[6] = {0, 1, 127, 128, 200, 255};
  int16_t wide[6];
  ASSERT_EQ(WidenImage8To16(bytes, 3, wide, 6, 3, 2), StatusOk);
  const int16_t expected[6] = {0, 1, 127, 128, 200, 255};
  EXPECT_EQ(std::memcmp(wide, expected, sizeof wide), 0);

  const uint8_t rgb[6] = {1, 2, 3, 4, 5, 6};
  uint8_t r[2], g[2], b[2];
  uint8_t* const planes[3] = {r, g, b};
  ASSERT_EQ(SplitImage3Channels8(rgb, 6, planes, 2, 2, 1), StatusOk);
  EXPECT_EQ(r[1], 4);
  EXPECT_EQ(g[0], 2);
  EXPECT_EQ(b[1], 6);

  // Width 5 is taken as 4: two groups Y0 Cb Y1 Cr per row, and nothing for the fifth pixel.
  const uint8_t packed[2][12] = {{10, 20, 11, 30, 12, 21, 13, 31, 99, 99, 99, 99},
                                 {40, 50, 41, 60, 42, 51, 43, 61, 99, 99, 99, 99}};
  uint8_t y[2][6], cb[2][4], cr[2][4];
  std::memset(y, 0, sizeof y), std::memset(cb, 0, sizeof cb), std::memset(cr, 0, sizeof cr);
  uint8_t* const yuv[3] = {&y[0][0], &cb[0][0], &cr[0][0]};
  const int32_t steps[3] = {6, 4, 4};
  ASSERT_EQ(Packed422ToPlanes(&packed[0][0], 12, yuv, steps, 5, 2), StatusOk);
  const uint8_t yExpected[2][6] = {{10, 11, 12, 13, 0, 0}, {40, 41, 42, 43, 0, 0}};
  const uint8_t cbExpected[2][4] = {{20, 21, 0, 0}, {50, 51, 0, 0}};
  const uint8_t crExpected[2][4] = {{30, 31, 0, 0}, {60, 61, 0, 0}};
  EXPECT_EQ(std::memcmp(y, yExpected, sizeof y), 0);
  EXPECT_EQ(std::memcmp(cb, cbExpected, sizeof cb), 0);
  EXPECT_EQ(std::memcmp(cr, crExpected, sizeof cr), 0);

  int16_t zigzag[64], natural[64];
  std::iota(zigzag, zigzag + 64, 0);
  ASSERT_EQ(ZigzagToNatural8x8(zigzag, natural), StatusOk);
  EXPECT_EQ(natural[1], 1);
  EXPECT_EQ(natural[8], 2);
  EXPECT_EQ(natural[16], 3);
  EXPECT_EQ(natural[9], 4);
  EXPECT_EQ(natural[2], 5);
  EXPECT_EQ(natural[63], 63);
  // The table is a permutation, and reordering in place gives the same block.
  std::vector<bool> seen(64);
  for (int k = 0; k < 64; ++k) seen[ZigzagNaturalIndex[k]] = true;
  EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 64);
  ASSERT_EQ(ZigzagToNatural8x8(zigzag, zigzag), StatusOk);
  EXPECT_EQ(std::memcmp(zigzag, natural, sizeof natural), 0);
}

// Every build against the plain one, on random sizes, steps and misaligned pointers; the large
// cases cross the streaming thresholds. |streaming| makes the decisions for a processor that
// reports a 512 KiB cache by both leaf 2 and leaf 4, so every streaming kernel runs.
void CompareBuildsWithPlain(bool streaming) {
  test::FakeCpu cpu;
  cpu.SetVendor("GenuineIntel", 4);
  cpu.Set(1, 0, {0x906EA, 0, 0, 0x04000000});
  cpu.Set(2, 0, {0x00000001, 0x80000000, 0x80000000, 0x00000043});  // 0x43: 512 KiB
  cpu.Set(4, 0, {0x3 | (2 << 5), (7u << 22) | 63u, 1023, 0});           // 512 KiB unified
  const CpuProbe probe = cpu.Probe();
  std::optional<ScopedStreamingProbe> scoped;
  if (streaming) scoped.emplace(probe);
  ASSERT_EQ(LargeImageStreams(0x100000), streaming);

  Rng rng{streaming ? 11u : 12u};
  const std::vector<uint8_t> src = RandomBytes(rng, (4 << 20) + 256);
  struct Shape {
    int32_t width, height;
  };
  const Shape shapes[] = {{1, 1}, {3, 7}, {15, 2}, {16, 16}, {33, 5}, {100, 50}, {257, 3},
                          {640, 480}, {1025, 600}, {2000, 1000}};
  for (const Shape& shape : shapes) {
    for (int variant = 0; variant < 3; ++variant) {
      const int32_t w = shape.width, h = shape.height;
      const size_t srcOff = rng.Below(16), dstOff = variant == 0 ? 0 : 1 + rng.Below(31);
      const int32_t pad = variant == 2 ? 0 : static_cast<int32_t>(rng.Below(40));
      SCOPED_TRACE(testing::Message() << w << "x" << h << " variant " << variant);

      // CopyBytes / CopyWords16 / ZeroBytes on w*h bytes.
      const int32_t n = w * h;
      auto oneD = [&](auto table, auto call) {
        Canvas expected(2 * static_cast<size_t>(n) + 64);
        call(table.Portable(), expected);
        for (auto [slot, fn] : Builds(table)) {
          Canvas got(2 * static_cast<size_t>(n) + 64);
          call(fn, got);
          ASSERT_TRUE(got == expected) << "slot " << slot;
        }
      };
      oneD(kCopyBytesTable, [&](CopyBytesFn fn, Canvas& c) {
        ASSERT_EQ(fn(src.data() + srcOff, c.at(dstOff), n), StatusOk);
      });
      oneD(kCopyWords16Table, [&](CopyWords16Fn fn, Canvas& c) {
        ASSERT_EQ(fn(reinterpret_cast<const int16_t*>(src.data() + 2 * (srcOff / 2)),
                     reinterpret_cast<int16_t*>(c.at(2 * (dstOff / 2))), n), StatusOk);
      });
      oneD(kZeroBytesTable, [&](ZeroBytesFn fn, Canvas& c) { ASSERT_EQ(fn(c.at(dstOff), n), StatusOk); });

      // 2-D primitives with their own steps.
      const int32_t srcStep8 = w + pad, dstStep8 = w + (variant == 2 ? 0 : pad + 3);
      auto twoD = [&](auto table, size_t bytes, auto call) {
        Canvas expected(bytes);
        call(table.Portable(), expected);
        for (auto [slot, fn] : Builds(table)) {
          Canvas got(bytes);
          call(fn, got);
          ASSERT_TRUE(got == expected) << "slot " << slot;
        }
      };
      twoD(kCopyImage8Table, static_cast<size_t>(dstStep8) * h + 32, [&](CopyImage8Fn fn, Canvas& c) {
        ASSERT_EQ(fn(src.data() + srcOff, srcStep8, c.at(dstOff), dstStep8, w, h), StatusOk);
      });
      if (size_t(2 * w + 2 * pad) * h < src.size() / 2) {
        const int32_t srcStep16 = 2 * (w + pad), dstStep16 = 2 * w + (variant == 2 ? 0 : 2 * pad + 6);
        twoD(kCopyImage16Table, static_cast<size_t>(dstStep16) * h + 32, [&](CopyImage16Fn fn, Canvas& c) {
          ASSERT_EQ(fn(reinterpret_cast<const int16_t*>(src.data() + 2 * (srcOff / 2)), srcStep16,
                       reinterpret_cast<int16_t*>(c.at(2 * (dstOff / 2))), dstStep16, w, h), StatusOk);
        });
        twoD(kWidenImage8To16Table, static_cast<size_t>(dstStep16) * h + 32, [&](WidenImage8To16Fn fn, Canvas& c) {
          ASSERT_EQ(fn(src.data() + srcOff, srcStep8, reinterpret_cast<int16_t*>(c.at(2 * (dstOff / 2))),
                       dstStep16, w, h), StatusOk);
        });
      }
      // 16-bit splits: planes side by side in one canvas.
      for (int32_t channels : {3, 4}) {
        const int32_t srcStep = 2 * channels * w + 2 * pad, dstStep = 2 * w + 2 * pad;
        if (static_cast<size_t>(srcStep) * h > src.size() - 64) continue;
        const size_t plane = static_cast<size_t>(dstStep) * h + 16;
        auto call = [&](auto fn, Canvas& c) {
          int16_t* planes[4];
          for (int32_t p = 0; p < 4; ++p) planes[p] = reinterpret_cast<int16_t*>(c.at(2 * (dstOff / 2) + p * plane));
          ASSERT_EQ(fn(reinterpret_cast<const int16_t*>(src.data() + 2 * (srcOff / 2)), srcStep, planes,
                       dstStep, w, h), StatusOk);
        };
        if (channels == 3) {
          twoD(kSplitImage3Channels16Table, 4 * plane + 32, call);
        } else {
          twoD(kSplitImage4Channels16Table, 4 * plane + 32, call);
        }
      }
    }
  }
}

TEST(Movement, EveryBuildEqualsThePlainBuild) { CompareBuildsWithPlain(false); }
TEST(Movement, EveryBuildEqualsThePlainBuildWhenStreaming) { CompareBuildsWithPlain(true); }

TEST(Movement, SplitsMatchTheirDefinition) {
  Rng rng{3};
  const int32_t w = 37, h = 5, pad = 3;
  const std::vector<uint8_t> src = RandomBytes(rng, 4 * 2 * (w + pad) * h);
  const auto* s16 = reinterpret_cast<const int16_t*>(src.data());
  std::vector<uint8_t> p8(4 * (w + pad) * h);
  std::vector<int16_t> p16(4 * (w + pad) * h);
  for (int32_t channels : {3, 4}) {
    uint8_t* planes8[4];
    int16_t* planes16[4];
    for (int c = 0; c < 4; ++c) planes8[c] = p8.data() + c * (w + pad) * h, planes16[c] = p16.data() + c * (w + pad) * h;
    if (channels == 3) {
      ASSERT_EQ(SplitImage3Channels8(src.data(), 3 * w + pad, planes8, w + pad, w, h), StatusOk);
      ASSERT_EQ(SplitImage3Channels16(s16, 2 * (3 * w + pad), planes16, 2 * (w + pad), w, h), StatusOk);
    } else {
      ASSERT_EQ(SplitImage4Channels8(src.data(), 4 * w + pad, planes8, w + pad, w, h), StatusOk);
      ASSERT_EQ(SplitImage4Channels16(s16, 2 * (4 * w + pad), planes16, 2 * (w + pad), w, h), StatusOk);
    }
    for (int r = 0; r < h; ++r) {
      for (int c = 0; c < channels; ++c) {
        for (int x = 0; x < w; ++x) {
          ASSERT_EQ(planes8[c][r * (w + pad) + x], src[r * (channels * w + pad) + channels * x + c]);
          ASSERT_EQ(planes16[c][r * (w + pad) + x], s16[r * (channels * w + pad) + channels * x + c]);
        }
      }
    }
  }
}

}  // namespace
}  // namespace vorn::jpeg::prim
