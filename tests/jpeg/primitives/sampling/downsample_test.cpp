#include "jpeg/primitives/sampling/downsample.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace vorn::jpeg::prim {
namespace {

struct Rng {
  uint64_t s;
  uint32_t Next() {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(s >> 33);
  }
};

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

// A row in a heap block of exactly |readable| bytes at an odd offset into its own
// allocation, so that the address sanitizer stops any read past the readable samples.
struct ExactRow {
  std::unique_ptr<uint8_t[]> block;
  uint8_t* data;
  ExactRow(Rng& rng, int32_t readable, int32_t offset)
      : block(new uint8_t[static_cast<size_t>(readable + offset)]), data(block.get() + offset) {
    for (int32_t i = 0; i < readable; ++i) data[i] = static_cast<uint8_t>(rng.Next());
  }
};

// A 2x2 call reads only its width; an odd width below 32 gets a last output from the last
// sample of both rows counted twice.
int32_t Outputs2x2(int32_t width) { return width < 32 ? (width + 1) / 2 : width / 2; }

TEST(DownsampleRows2x2, BiasAlternatesByOutputIndex) {
  for (auto [slot, fn] : Builds(kDownsampleRows2x2Table)) {
    SCOPED_TRACE(slot);
    const uint8_t a[4] = {0, 0, 0, 1}, b[4] = {0, 0, 0, 0};
    uint8_t out[2] = {9, 9};
    ASSERT_EQ(fn(a, b, 4, out), StatusOk);
    EXPECT_EQ(out[0], 0);  // (0 + 1) >> 2
    EXPECT_EQ(out[1], 0);  // (1 + 2) >> 2
    const uint8_t c[4] = {1, 1, 1, 1}, d[4] = {1, 1, 1, 0};
    ASSERT_EQ(fn(c, d, 4, out), StatusOk);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[1], 1);  // (3 + 2) >> 2

    // A sum of 2 in every block: bias 1 gives 0, bias 2 gives 1, on long rows too.
    std::vector<uint8_t> ones(200, 0), zeros(200, 0);
    for (int i = 0; i < 200; i += 2) ones[i] = 1, ones[i + 1] = 1;
    std::vector<uint8_t> wide(100);
    ASSERT_EQ(fn(ones.data(), zeros.data(), 200, wide.data()), StatusOk);
    for (int j = 0; j < 100; ++j) ASSERT_EQ(wide[j], j % 2) << j;
  }
}

TEST(DownsampleRows2x2, OutputCountsAndTheLastSampleOfAnOddWidth) {
  for (auto [slot, fn] : Builds(kDownsampleRows2x2Table)) {
    SCOPED_TRACE(slot);
    // w = 5: three outputs, the third from sample 4 of both rows, each counted twice.
    const uint8_t a[6] = {0, 0, 0, 0, 100, 40}, b[6] = {0, 0, 0, 0, 61, 0};
    uint8_t out[4] = {7, 7, 7, 7};
    ASSERT_EQ(fn(a, b, 5, out), StatusOk);
    EXPECT_EQ(out[2], (2 * 100 + 2 * 61 + 1) >> 2);
    EXPECT_EQ(out[3], 7);
    // w = 3: the second output has the odd bias.
    ASSERT_EQ(fn(a + 3, b + 3, 3, out), StatusOk);
    EXPECT_EQ(out[0], (0 + 100 + 0 + 61 + 1) >> 2);
    EXPECT_EQ(out[1], (2 * 40 + 2 * 0 + 2) >> 2);
    // w = 33: sixteen outputs, sample 32 unused.
    std::vector<uint8_t> row(33, 200), dst(18, 7);
    ASSERT_EQ(fn(row.data(), row.data(), 33, dst.data()), StatusOk);
    EXPECT_EQ(dst[15], 200);
    EXPECT_EQ(dst[16], 7);
  }
}

TEST(DownsampleRows2x2, EveryBuildEqualsTheDefinitionWithinItsContract) {
  Rng rng{3};
  const auto builds = Builds(kDownsampleRows2x2Table);
  std::vector<int32_t> widths;
  for (int32_t w = 1; w <= 200; ++w) widths.push_back(w);
  for (int32_t w : {255, 256, 257, 511, 1023, 1920, 3841}) widths.push_back(w);
  for (int32_t w : widths) {
    const int32_t outputs = Outputs2x2(w);
    ExactRow a(rng, w, static_cast<int32_t>(rng.Next() % 16));
    ExactRow b(rng, w, static_cast<int32_t>(rng.Next() % 16));
    std::vector<uint8_t> expected(outputs);
    for (int32_t j = 0; j < outputs; ++j) {
      const int32_t right = 2 * j + 1 < w ? 2 * j + 1 : 2 * j;  // the last sample again
      expected[j] = static_cast<uint8_t>(
          (a.data[2 * j] + a.data[right] + b.data[2 * j] + b.data[right] + 1 + (j & 1)) >> 2);
    }
    for (auto [slot, fn] : builds) {
      // The destination is exact too, at an offset that moves its alignment.
      const int32_t offset = static_cast<int32_t>(rng.Next() % 32);
      std::unique_ptr<uint8_t[]> out(new uint8_t[static_cast<size_t>(outputs + offset)]);
      ASSERT_EQ(fn(a.data, b.data, w, out.get() + offset), StatusOk);
      ASSERT_EQ(std::memcmp(out.get() + offset, expected.data(), expected.size()), 0)
          << "slot " << slot << " width " << w;
    }
  }
}

TEST(DownsampleRow2x1, BiasAndTheShortPath) {
  const uint8_t six[6] = {0, 1, 0, 1, 0, 1};
  uint8_t out[8];
  ASSERT_EQ(DownsampleRow2x1(six, 6, out), StatusOk);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], 1);
  EXPECT_EQ(out[2], 0);
  ASSERT_EQ(DownsampleRow2x1(six, 4, out), StatusOk);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[1], 0);

  // Pair sums of 1 show each output's bias directly.
  Rng rng{5};
  for (int32_t w = 1; w <= 1100; ++w) {
    std::vector<uint8_t> src(w);
    for (int32_t i = 0; i + 1 < w; i += 2) src[i] = 0, src[i + 1] = 1;
    if (w % 2) src[w - 1] = static_cast<uint8_t>(rng.Next());  // not used
    std::vector<uint8_t> dst(w / 2 + 1, 9);
    ASSERT_EQ(DownsampleRow2x1(src.data(), w, dst.data()), StatusOk);
    const int32_t n = w / 2;
    const bool backward = w == 4 || w == 8 || w == 12;
    for (int32_t i = 0; i < n; ++i) ASSERT_EQ(dst[i], backward ? 1 - (i & 1) : (i & 1)) << w << " " << i;
    ASSERT_EQ(dst[n], 9) << w;
  }

  // Full-range sums against the definition.
  std::vector<uint8_t> src(999), dst(499);
  for (auto& v : src) v = static_cast<uint8_t>(rng.Next());
  ASSERT_EQ(DownsampleRow2x1(src.data(), 999, dst.data()), StatusOk);
  for (int i = 0; i < 499; ++i) ASSERT_EQ(dst[i], (src[2 * i] + src[2 * i + 1] + (i & 1)) >> 1) << i;
}

TEST(Downsample, ArgumentChecksRunInOrderAndWriteNothing) {
  uint8_t row[8] = {};
  for (auto [slot, fn] : Builds(kDownsampleRows2x2Table)) {
    uint8_t out[4] = {9, 9, 9, 9};
    EXPECT_EQ(fn(nullptr, row, 8, out), StatusNullPointer) << slot;
    EXPECT_EQ(fn(row, nullptr, 8, out), StatusNullPointer) << slot;
    EXPECT_EQ(fn(row, row, 0, nullptr), StatusNullPointer) << slot;
    EXPECT_EQ(fn(row, row, 0, out), StatusBadSize) << slot;
    EXPECT_EQ(fn(row, row, -4, out), StatusBadSize) << slot;
    EXPECT_EQ(out[0], 9);
  }
  uint8_t out[4] = {9, 9, 9, 9};
  EXPECT_EQ(DownsampleRow2x1(nullptr, 8, out), StatusNullPointer);
  EXPECT_EQ(DownsampleRow2x1(row, 0, nullptr), StatusNullPointer);
  EXPECT_EQ(DownsampleRow2x1(row, 0, out), StatusBadSize);
  EXPECT_EQ(out[0], 9);
}

}  // namespace
}  // namespace vorn::jpeg::prim
