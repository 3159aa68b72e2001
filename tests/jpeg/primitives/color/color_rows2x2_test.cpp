// BgraToYCbCrRows2x2 in every build this machine runs equals the two passes it replaces: the
// full-resolution conversion of each row with its last pixel repeated to the padded width,
// then the 2x2 down-sampler over the two chroma rows. Many widths and paddings, a row used
// twice, misaligned rows; bytes past the outputs stay as they were.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "jpeg/primitives/color/color.h"
#include "jpeg/primitives/color/color_builds.h"
#include "jpeg/primitives/sampling/downsample.h"
#include "tests/jpeg/primitives/color/color_fixture.h"

namespace vorn::jpeg::prim {
namespace {

using test::FillRandom;
using test::Plane;

constexpr uint8_t kFill = 0x3C;
// Bytes checked past each output.
constexpr int32_t kGuard = 40;

struct Rows {
  std::vector<uint8_t> y0, y1, cb, cr;
  explicit Rows(int32_t paddedWidth)
      : y0(paddedWidth + kGuard, kFill),
        y1(paddedWidth + kGuard, kFill),
        cb(paddedWidth / 2 + kGuard, kFill),
        cr(paddedWidth / 2 + kGuard, kFill) {}
};

// The two passes: each row converted and padded, then the chroma rows down-sampled.
Rows TwoPasses(const uint8_t* row0, const uint8_t* row1, int32_t width, int32_t paddedWidth) {
  Rows out(paddedWidth);
  std::vector<uint8_t> cbFull[2], crFull[2];
  const uint8_t* rows[2] = {row0, row1};
  uint8_t* ys[2] = {out.y0.data(), out.y1.data()};
  for (int32_t r = 0; r < 2; ++r) {
    cbFull[r].assign(paddedWidth, 0);
    crFull[r].assign(paddedWidth, 0);
    uint8_t* dst[3] = {ys[r], cbFull[r].data(), crFull[r].data()};
    EXPECT_EQ(color::BgraToYCbCrPlanesS2(rows[r], 4 * width, dst, paddedWidth, width, 1),
              StatusOk);
    for (uint8_t* plane : dst) std::memset(plane + width, plane[width - 1], paddedWidth - width);
  }
  EXPECT_EQ(DownsampleRows2x2S2(cbFull[0].data(), cbFull[1].data(), paddedWidth, out.cb.data()),
            StatusOk);
  EXPECT_EQ(DownsampleRows2x2S2(crFull[0].data(), crFull[1].data(), paddedWidth, out.cr.data()),
            StatusOk);
  return out;
}

void ExpectSame(const Rows& got, const Rows& want) {
  EXPECT_EQ(got.y0, want.y0);
  EXPECT_EQ(got.y1, want.y1);
  EXPECT_EQ(got.cb, want.cb);
  EXPECT_EQ(got.cr, want.cr);
}

TEST(ColorRows2x2, EveryBuildEqualsConversionThenDownsampling) {
  std::mt19937 rng(21);
  const auto& table = kBgraToYCbCrRows2x2Table;
  const int32_t widths[] = {1, 2, 3, 7, 15, 16, 17, 31, 32, 33, 47, 48, 63, 64, 65, 100, 130, 1920};
  for (int32_t entry : kEntriesReferenceFirst) {
    if (!BuildRunsHere(entry)) continue;
    if (entry > 0 && entry < kProcessorSlots && table.slot[entry] == table.slot[entry - 1]) continue;
    const BgraToYCbCrRows2x2Fn build = entry == kPortableEntry ? table.Portable() : table.slot[entry];
    for (const int32_t width : widths) {
      for (const int32_t extra : {0, 1, 2, 15, 34}) {
        const int32_t paddedWidth = (width + extra + 1) & ~1;
        for (const bool sameRow : {false, true}) {
          SCOPED_TRACE(testing::Message() << "entry " << entry << " width " << width << " padded "
                                          << paddedWidth << (sameRow ? " one row" : ""));
          Plane src(4 * width, 2, 0, 1 + width % 3, 0);
          FillRandom(src, rng);
          const uint8_t* row0 = src.data();
          const uint8_t* row1 = sameRow ? row0 : row0 + src.step;
          const Rows want = TwoPasses(row0, row1, width, paddedWidth);
          Rows got(paddedWidth);
          ASSERT_EQ(build(row0, row1, width, paddedWidth, got.y0.data(), got.y1.data(),
                          got.cb.data(), got.cr.data()),
                    StatusOk);
          ExpectSame(got, want);
        }
      }
    }
  }
}

// The public entry in every slot, on rows of extreme pixels whose chroma sums sit at the
// rounding edges of the down-sampler.
TEST(ColorRows2x2, DispatchedEntryOnExtremePixels) {
  const int32_t width = 96;
  std::vector<uint8_t> src(2 * 4 * width);
  for (size_t i = 0; i < src.size(); ++i) src[i] = (i * 37 + i / 7) % 3 == 0 ? 0 : 255;
  const Rows want = TwoPasses(src.data(), src.data() + 4 * width, width, width);
  for (int32_t slot = 0; slot < kProcessorSlots; ++slot) {
    if (!BuildRunsHere(slot)) continue;
    SCOPED_TRACE(slot);
    ScopedProcessorIndex force(slot);
    Rows got(width);
    ASSERT_EQ(BgraToYCbCrRows2x2(src.data(), src.data() + 4 * width, width, width, got.y0.data(),
                                 got.y1.data(), got.cb.data(), got.cr.data()),
              StatusOk);
    ExpectSame(got, want);
  }
}

// Refused arguments write nothing, in every build.
TEST(ColorRows2x2, RefusedArgumentsWriteNothing) {
  const auto& table = kBgraToYCbCrRows2x2Table;
  std::vector<uint8_t> src(4 * 64, 9);
  struct Case {
    int32_t width, paddedWidth, nullAt;  // nullAt: argument made null, -1 none
    PrimitiveStatus expected;
  };
  const Case cases[] = {{16, 16, 0, StatusNullPointer}, {16, 16, 1, StatusNullPointer},
                        {16, 16, 2, StatusNullPointer}, {16, 16, 3, StatusNullPointer},
                        {16, 16, 4, StatusNullPointer}, {16, 16, 5, StatusNullPointer},
                        {0, 16, -1, StatusBadSize},     {-4, 16, -1, StatusBadSize},
                        {16, 14, -1, StatusBadSize},    {15, 17, -1, StatusBadSize},
                        {0, 0, 2, StatusNullPointer}};
  for (int32_t entry : kEntriesReferenceFirst) {
    if (!BuildRunsHere(entry)) continue;
    const BgraToYCbCrRows2x2Fn build = entry == kPortableEntry ? table.Portable() : table.slot[entry];
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << "entry " << entry << " width " << c.width << " padded "
                                      << c.paddedWidth << " null " << c.nullAt);
      Rows got(64);
      const Rows untouched(64);
      const uint8_t* rows[2] = {src.data(), src.data()};
      uint8_t* outs[4] = {got.y0.data(), got.y1.data(), got.cb.data(), got.cr.data()};
      if (c.nullAt >= 0 && c.nullAt < 2) rows[c.nullAt] = nullptr;
      if (c.nullAt >= 2) outs[c.nullAt - 2] = nullptr;
      EXPECT_EQ(build(rows[0], rows[1], c.width, c.paddedWidth, outs[0], outs[1], outs[2], outs[3]),
                c.expected);
      ExpectSame(got, untouched);
    }
  }
}

}  // namespace
}  // namespace vorn::jpeg::prim
