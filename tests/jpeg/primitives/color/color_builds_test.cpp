// Every build this machine runs gives the plain build's bytes, over random images of many
// widths, misaligned rows, padded steps and (for the 4-byte conversions) bottom-up steps;
// bytes outside the image must come out as they went in. The public entries dispatch to the
// build of the current slot.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "jpeg/primitives/color/color.h"
#include "jpeg/primitives/color/color_builds.h"
#include "tests/jpeg/primitives/color/color_fixture.h"

namespace vorn::jpeg::prim {
namespace {

using test::FillRandom;
using test::Plane;

const int32_t kWidths[] = {1, 2, 3, 5, 7, 15, 16, 17, 31, 32, 33, 47, 63, 64, 65, 66, 97, 130};

struct Output {
  Plane y, cb, cr;
};

Output Make420(int32_t w, int32_t h, int32_t misalign) {
  return {Plane(w, h, 5, misalign, 0x3C), Plane(w / 2, h / 2, 3, misalign, 0x3C),
          Plane(w / 2, h / 2, 7, 0, 0x3C)};
}

TEST(ColorBuilds, BgraToYCbCr420PlanesMatchesS2) {
  std::mt19937 rng(11);
  const auto& table = kBgraToYCbCr420PlanesTable;
  for (int32_t slot = 0; slot < kProcessorSlots; ++slot) {
    if (!BuildRunsHere(slot) || table.slot[slot] == table.Portable()) continue;
    if (slot > 0 && table.slot[slot] == table.slot[slot - 1]) continue;
    for (const int32_t w : kWidths) {
      for (const int32_t h : {2, 3, 6}) {
        for (const bool upwards : {false, true}) {
          if (w < 2) continue;
          const int32_t misalign = (w + h) % 4;
          SCOPED_TRACE(testing::Message()
                       << "slot " << slot << " " << w << "x" << h << (upwards ? " up" : ""));
          Plane src(4 * w, h, 4 * (w % 3), misalign + 1, 0);
          FillRandom(src, rng);
          Output ref = Make420(w, h, misalign), got = Make420(w, h, misalign);
          // Upwards: the source, Y and Cb walk from their last row; Cr keeps walking down.
          auto start = [&](Plane& p) { return upwards ? p.last() : p.data(); };
          uint8_t* refDst[3] = {start(ref.y), start(ref.cb), ref.cr.data()};
          uint8_t* gotDst[3] = {start(got.y), start(got.cb), got.cr.data()};
          const int32_t sign = upwards ? -1 : 1;
          const int32_t steps[3] = {sign * ref.y.step, sign * ref.cb.step, ref.cr.step};
          const uint8_t* s = upwards ? src.last() : src.data();
          const PrimitiveStatus expected = table.Portable()(s, sign * src.step, refDst, steps, w, h);
          ASSERT_EQ(table.slot[slot](s, sign * src.step, gotDst, steps, w, h), expected);
          ASSERT_EQ(got.y.bytes, ref.y.bytes);
          ASSERT_EQ(got.cb.bytes, ref.cb.bytes);
          ASSERT_EQ(got.cr.bytes, ref.cr.bytes);
        }
      }
    }
  }
}

TEST(ColorBuilds, BgraToYCbCrPlanesMatchesS2) {
  std::mt19937 rng(12);
  const auto& table = kBgraToYCbCrPlanesTable;
  for (int32_t slot = 0; slot < kProcessorSlots; ++slot) {
    if (!BuildRunsHere(slot) || table.slot[slot] == table.Portable()) continue;
    if (slot > 0 && table.slot[slot] == table.slot[slot - 1]) continue;
    for (const int32_t w : kWidths) {
      for (const bool upwards : {false, true}) {
        const int32_t h = 3, misalign = w % 4;
        SCOPED_TRACE(testing::Message()
                     << "slot " << slot << " width " << w << (upwards ? " up" : ""));
        Plane src(4 * w, h, 4 * (w % 2), misalign, 0);
        FillRandom(src, rng);
        Plane ref[3] = {Plane(w, h, 3, misalign, 0x3C), Plane(w, h, 3, misalign, 0x3C),
                        Plane(w, h, 3, misalign, 0x3C)};
        Plane got[3] = {ref[0], ref[1], ref[2]};
        uint8_t *refDst[3], *gotDst[3];
        for (int p = 0; p < 3; ++p) {
          refDst[p] = upwards ? ref[p].last() : ref[p].data();
          gotDst[p] = upwards ? got[p].last() : got[p].data();
        }
        const uint8_t* s = upwards ? src.last() : src.data();
        const int32_t srcStep = upwards ? -src.step : src.step;
        const int32_t dstStep = upwards ? -ref[0].step : ref[0].step;
        ASSERT_EQ(table.Portable()(s, srcStep, refDst, dstStep, w, h), StatusOk);
        ASSERT_EQ(table.slot[slot](s, srcStep, gotDst, dstStep, w, h), StatusOk);
        for (int p = 0; p < 3; ++p) ASSERT_EQ(got[p].bytes, ref[p].bytes) << "plane " << p;
      }
    }
  }
}

// A 1080p frame through the public entry in every slot this machine runs.
TEST(ColorBuilds, FullFrameThroughDispatch) {
  std::mt19937 rng(13);
  const int32_t w = 1920, h = 1080;
  Plane src(4 * w, h, 0, 0, 0);
  FillRandom(src, rng);
  Output ref = Make420(w, h, 0);
  uint8_t* refDst[3] = {ref.y.data(), ref.cb.data(), ref.cr.data()};
  const int32_t steps[3] = {ref.y.step, ref.cb.step, ref.cr.step};
  ASSERT_EQ(kBgraToYCbCr420PlanesTable.Portable()(src.data(), src.step, refDst, steps, w, h),
            StatusOk);
  Plane ref444[3] = {Plane(w, h, 0, 0, 0), Plane(w, h, 0, 0, 0), Plane(w, h, 0, 0, 0)};
  uint8_t* ref444Dst[3] = {ref444[0].data(), ref444[1].data(), ref444[2].data()};
  ASSERT_EQ(kBgraToYCbCrPlanesTable.Portable()(src.data(), src.step, ref444Dst, w, w, h), StatusOk);
  for (int32_t slot : kEntriesReferenceFirst) {
    if (!BuildRunsHere(slot)) continue;
    SCOPED_TRACE(slot);
    ScopedProcessorIndex force(slot);
    Output got = Make420(w, h, 0);
    uint8_t* gotDst[3] = {got.y.data(), got.cb.data(), got.cr.data()};
    ASSERT_EQ(BgraToYCbCr420Planes(src.data(), src.step, gotDst, steps, w, h), StatusOk);
    EXPECT_EQ(got.y.bytes, ref.y.bytes);
    EXPECT_EQ(got.cb.bytes, ref.cb.bytes);
    EXPECT_EQ(got.cr.bytes, ref.cr.bytes);
    Plane got444[3] = {Plane(w, h, 0, 0, 0), Plane(w, h, 0, 0, 0), Plane(w, h, 0, 0, 0)};
    uint8_t* got444Dst[3] = {got444[0].data(), got444[1].data(), got444[2].data()};
    ASSERT_EQ(BgraToYCbCrPlanes(src.data(), src.step, got444Dst, w, w, h), StatusOk);
    for (int p = 0; p < 3; ++p) EXPECT_EQ(got444[p].bytes, ref444[p].bytes);
  }
}

// Slots 0 and 1 hold the SSE2 build; slots without a build of their own share the nearest
// lower one; families with only the portable build have it everywhere.
TEST(ColorBuilds, TableSharing) {
  auto sse2AndAvx2 = [](const auto& t) {
    EXPECT_NE(t.slot[0], t.Portable());
    EXPECT_EQ(t.slot[0], t.slot[1]);
    for (int32_t s = 2; s <= 5; ++s) EXPECT_EQ(t.slot[s], t.slot[1]);
    EXPECT_NE(t.slot[6], t.slot[5]);
  };
  sse2AndAvx2(kBgraToYCbCr420PlanesTable);
  sse2AndAvx2(kBgraToYCbCrPlanesTable);
  EXPECT_EQ(kBgraToYCbCr420PlanesTable.Portable(), &color::BgraToYCbCr420PlanesS2);
  EXPECT_EQ(kBgraToYCbCrPlanesTable.Portable(), &color::BgraToYCbCrPlanesS2);
  for (int32_t s = 0; s < kProcessorSlots; ++s) {
    EXPECT_EQ(kRgbaToYCbCrPlanesTable.slot[s], kRgbaToYCbCrPlanesTable.Portable());
    EXPECT_EQ(kBgrToYCbCrPlanesTable.slot[s], kBgrToYCbCrPlanesTable.Portable());
    EXPECT_EQ(kRgbToYCbCrPlanesTable.slot[s], kRgbToYCbCrPlanesTable.Portable());
    EXPECT_EQ(kPlanarRgbToYCbCrTable.slot[s], kPlanarRgbToYCbCrTable.Portable());
    EXPECT_EQ(kRgbToGrayTable.slot[s], kRgbToGrayTable.Portable());
    EXPECT_EQ(kCmykToYcckPlanesTable.slot[s], kCmykToYcckPlanesTable.Portable());
  }
}

}  // namespace
}  // namespace vorn::jpeg::prim
