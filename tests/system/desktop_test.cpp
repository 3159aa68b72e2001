// The desktop source: the same seed draws the same pixels, every step's dirty rectangles hold
// every pixel the step changed, and the scene has what a real desktop has (flat areas, text,
// a busy photo region, motion) on surfaces from tiny to full size.
#include <gtest/gtest.h>

#include <set>

#include "sim/host/desktop.h"

namespace vorn::host {
namespace {

bool Inside(const std::vector<HostRect>& rects, uint32_t x, uint32_t y) {
  for (const HostRect& r : rects)
    if (x >= r.Left && x < r.Right && y >= r.Top && y < r.Bottom) return true;
  return false;
}

TEST(Desktop, SameSeedSamePixelsOtherSeedOtherPixels) {
  Desktop a(320, 240), b(320, 240), c(320, 240);
  DesktopScene sa(a, {.seed = 7}), sb(b, {.seed = 7}), sc(c, {.seed = 8});
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(sa.Step().size(), sb.Step().size());
    sc.Step();
  }
  EXPECT_TRUE(a.pixels() == b.pixels());
  EXPECT_FALSE(a.pixels() == c.pixels());
}

TEST(Desktop, DirtyRectanglesHoldEveryChangedPixel) {
  struct Case {
    uint32_t w, h;
    SceneOptions o;
  };
  const Case cases[] = {
      {640, 480, {.seed = 1}},
      {333, 201, {.seed = 2, .windows = 4, .photo_every = 1}},
      {64, 48, {.seed = 3, .windows = 3}},
      {8, 5, {.seed = 4}},
  };
  for (const Case& c : cases) {
    Desktop d(c.w, c.h);
    DesktopScene scene(d, c.o);
    std::vector<HostRect> first = scene.Step();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].Right, c.w);
    EXPECT_EQ(first[0].Bottom, c.h);
    uint64_t changed_pixels = 0;
    for (int step = 1; step < 40; ++step) {
      const std::vector<uint8_t> before = d.pixels();
      const std::vector<HostRect> dirty = scene.Step();
      for (const HostRect& r : dirty) {
        ASSERT_LT(r.Left, r.Right);
        ASSERT_LT(r.Top, r.Bottom);
        ASSERT_LE(r.Right, c.w);
        ASSERT_LE(r.Bottom, c.h);
      }
      for (uint32_t y = 0; y < c.h; ++y)
        for (uint32_t x = 0; x < c.w; ++x) {
          const size_t i = (size_t{y} * c.w + x) * 4;
          if (std::memcmp(&before[i], &d.pixels()[i], 4) == 0) continue;
          ++changed_pixels;
          ASSERT_TRUE(Inside(dirty, x, y)) << c.w << "x" << c.h << " step " << step << " at "
                                           << x << "," << y;
        }
    }
    EXPECT_GT(changed_pixels, 0u) << c.w << "x" << c.h;
    for (size_t i = 3; i < d.pixels().size(); i += 4) ASSERT_EQ(d.pixels()[i], 0xFF);
  }
}

TEST(Desktop, SceneHasFlatAreasTextAndABusyPhoto) {
  Desktop d(640, 480);
  DesktopScene scene(d, {.seed = 5});
  scene.Step();
  // The photo region (right half, upper part) is busy: many colours in a 64 x 64 piece.
  std::set<Rgb> photo;
  for (uint32_t y = 100; y < 164; ++y)
    for (uint32_t x = 400; x < 464; ++x) photo.insert(d.At(x, y));
  EXPECT_GT(photo.size(), 1000u);
  // The whole desktop has few colours outside the photo: flat fills and two-tone text.
  std::set<Rgb> rest;
  for (uint32_t y = 0; y < 480; ++y)
    for (uint32_t x = 0; x < 640; ++x)
      if (!(x >= 320 && x < 560 && y >= 60 && y < 240)) rest.insert(d.At(x, y));
  EXPECT_LT(rest.size(), 40u);
  EXPECT_GT(rest.size(), 6u);
}

TEST(Desktop, DrawingClipsToTheSurfaceAndNotesWhatChanged) {
  Desktop d(100, 50);
  d.Fill({90, 40, 500, 500}, 0x123456);
  d.Fill({10, 10, 5, 20}, 0xFFFFFF);  // right < left: nothing
  d.Cursor(-5, -5);
  const HostRect clip{0, 0, 3, 3};
  d.Text({0, 0, 100, 50}, 0, 0xFFFFFF, 0, 1, &clip);
  const std::vector<HostRect> dirty = d.TakeDirty();
  ASSERT_EQ(dirty.size(), 3u);
  EXPECT_EQ(dirty[0].Right, 100u);
  EXPECT_EQ(dirty[0].Bottom, 50u);
  EXPECT_EQ(d.At(99, 49), 0x123456u);
  EXPECT_EQ(d.At(89, 49), 0u);
  EXPECT_EQ(dirty[1].Left, 0u);
  EXPECT_EQ(dirty[1].Right, 7u);  // the 12-pixel-wide arrow, 5 of it left of the surface
  EXPECT_EQ(dirty[2].Right, 3u);
  EXPECT_TRUE(d.TakeDirty().empty());
}

}  // namespace
}  // namespace vorn::host
