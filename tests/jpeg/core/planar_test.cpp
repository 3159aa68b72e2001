// Planar 8-bit sources in baseline frames: the stream of a planar source is byte for byte
// the stream of an interleaved source of the same pixels, and its edges are padded as if the
// planes had been padded by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "jpeg/core/encoder.h"
#include "jpeg/primitives/color/color.h"
#include "jpeg/primitives/sampling/downsample.h"
#include "jpeg/stream/membuff_output.h"
#include "tests/jpeg/core/core_fixture.h"

namespace vorn::jpeg {
namespace {

using test::Image;

// One plane a component, rows |step| bytes apart (more than the plane's width).
struct Planes {
  int32_t width[4] = {};
  int32_t height[4] = {};
  int32_t step[4] = {};
  std::vector<uint8_t> data[4];
  int32_t count = 0;

  void Add(int32_t w, int32_t h, const uint8_t* src, int32_t srcStep) {
    width[count] = w;
    height[count] = h;
    step[count] = w + 11;
    data[count].assign(size_t(step[count]) * h, 0x5C);  // spare bytes the encoder must not read
    for (int32_t y = 0; y < h; ++y) {
      std::copy(src + size_t(y) * srcStep, src + size_t(y) * srcStep + w,
                data[count].begin() + size_t(y) * step[count]);
    }
    ++count;
  }
};

test::EncodeResult EncodePlanar(const Planes& p, int32_t width, int32_t height, int32_t color,
                                const test::EncodeConfig& config) {
  test::EncodeResult result;
  const int32_t capacity = width * height * 8 + 65536;
  std::vector<uint8_t> output(size_t(capacity) + 64, 0xEE);
  CMemBuffOutput stream;
  stream.Open(output.data(), capacity);
  const uint8_t* planes[4] = {};
  int32_t steps[4] = {};
  for (int32_t k = 0; k < p.count; ++k) {
    planes[k] = p.data[k].data();
    steps[k] = p.step[k];
  }
  CJPEGEncoder encoder;
  static const char kEmptyComment[128] = {};
  // Planes at the frame's component sizes.
  EXPECT_EQ(encoder.SetPlanarSource8(planes, steps, width, height, p.count, color,
                                     config.sampling, 8),
            CoreOk);
  result.setParams = encoder.SetParams(config.mode, config.frameColor, config.sampling,
                                       config.restartInterval, config.optimizeHuffman,
                                       config.quality, 1);
  encoder.SetComment(0, kEmptyComment);
  encoder.SetOutputStream(&stream);
  if (result.setParams == CoreOk) {
    result.header = encoder.WriteHeader();
    if (result.header == CoreOk) result.data = encoder.WriteData();
  }
  for (size_t i = size_t(capacity); i < output.size(); ++i) {
    if (output[i] != 0xEE) result.data = -100;
  }
  int64_t length = 0;
  stream.Position(&length);
  output.resize(size_t(length));
  result.bytes = std::move(output);
  return result;
}

// The channels of an interleaved image as planes.
Planes SplitChannels(const Image& image) {
  Planes p;
  std::vector<uint8_t> channel(size_t(image.width) * image.height);
  for (int32_t c = 0; c < image.channels; ++c) {
    for (int32_t y = 0; y < image.height; ++y) {
      for (int32_t x = 0; x < image.width; ++x) channel[size_t(y) * image.width + x] = image.At(x, y)[c];
    }
    p.Add(image.width, image.height, channel.data(), image.width);
  }
  return p;
}

// Y, Cb and Cr planes of a B,G,R image, the chroma planes down-sampled as the interleaved
// path does (a width and height that need no padding).
Planes YCbCrPlanes(const Image& bgr, int32_t sampling) {
  const int32_t w = bgr.width, h = bgr.height;
  std::vector<uint8_t> full[3];
  uint8_t* dst[3];
  for (int32_t k = 0; k < 3; ++k) {
    full[k].resize(size_t(w) * h);
    dst[k] = full[k].data();
  }
  EXPECT_EQ(prim::BgrToYCbCrPlanes(bgr.pixels.data(), bgr.step, dst, w, w, h), prim::StatusOk);
  Planes p;
  p.Add(w, h, full[0].data(), w);
  for (int32_t k = 1; k < 3; ++k) {
    const int32_t ch = sampling == Sampling420 ? h / 2 : h;
    std::vector<uint8_t> down(size_t(w / 2) * ch);
    for (int32_t y = 0; y < ch; ++y) {
      if (sampling == Sampling420) {
        EXPECT_EQ(prim::DownsampleRows2x2(&full[k][size_t(2 * y) * w], &full[k][size_t(2 * y + 1) * w],
                                          w, &down[size_t(y) * (w / 2)]),
                  prim::StatusOk);
      } else {
        EXPECT_EQ(prim::DownsampleRow2x1(&full[k][size_t(y) * w], w, &down[size_t(y) * (w / 2)]),
                  prim::StatusOk);
      }
    }
    p.Add(w / 2, ch, down.data(), w / 2);
  }
  return p;
}

struct PlanarCase {
  const char* name;
  int32_t width, height, channels;
  int32_t sourceColor, frameColor, sampling, restart, optimize;
};

void PrintTo(const PlanarCase& c, std::ostream* os) { *os << c.name; }

class PlanarBaseline : public testing::TestWithParam<PlanarCase> {};

TEST_P(PlanarBaseline, StreamEqualsTheInterleavedEncode) {
  const PlanarCase& c = GetParam();
  const bool ycbcr = c.frameColor == ColorYCbCr;
  const Image image = test::NoiseImage(c.width, c.height, c.channels, 77);
  test::EncodeConfig config;
  config.sourceColor = ycbcr ? ColorBgr : c.sourceColor;
  config.frameColor = c.frameColor;
  config.sampling = c.sampling;
  config.restartInterval = c.restart;
  config.optimizeHuffman = c.optimize;
  const test::EncodeResult interleaved = test::Encode(image, config);
  ASSERT_TRUE(interleaved.Ok());
  const Planes planes = ycbcr ? YCbCrPlanes(image, c.sampling) : SplitChannels(image);
  const test::EncodeResult planar =
      EncodePlanar(planes, c.width, c.height, ycbcr ? ColorYCbCr : c.sourceColor, config);
  ASSERT_EQ(planar.setParams, CoreOk);
  ASSERT_EQ(planar.header, CoreOk);
  ASSERT_EQ(planar.data, CoreOk);
  EXPECT_EQ(planar.bytes, interleaved.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, PlanarBaseline,
    testing::Values(
        PlanarCase{"gray_odd_size", 37, 21, 1, ColorGray, ColorGray, Sampling444, 1, 0},
        PlanarCase{"gray_odd_size_optimised", 37, 21, 1, ColorGray, ColorGray, Sampling444, 0,
                   1},
        PlanarCase{"rgb_restart_2", 29, 13, 3, ColorRgb, ColorRgb, Sampling444, 2, 0},
        PlanarCase{"unknown_four_planes_optimised", 16, 24, 4, ColorUnknown, ColorUnknown,
                   Sampling444, 3, 1},
        PlanarCase{"ycbcr_420", 48, 32, 3, ColorYCbCr, ColorYCbCr, Sampling420, 1, 0},
        PlanarCase{"ycbcr_420_optimised", 64, 48, 3, ColorYCbCr, ColorYCbCr, Sampling420, 0, 1},
        PlanarCase{"ycbcr_422", 32, 24, 3, ColorYCbCr, ColorYCbCr, Sampling422, 1, 0}),
    [](const testing::TestParamInfo<PlanarCase>& info) { return std::string(info.param.name); });

// Planes of the component sizes (chroma ceil(w / 2) x ceil(h / 2)) whose size is not a whole
// number of MCUs code exactly as the same planes padded by hand to the MCU grid (last column
// and last row repeated): only the frame size in the header differs.
TEST(PlanarBaselineEdges, PaddingRepeatsTheLastColumnAndRow) {
  struct Case {
    int32_t width, height, sampling, paddedWidth, paddedHeight;
  };
  for (const Case& c : {Case{37, 21, Sampling420, 48, 32}, Case{33, 9, Sampling422, 48, 16},
                        Case{9, 15, Sampling444, 16, 16}}) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " s" << c.sampling);
    const int32_t cw = c.sampling == Sampling444 ? c.width : (c.width + 1) / 2;
    const int32_t chh = c.sampling == Sampling420 ? (c.height + 1) / 2 : c.height;
    const int32_t pcw = c.sampling == Sampling444 ? c.paddedWidth : c.paddedWidth / 2;
    const int32_t pch = c.sampling == Sampling420 ? c.paddedHeight / 2 : c.paddedHeight;
    const Image luma = test::NoiseImage(c.width, c.height, 1, 5);
    const Image cb = test::NoiseImage(cw, chh, 1, 6);
    const Image cr = test::NoiseImage(cw, chh, 1, 7);
    Planes exact, padded;
    for (const Image* plane : {&luma, &cb, &cr}) {
      exact.Add(plane->width, plane->height, plane->pixels.data(), plane->step);
      const int32_t pw = plane == &luma ? c.paddedWidth : pcw;
      const int32_t ph = plane == &luma ? c.paddedHeight : pch;
      std::vector<uint8_t> big(size_t(pw) * ph);
      for (int32_t y = 0; y < ph; ++y) {
        for (int32_t x = 0; x < pw; ++x) {
          big[size_t(y) * pw + x] =
              plane->At(std::min(x, plane->width - 1), std::min(y, plane->height - 1))[0];
        }
      }
      padded.Add(pw, ph, big.data(), pw);
    }
    test::EncodeConfig config;
    config.frameColor = ColorYCbCr;
    config.sampling = c.sampling;
    config.restartInterval = 1;
    const test::EncodeResult small =
        EncodePlanar(exact, c.width, c.height, ColorYCbCr, config);
    const test::EncodeResult large =
        EncodePlanar(padded, c.paddedWidth, c.paddedHeight, ColorYCbCr, config);
    ASSERT_TRUE(small.Ok()) << small.setParams << " " << small.header << " " << small.data;
    ASSERT_TRUE(large.Ok());
    const std::vector<test::Marker> m1 = test::ScanMarkers(small.bytes);
    ASSERT_EQ(small.bytes.size(), large.bytes.size());
    // The frame header's height and width (offsets 215 + 5 to 215 + 8) are all that differ.
    for (size_t i = 0; i < small.bytes.size(); ++i) {
      if (i >= 220 && i < 224) continue;
      ASSERT_EQ(small.bytes[i], large.bytes[i]) << "byte " << i;
    }
    EXPECT_FALSE(m1.empty());
#if VORN_HAVE_LIBJPEG
    const test::Decoded decoded = test::DecodeWithLibjpeg(small.bytes, JCS_RGB);
    EXPECT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.warnings, 0);
    EXPECT_EQ(decoded.width, c.width);
    EXPECT_EQ(decoded.height, c.height);
#endif
  }
}

// A plane whose colour is not the frame's goes through the conversion of interleaved pixels,
// which has no path from gray to an unknown colour: -1, with or without the statistics pass,
// and no scan data.
TEST(PlanarBaselineEdges, APlaneOfAnotherColourHasNoConversion) {
  const Image gray = test::NoiseImage(16, 8, 1, 3);
  Planes p;
  p.Add(16, 8, gray.pixels.data(), gray.step);
  for (int32_t optimize : {0, 1}) {
    SCOPED_TRACE(optimize);
    test::EncodeConfig config;
    config.frameColor = ColorUnknown;
    config.sampling = Sampling444;
    config.optimizeHuffman = optimize;
    const test::EncodeResult r = EncodePlanar(p, 16, 8, ColorGray, config);
    ASSERT_EQ(r.setParams, CoreOk);
    if (optimize) {
      EXPECT_EQ(r.header, CoreNoConversion);
    } else {
      EXPECT_EQ(r.header, CoreOk);
      EXPECT_EQ(r.data, CoreNoConversion);
    }
    EXPECT_TRUE(test::ScanMarkers(r.bytes).empty());
  }
}

}  // namespace
}  // namespace vorn::jpeg
