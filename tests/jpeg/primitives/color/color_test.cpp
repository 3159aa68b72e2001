// The arithmetic of each conversion against per-sample formulas, the named edge cases, and
// the argument checks of every build this machine runs.
#include "jpeg/primitives/color/color.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "tests/jpeg/primitives/color/color_fixture.h"

namespace vorn::jpeg::prim {
namespace {

using test::FillRandom;
using test::Plane;

int32_t Clamp(int32_t v) { return std::clamp(v, 0, 255); }

std::vector<int32_t> RunnableSlots() {
  std::vector<int32_t> slots;
  for (int32_t s : kEntriesReferenceFirst) {
    if (BuildRunsHere(s)) slots.push_back(s);
  }
  return slots;
}

TEST(ColorArithmetic, BgraToYCbCr420Planes) {
  std::mt19937 rng(1);
  for (const auto& [w, h] : std::vector<std::pair<int, int>>{{2, 2}, {6, 4}, {5, 3}, {37, 9}}) {
    SCOPED_TRACE(testing::Message() << w << "x" << h);
    Plane src(4 * w, h, 3, 0, 0);
    FillRandom(src, rng);
    Plane y(w, h, 2, 0, 0xEE), cb(w / 2, h / 2, 1, 0, 0xEE), cr(w / 2, h / 2, 0, 0, 0xEE);
    uint8_t* dst[3] = {y.data(), cb.data(), cr.data()};
    const int32_t steps[3] = {y.step, cb.step, cr.step};
    const PrimitiveStatus expected = (w % 2 || h % 2) ? StatusOddSize : StatusOk;
    ASSERT_EQ(BgraToYCbCr420Planes(src.data(), src.step, dst, steps, w, h), expected);
    for (int32_t i = 0; i < h / 2; ++i) {
      for (int32_t j = 0; j < w / 2; ++j) {
        int32_t sb = 0, sg = 0, sr = 0;
        for (int32_t p = 0; p < 4; ++p) {
          const int32_t row = 2 * i + p / 2, col = 2 * j + p % 2;
          const int32_t b = src.at(row, 4 * col), g = src.at(row, 4 * col + 1),
                        r = src.at(row, 4 * col + 2);
          ASSERT_EQ(y.at(row, col), (7471 * b + 38470 * g + 19595 * r + 32768) >> 16);
          sb += b, sg += g, sr += r;
        }
        ASSERT_EQ(cb.at(i, j), 128 + ((32768 * sb - 21709 * sg - 11059 * sr + 32768) >> 18));
        ASSERT_EQ(cr.at(i, j), 128 + ((32768 * sr - 27439 * sg - 5329 * sb + 32768) >> 18));
      }
    }
    // The odd column and row of Y stay as they were.
    for (int32_t row = 0; row < h; ++row) {
      for (int32_t col = 0; col < w; ++col) {
        if (row >= h / 2 * 2 || col >= w / 2 * 2) {
          ASSERT_EQ(y.at(row, col), 0xEE);
        }
      }
    }
  }
}

TEST(ColorArithmetic, FourBytePlanesRoundYDifferently) {
  std::mt19937 rng(2);
  const int32_t w = 23, h = 3;
  Plane src(4 * w, h, 4, 0, 0);
  FillRandom(src, rng);
  for (const bool rgba : {true, false}) {
    SCOPED_TRACE(rgba ? "Rgba" : "Bgra");
    Plane y(w, h, 0, 0, 0), cb(w, h, 0, 0, 0), cr(w, h, 0, 0, 0);
    uint8_t* dst[3] = {y.data(), cb.data(), cr.data()};
    const auto fn = rgba ? RgbaToYCbCrPlanes : BgraToYCbCrPlanes;
    ASSERT_EQ(fn(src.data(), src.step, dst, w, w, h), StatusOk);
    const int32_t yRound = rgba ? 32768 : 16384;
    for (int32_t row = 0; row < h; ++row) {
      for (int32_t x = 0; x < w; ++x) {
        const int32_t r = src.at(row, 4 * x + (rgba ? 0 : 2)), g = src.at(row, 4 * x + 1),
                      b = src.at(row, 4 * x + (rgba ? 2 : 0));
        ASSERT_EQ(y.at(row, x), (19595 * r + 38470 * g + 7471 * b + yRound) >> 16);
        ASSERT_EQ(cb.at(row, x), 128 + ((32768 * b - 21709 * g - 11059 * r + 16384) >> 16));
        ASSERT_EQ(cr.at(row, x), 128 + ((32768 * r - 27439 * g - 5329 * b + 16384) >> 16));
      }
    }
  }
}

// 15-bit coefficients inside the whole groups of 8, 14-bit ones after them.
TEST(ColorArithmetic, ThreeBytePlanesByPosition) {
  std::mt19937 rng(3);
  for (const int32_t w : {1, 4, 7, 8, 13, 16, 21}) {
    for (const bool rgb : {true, false}) {
      SCOPED_TRACE(testing::Message() << (rgb ? "Rgb " : "Bgr ") << w);
      const int32_t h = 2;
      Plane src(3 * w, h, 1, 0, 0);
      FillRandom(src, rng);
      Plane y(w, h, 3, 0, 0), cb(w, h, 3, 0, 0), cr(w, h, 3, 0, 0);
      uint8_t* dst[3] = {y.data(), cb.data(), cr.data()};
      const auto fn = rgb ? RgbToYCbCrPlanes : BgrToYCbCrPlanes;
      ASSERT_EQ(fn(src.data(), src.step, dst, y.step, w, h), StatusOk);
      for (int32_t row = 0; row < h; ++row) {
        for (int32_t x = 0; x < w; ++x) {
          const int32_t r = src.at(row, 3 * x + (rgb ? 0 : 2)), g = src.at(row, 3 * x + 1),
                        b = src.at(row, 3 * x + (rgb ? 2 : 0));
          if (x < w / 8 * 8) {
            ASSERT_EQ(y.at(row, x), Clamp((9798 * r + 19235 * g + 3736 * b + 16266) >> 15));
            ASSERT_EQ(cb.at(row, x), Clamp((16384 * b - 10855 * g - 5529 * r + 4210688) >> 15));
            ASSERT_EQ(cr.at(row, x), Clamp((16384 * r - 13720 * g - 2664 * b + 4210704) >> 15));
          } else {
            ASSERT_EQ(y.at(row, x), Clamp((4899 * r + 9617 * g + 1868 * b + 8192) >> 14));
            ASSERT_EQ(cb.at(row, x), Clamp((8192 * b - 5428 * g - 2764 * r + 2105344) >> 14));
            ASSERT_EQ(cr.at(row, x), Clamp((8192 * r - 6860 * g - 1332 * b + 2105344) >> 14));
          }
        }
      }
    }
  }
}

TEST(ColorArithmetic, PlanarRgbVectorPartAndTablePart) {
  std::mt19937 rng(4);
  for (const int32_t w : {1, 3, 4, 7, 8, 13}) {
    SCOPED_TRACE(w);
    const int32_t h = 2;
    Plane r(w, h, 2, 0, 0), g(w, h, 2, 0, 0), b(w, h, 2, 0, 0);
    FillRandom(r, rng), FillRandom(g, rng), FillRandom(b, rng);
    const uint8_t* src[3] = {r.data(), g.data(), b.data()};
    Plane y(w, h, 1, 0, 0), cb(w, h, 1, 0, 0), cr(w, h, 1, 0, 0);
    uint8_t* dst[3] = {y.data(), cb.data(), cr.data()};
    ASSERT_EQ(PlanarRgbToYCbCr(src, r.step, dst, y.step, w, h), StatusOk);
    for (int32_t row = 0; row < h; ++row) {
      for (int32_t x = 0; x < w; ++x) {
        const int32_t R = r.at(row, x), G = g.at(row, x), B = b.at(row, x);
        const int32_t Y = (19595 * R + 38470 * G + 7471 * B + 32768) >> 16;
        ASSERT_EQ(y.at(row, x), Y);
        if (x < w / 4 * 4) {
          ASSERT_EQ(cb.at(row, x), Clamp(((B - Y) * 18491 + 4210688) >> 15));
          ASSERT_EQ(cr.at(row, x), Clamp(((R - Y) * 23373 + 4210688) >> 15));
        } else {
          ASSERT_EQ(cb.at(row, x), (-11059 * R - 21709 * G + 32768 * B + 8421375) >> 16);
          ASSERT_EQ(cr.at(row, x), (32768 * R + 8421375 - 27439 * G - 5329 * B) >> 16);
        }
      }
    }
  }
}

TEST(ColorArithmetic, GrayAndCmyk) {
  std::mt19937 rng(5);
  const int32_t w = 19, h = 3;
  Plane rgb(3 * w, h, 2, 0, 0), cmyk(4 * w, h, 2, 0, 0);
  FillRandom(rgb, rng), FillRandom(cmyk, rng);
  Plane gray(w, h, 5, 0, 0);
  ASSERT_EQ(RgbToGray(rgb.data(), rgb.step, gray.data(), gray.step, w, h), StatusOk);
  Plane p[4] = {Plane(w, h, 1, 0, 0), Plane(w, h, 1, 0, 0), Plane(w, h, 1, 0, 0),
                Plane(w, h, 1, 0, 0)};
  uint8_t* dst[4] = {p[0].data(), p[1].data(), p[2].data(), p[3].data()};
  ASSERT_EQ(CmykToYcckPlanes(cmyk.data(), cmyk.step, dst, p[0].step, w, h), StatusOk);
  for (int32_t row = 0; row < h; ++row) {
    for (int32_t x = 0; x < w; ++x) {
      const int32_t R = rgb.at(row, 3 * x), G = rgb.at(row, 3 * x + 1), B = rgb.at(row, 3 * x + 2);
      ASSERT_EQ(gray.at(row, x), (9798 * R + 19235 * G + 3736 * B + 16266) >> 15);
      const int32_t r = 255 - cmyk.at(row, 4 * x), g = 255 - cmyk.at(row, 4 * x + 1),
                    b = 255 - cmyk.at(row, 4 * x + 2);
      ASSERT_EQ(p[0].at(row, x), Clamp((4899 * r + 9617 * g + 1868 * b + 8192) >> 14));
      ASSERT_EQ(p[1].at(row, x), Clamp((8192 * b - 5428 * g - 2764 * r + 2105344) >> 14));
      ASSERT_EQ(p[2].at(row, x), Clamp((8192 * r - 6860 * g - 1332 * b + 2105344) >> 14));
      ASSERT_EQ(p[3].at(row, x), cmyk.at(row, 4 * x + 3));
    }
  }
}

// The named samples, through every build this machine runs.
TEST(ColorArithmetic, NamedSamplesInEveryBuild) {
  for (const int32_t slot : RunnableSlots()) {
    SCOPED_TRACE(slot);
    // 2x2 white, then 2x2 pure blue, 4:2:0.
    uint8_t frame[2][4][4] = {};
    for (int r = 0; r < 2; ++r) {
      for (int c = 0; c < 2; ++c) std::memset(frame[r][c], 255, 4);
      for (int c = 2; c < 4; ++c) frame[r][c][0] = 255;
    }
    uint8_t y[2][4], cb[2], cr[2];
    uint8_t* dst[3] = {&y[0][0], cb, cr};
    const int32_t steps[3] = {4, 2, 2};
    ASSERT_EQ(kBgraToYCbCr420PlanesTable.slot[slot](&frame[0][0][0], 16, dst, steps, 4, 2),
              StatusOk);
    EXPECT_EQ(y[0][0], 255);
    EXPECT_EQ(cb[0], 128);
    EXPECT_EQ(cr[0], 128);
    EXPECT_EQ(cb[1], 255);

    // R 2, G 0, B 0: Y 1 in the R,G,B,x order, Y 0 in the B,G,R,x one; grey keeps its level.
    const uint8_t rgbx[8] = {2, 0, 0, 9, 77, 77, 77, 0};
    const uint8_t bgrx[8] = {0, 0, 2, 9, 77, 77, 77, 0};
    uint8_t py[2], pcb[2], pcr[2];
    uint8_t* planes[3] = {py, pcb, pcr};
    ASSERT_EQ(kRgbaToYCbCrPlanesTable.slot[slot](rgbx, 8, planes, 2, 2, 1), StatusOk);
    EXPECT_EQ(py[0], 1);
    EXPECT_EQ(py[1], 77);
    ASSERT_EQ(kBgraToYCbCrPlanesTable.slot[slot](bgrx, 8, planes, 2, 2, 1), StatusOk);
    EXPECT_EQ(py[0], 0);
    EXPECT_EQ(py[1], 77);

    // Pure blue gives Cb 256 before clamping in both 3-byte coefficient sets.
    uint8_t blue[9 * 3] = {};
    for (int x = 0; x < 9; ++x) blue[3 * x] = 255;
    uint8_t by[9], bcb[9], bcr[9];
    uint8_t* bplanes[3] = {by, bcb, bcr};
    ASSERT_EQ(kBgrToYCbCrPlanesTable.slot[slot](blue, 27, bplanes, 9, 9, 1), StatusOk);
    EXPECT_EQ(bcb[0], 255);
    EXPECT_EQ(bcb[8], 255);
  }
}

// One argument changed from a valid call; outputs pre-filled and checked untouched.
struct BadCall {
  const char* name;
  PrimitiveStatus expected;
  int nullSrc = -1;  // which source pointer to null: 0 the pointer or array, 1.. a plane
  int nullDst = -1;  // 0 the array, 1.. a plane; 9 the 4:2:0 step array
  int32_t srcStep = 64, dstStep = 16;
  int32_t width = 4, height = 4;
};

class ArgumentChecks : public testing::Test {
 protected:
  static constexpr size_t kBytes = 4096;
  std::vector<uint8_t> src = std::vector<uint8_t>(kBytes, 0x5A);
  std::vector<uint8_t> out[4] = {
      std::vector<uint8_t>(kBytes, 0xC3), std::vector<uint8_t>(kBytes, 0xC3),
      std::vector<uint8_t>(kBytes, 0xC3), std::vector<uint8_t>(kBytes, 0xC3)};

  bool Untouched() const {
    for (const auto& o : out) {
      if (std::any_of(o.begin(), o.end(), [](uint8_t b) { return b != 0xC3; })) return false;
    }
    return true;
  }

  PrimitiveStatus Run(int which, int32_t slot, const BadCall& c) {
    const uint8_t* s = c.nullSrc == 0 ? nullptr : src.data();
    const uint8_t* planesIn[3] = {src.data(), src.data() + 1024, src.data() + 2048};
    if (c.nullSrc > 0) planesIn[c.nullSrc - 1] = nullptr;
    uint8_t* planes[4] = {out[0].data(), out[1].data(), out[2].data(), out[3].data()};
    if (c.nullDst > 0 && c.nullDst <= 4) planes[c.nullDst - 1] = nullptr;
    uint8_t* const* d = c.nullDst == 0 ? nullptr : planes;
    const int32_t steps[3] = {c.dstStep, c.dstStep, c.dstStep};
    const int32_t* st = c.nullDst == 9 ? nullptr : steps;
    switch (which) {
      case 0:
        return kBgraToYCbCr420PlanesTable.slot[slot](s, c.srcStep, d, st, c.width, c.height);
      case 1:
        return kRgbaToYCbCrPlanesTable.slot[slot](s, c.srcStep, d, c.dstStep, c.width, c.height);
      case 2:
        return kBgraToYCbCrPlanesTable.slot[slot](s, c.srcStep, d, c.dstStep, c.width, c.height);
      case 3:
        return kBgrToYCbCrPlanesTable.slot[slot](s, c.srcStep, d, c.dstStep, c.width, c.height);
      case 4:
        return kRgbToYCbCrPlanesTable.slot[slot](s, c.srcStep, d, c.dstStep, c.width, c.height);
      case 5:
        return kPlanarRgbToYCbCrTable.slot[slot](c.nullSrc == 0 ? nullptr : planesIn, c.srcStep, d,
                                                 c.dstStep, c.width, c.height);
      case 6:
        return kRgbToGrayTable.slot[slot](s, c.srcStep, c.nullDst >= 0 ? nullptr : planes[0],
                                          c.dstStep, c.width, c.height);
      default:
        return kCmykToYcckPlanesTable.slot[slot](s, c.srcStep, d, c.dstStep, c.width, c.height);
    }
  }

  void Expect(int which, const std::vector<BadCall>& calls) {
    for (const int32_t slot : RunnableSlots()) {
      for (const BadCall& c : calls) {
        SCOPED_TRACE(testing::Message() << "slot " << slot << ": " << c.name);
        EXPECT_EQ(Run(which, slot, c), c.expected);
        if (c.expected < 0) {
          EXPECT_TRUE(Untouched());
        }
        for (auto& o : out) std::fill(o.begin(), o.end(), 0xC3);
      }
    }
  }
};

TEST_F(ArgumentChecks, BgraToYCbCr420Planes) {
  Expect(0, {
                {"Valid", StatusOk},
                {"NullSource", StatusNullPointer, 0, -1, 64, 16, 1, 4},
                {"NullPlanes", StatusNullPointer, -1, 0, 64, 16, 1, 1},
                {"NullY", StatusNullPointer, -1, 1},
                {"NullCb", StatusNullPointer, -1, 2, 64, 16, 0, 0},
                {"NullCr", StatusNullPointer, -1, 3},
                {"NullStepArray", StatusNullPointer, -1, 9, 64, 16, 1, 1},
                {"WidthOne", StatusBadSize, -1, -1, 64, 16, 1, 4},
                {"HeightOne", StatusBadSize, -1, -1, 64, 16, 4, 1},
                {"Odd", StatusOddSize, -1, -1, 64, 16, 3, 4},
            });
}

TEST_F(ArgumentChecks, FourBytePlanes) {
  const std::vector<BadCall> calls = {
      {"NullSource", StatusNullPointer, 0, -1, 64, 16, 0, 0},
      {"NullPlanes", StatusNullPointer, -1, 0, 0, 0, 0, 0},
      {"NullCr", StatusNullPointer, -1, 3, 0, 0, 0, 0},
      {"ZeroWidth", StatusBadSize, -1, -1, 64, 16, 0, 4},
      {"NegativeHeight", StatusBadSize, -1, -1, 64, 16, 4, -1},
      // Steps are taken as given: a zero step repeats one row, a negative one walks up.
      {"ZeroSteps", StatusOk, -1, -1, 0, 0, 4, 4},
  };
  Expect(1, calls);
  Expect(2, calls);
}

TEST_F(ArgumentChecks, ThreeBytePlanesAndCmyk) {
  const std::vector<BadCall> calls = {
      {"NullSource", StatusNullPointer, 0, -1, 0, 0, 0, 0},
      {"NullY", StatusNullPointer, -1, 1, 0, 0, 0, 0},
      {"NullCr", StatusNullPointer, -1, 3, 0, 0, 0, 0},
      {"ZeroSourceStep", StatusBadStep, -1, -1, 0, 16, 0, 0},
      {"NegativeDestStep", StatusBadStep, -1, -1, 64, -16, 0, 0},
      {"ZeroWidth", StatusBadSize, -1, -1, 64, 16, 0, 4},
      {"ZeroHeight", StatusBadSize, -1, -1, 64, 16, 4, 0},
      {"Valid", StatusOk},
  };
  Expect(3, calls);
  Expect(4, calls);
  std::vector<BadCall> cmyk = calls;
  cmyk.push_back({"NullK", StatusNullPointer, -1, 4, 0, 0, 0, 0});
  Expect(7, cmyk);
}

TEST_F(ArgumentChecks, PlanarAndGray) {
  Expect(5, {
                {"NullSourceArray", StatusNullPointer, 0, 0, 0, 0, 0, 0},
                {"NullPlanes", StatusNullPointer, -1, 0, 0, 0, 0, 0},
                {"NullB", StatusNullPointer, 3, -1, 0, 0, 0, 0},
                {"NullCb", StatusNullPointer, -1, 2, 0, 0, 0, 0},
                {"ZeroStep", StatusBadStep, -1, -1, 0, 16, 0, 0},
                {"ZeroWidth", StatusBadSize, -1, -1, 64, 16, 0, 4},
                {"ZeroHeight", StatusBadSize, -1, -1, 64, 16, 4, 0},
                {"Valid", StatusOk},
            });
  Expect(6, {
                {"NullSource", StatusNullPointer, 0, -1, 0, 0, 0, 0},
                {"NullDest", StatusNullPointer, -1, 0, 0, 0, 0, 0},
                {"ZeroDestStep", StatusBadStep, -1, -1, 64, 0, 0, 0},
                {"ZeroWidth", StatusBadSize, -1, -1, 64, 16, 0, 4},
                {"Valid", StatusOk},
            });
}

}  // namespace
}  // namespace vorn::jpeg::prim
