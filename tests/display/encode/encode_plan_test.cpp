// The encode thread's decisions as tables: format, staging need, the 32-pixel grid and the
// choice between full frame, band and patch.
#include <gtest/gtest.h>

#include <iterator>
#include <vector>

#include "display/encode/encode_plan.h"
#include "display/encode/encode_thread.h"

namespace vorn::display {
namespace {

TEST(EncodePlanTest, FormatFollowsDeviceVersionModeAndWidth) {
  struct Case {
    const char* what;
    FormatRequest q;
    FormatChoice want;
  };
  const Case cases[] = {
      {"JPEG", {8, 0, false, false, 1920}, {13, false}},
      {"YUV", {8, 1, false, false, 1920}, {6, false}},
      {"YUV preferred", {8, 0, true, false, 1920}, {6, false}},
      {"YUV at a width not a multiple of 16 goes planar and whole", {8, 1, false, false, 1366},
       {4, true}},
      {"RGB", {8, 2, false, false, 1366}, {9, false}},
      {"RGB refresh pending", {8, 0, false, true, 1366}, {9, false}},
      {"old device JPEG", {2, 0, false, false, 1920}, {13, false}},
      {"old device YUV is planar and whole", {2, 1, false, false, 1920}, {4, true}},
      {"old device RGB has no ring: planar, whole", {2, 2, false, false, 1920}, {4, true}},
  };
  for (const Case& c : cases) {
    const FormatChoice got = ChooseFormat(c.q);
    EXPECT_EQ(got.Format, c.want.Format) << c.what;
    EXPECT_EQ(got.ForceFull, c.want.ForceFull) << c.what;
  }
}

TEST(EncodePlanTest, SlowJpegMovesToYuvOnlyAboveTheLimit) {
  // 501 timed frames on a 10 MHz counter; the total is ticks times 1000.
  constexpr uint64_t f = 10'000'000;
  const auto total = [](uint64_t msEach) { return msEach * 501 * f / 1000 * 1000; };
  EXPECT_TRUE(JpegTooSlow(total(41), 501, f, kAdaptiveMsPerFrame));
  EXPECT_FALSE(JpegTooSlow(total(40), 501, f, kAdaptiveMsPerFrame));
  // 40.9 ms on average is 40 in whole milliseconds: it stays JPEG.
  EXPECT_FALSE(JpegTooSlow(total(40) + 501 * f / 1000 * 900, 501, f, kAdaptiveMsPerFrame));
  EXPECT_FALSE(JpegTooSlow(total(41), 0, f, kAdaptiveMsPerFrame));
  EXPECT_FALSE(JpegTooSlow(total(41), 501, 0, kAdaptiveMsPerFrame));
}

TEST(EncodePlanTest, StagingNeedPerFormat) {
  EXPECT_EQ(StagingNeed(9, 1366, 768, false), uint64_t{4128} * 768 + 80);
  EXPECT_EQ(StagingNeed(6, 1920, 1080, false), uint64_t{2} * 1920 * 1080);
  EXPECT_EQ(StagingNeed(4, 1920, 1080, false), uint64_t{2} * 1920 * 1080);
  EXPECT_EQ(StagingNeed(13, 1920, 1080, false), uint64_t{1920} * 1080);
  EXPECT_EQ(StagingNeed(13, 1920, 1080, true), uint64_t{2} * 1920 * 1080);
}

TEST(EncodePlanTest, RectanglesSnapToTheGrid) {
  struct Case {
    const char* what;
    EncodeRect in;
    int32_t w, h;
    EncodeRect want;
  };
  const Case cases[] = {
      {"one pixel", {100, 200, 101, 201}, 1920, 1080, {96, 192, 128, 224}},
      {"at the origin", {0, 0, 10, 10}, 1920, 1080, {0, 0, 32, 32}},
      {"32 goes to the line below", {32, 32, 64, 64}, 1920, 1080, {0, 0, 64, 64}},
      {"33 stays on its line", {33, 33, 40, 40}, 1920, 1080, {32, 32, 64, 64}},
      {"right edge of 1366 grows leftwards", {1360, 0, 1366, 10}, 1366, 768,
       {1312, 0, 1366, 32}},
      {"bottom edge of 1050", {0, 1040, 40, 1050}, 1680, 1050, {0, 992, 64, 1050}},
      {"clamped to the mode", {-10, -10, 2000, 1100}, 1920, 1080, {0, 0, 1920, 1080}},
      {"whole screen", {0, 0, 1366, 768}, 1366, 768, {0, 0, 1366, 768}},
      // A mode below the grid: the grown side stays inside and keeps 8 rows.
      {"tiny mode keeps inside", {0, 33, 10, 36}, 40, 36, {0, 28, 32, 36}},
  };
  for (const Case& c : cases) EXPECT_EQ(AlignToGrid(c.in, c.w, c.h), c.want) << c.what;
}

TEST(EncodePlanTest, FullBandOrPatch) {
  constexpr int32_t W = 1920, H = 1080;
  // 71 % and exactly 70 % of the screen, aligned.
  const EncodeRect big{0, 0, 1920, 767};   // 1920 x 767 = 71.0 %
  const EncodeRect seventy{0, 0, 1344, 1080};  // 70 % exactly
  const EncodeRect small{96, 192, 128, 224};
  const EncodeRect none{0, 0, 0, 0};
  struct Case {
    const char* what;
    EncodeRect rect;
    uint32_t flip, rotation, format;
    EncodeRect band;
    uint32_t last;
    UpdateShape want;
    EncodeRect wantRect;
  };
  const EncodeRect whole{0, 0, W, H};
  const Case cases[] = {
      {"71 % is a full frame", big, 0, 0, 13, none, 6, UpdateShape::Full, whole},
      {"70 % is a patch", seventy, 0, 0, 13, none, 6, UpdateShape::Patch, seventy},
      {"patch-only keeps 71 % a patch", big, 2, 0, 13, none, 6, UpdateShape::Patch, big},
      {"small patch", small, 0, 0, 13, none, 6, UpdateShape::Patch, small},
      {"FlipMode 1 is always whole", small, 1, 0, 13, none, 6, UpdateShape::Full, whole},
      {"band spans the width", small, 3, 0, 13, none, 6, UpdateShape::Band,
       {0, 192, W, 224}},
      {"band grows with the band so far", small, 3, 0, 6, {0, 0, W, 100}, 6,
       UpdateShape::Band, {0, 0, W, 224}},
      {"band above 70 % is a full frame", small, 3, 0, 13, {0, 0, W, 1000}, 6,
       UpdateShape::Full, whole},
      {"RGB band goes as a patch", small, 3, 0, 9, none, 9, UpdateShape::Patch,
       {0, 192, W, 224}},
      {"RGB patch over a JPEG frame is whole", small, 0, 0, 9, none, 6,
       UpdateShape::Full, whole},
      {"YUV patch over an RGB frame is whole", small, 2, 0, 6, none, 9,
       UpdateShape::Full, whole},
      {"JPEG patch over an RGB frame", small, 0, 0, 13, none, 9, UpdateShape::Patch,
       small},
      {"no frame on the device yet", small, 2, 0, 13, none, 0, UpdateShape::Full, whole},
      {"planar is always whole", small, 0, 0, 4, none, 4, UpdateShape::Full, whole},
      {"rotated band runs the height", small, 3, 1, 13, none, 6, UpdateShape::Band,
       {96, 0, 128, H}},
      {"rotated band skips the area test", {0, 0, 1800, 1080}, 3, 1, 13, none, 6,
       UpdateShape::Band, {0, 0, 1800, H}},
      {"rotated patch-only", big, 2, 2, 13, none, 6, UpdateShape::Patch, big},
      {"rotated FlipMode 0 area test", big, 0, 3, 13, none, 6, UpdateShape::Full, whole},
  };
  // A refresh is the whole screen, shaped by the same rules; it stays a full frame only
  // where its shape would be one the device cannot take.
  const Case refreshes[] = {
      {"refresh under FlipMode 0", whole, 0, 0, 13, none, 6, UpdateShape::Full, whole},
      {"refresh under patch-only is a patch", whole, 2, 0, 13, none, 6, UpdateShape::Patch,
       whole},
      {"YUV refresh under patch-only", whole, 2, 0, 6, none, 6, UpdateShape::Patch, whole},
      {"RGB refresh under patch-only over RGB", whole, 2, 0, 9, none, 9, UpdateShape::Patch,
       whole},
      {"RGB refresh under patch-only over JPEG is whole", whole, 2, 0, 9, none, 6,
       UpdateShape::Full, whole},
      {"refresh under bands is above 70 %", whole, 3, 0, 13, none, 6, UpdateShape::Full, whole},
      {"rotated refresh under bands is a band", whole, 3, 1, 13, none, 6, UpdateShape::Band,
       whole},
      {"rotated YUV refresh under bands", whole, 3, 3, 6, {10, 0, 40, H}, 6, UpdateShape::Band,
       whole},
      {"rotated RGB refresh under bands over RGB", whole, 3, 2, 9, none, 9, UpdateShape::Patch,
       whole},
      {"rotated RGB refresh under bands over YUV is whole", whole, 3, 1, 9, none, 6,
       UpdateShape::Full, whole},
      {"rotated refresh under patch-only", whole, 2, 3, 13, none, 6, UpdateShape::Patch, whole},
      {"rotated refresh under FlipMode 0", whole, 0, 1, 13, none, 6, UpdateShape::Full, whole},
      {"planar refresh is whole in band mode too", whole, 3, 1, 4, none, 4, UpdateShape::Full,
       whole},
  };
  std::vector<Case> all(std::begin(cases), std::end(cases));
  all.insert(all.end(), std::begin(refreshes), std::end(refreshes));
  for (const Case& c : all) {
    ShapeRequest q{};
    q.Rect = c.rect;
    q.FlipMode = c.flip;
    q.Rotation = c.rotation;
    q.Format = c.format;
    q.ModeWidth = W;
    q.ModeHeight = H;
    q.DeviceWidth = c.rotation & 1 ? H : W;
    q.MaxPixels = 1920 * 1080;
    q.Band = c.band;
    q.LastFullLayout = c.last;
    const ShapeChoice got = ChooseShape(q);
    EXPECT_EQ(got.Shape, c.want) << c.what;
    EXPECT_EQ(got.Rect, c.wantRect) << c.what;
  }
}

TEST(EncodePlanTest, WideYuvViewsAreHeldToMaxPixels) {
  ShapeRequest q{};
  q.Rect = {0, 0, 2560, 700};  // 1,792,000 pixels, 48.6 % of 2560 x 1440
  q.Format = 6;
  q.ModeWidth = 2560;
  q.ModeHeight = 1440;
  q.DeviceWidth = 2560;
  q.MaxPixels = 1'500'000;
  q.LastFullLayout = 6;
  EXPECT_EQ(ChooseShape(q).Shape, UpdateShape::Full);
  q.MaxPixels = 2'000'000;
  EXPECT_EQ(ChooseShape(q).Shape, UpdateShape::Patch);
  q.Format = 13;
  q.MaxPixels = 1'500'000;
  EXPECT_EQ(ChooseShape(q).Shape, UpdateShape::Patch);
}

}  // namespace
}  // namespace vorn::display
