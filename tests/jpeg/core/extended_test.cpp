// Extended frames (SOF1) of 12-bit samples, interleaved and planar: the header they carry,
// and every quantised coefficient of the stream, read back by the test's own decoder, against
// a double-precision evaluation of the DCT of the same samples divided by the quantiser.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "jpeg/core/encoder.h"
#include "jpeg/stream/membuff_output.h"
#include "tests/jpeg/core/core_fixture.h"
#include "tests/jpeg/core/sequential_decoder.h"
#include "tests/jpeg/core/wide_samples.h"

namespace vorn::jpeg {
namespace {

using test::MakeSamples;
using test::Pattern;
using test::Samples;

struct WideResult {
  JpegCoreStatus params = CoreOk;
  JpegCoreStatus header = CoreOk;
  JpegCoreStatus data = CoreOk;
  bool wroteBeyondCapacity = false;
  std::vector<uint8_t> bytes;
};

// One extended frame of interleaved 16-bit samples.
WideResult EncodeExtended(const Samples& s, int32_t sourceColor, int32_t frameColor,
                          int32_t quality, int32_t restartInterval, int32_t optimize,
                          int32_t capacity = 0) {
  WideResult result;
  CJPEGEncoder encoder;
  encoder.SetInterleavedSource16(s.values.data(), s.width * s.channels * 2, s.width, s.height,
                                 s.channels, sourceColor, Sampling444, s.precision);
  result.params = encoder.SetParams(ModeExtended, frameColor, Sampling444, restartInterval,
                                    optimize, quality, 0);
  if (capacity == 0) capacity = s.width * s.height * s.channels * 8 + 8192;
  std::vector<uint8_t> output(size_t(capacity) + 64, 0xEE);
  CMemBuffOutput stream;
  stream.Open(output.data(), capacity);
  encoder.SetComment(0, "");
  encoder.SetOutputStream(&stream);
  if (result.params == CoreOk) {
    result.header = encoder.WriteHeader();
    if (result.header == CoreOk) result.data = encoder.WriteData();
  }
  for (size_t i = size_t(capacity); i < output.size(); ++i) {
    result.wroteBeyondCapacity |= output[i] != 0xEE;
  }
  int64_t length = 0;
  stream.Position(&length);
  output.resize(size_t(length));
  result.bytes = std::move(output);
  return result;
}

// The JPEG forward DCT of one block (natural order, u vertical), in double precision, of the
// samples of channel |channel| with the image edge repeated into the padding.
void ReferenceDct(const Samples& s, int32_t channel, int32_t bx, int32_t by, double out[64]) {
  const double pi = std::acos(-1.0);
  double block[8][8];
  for (int32_t y = 0; y < 8; ++y) {
    for (int32_t x = 0; x < 8; ++x) {
      const int32_t sx = std::min(bx * 8 + x, s.width - 1);
      const int32_t sy = std::min(by * 8 + y, s.height - 1);
      block[y][x] = s.At(sx, sy, channel) - 2048.0;
    }
  }
  for (int32_t u = 0; u < 8; ++u) {
    for (int32_t v = 0; v < 8; ++v) {
      double sum = 0;
      for (int32_t y = 0; y < 8; ++y) {
        for (int32_t x = 0; x < 8; ++x) {
          sum += block[y][x] * std::cos((2 * x + 1) * v * pi / 16) *
                 std::cos((2 * y + 1) * u * pi / 16);
        }
      }
      const double cu = u == 0 ? std::sqrt(0.5) : 1.0;
      const double cv = v == 0 ? std::sqrt(0.5) : 1.0;
      out[8 * u + v] = 0.25 * cu * cv * sum;
    }
  }
}

struct ExtendedCase {
  const char* name;
  int32_t width, height, channels;
  int32_t sourceColor, frameColor;
  int32_t quality, restartInterval, optimize;
  Pattern pattern;
};

void PrintTo(const ExtendedCase& c, std::ostream* os) { *os << c.name; }

class ExtendedFrame : public testing::TestWithParam<ExtendedCase> {};

TEST_P(ExtendedFrame, CoefficientsMatchTheDoublePrecisionTransform) {
  const ExtendedCase& c = GetParam();
  const Samples s = MakeSamples(c.width, c.height, c.channels, 12, c.pattern);
  const WideResult r = EncodeExtended(s, c.sourceColor, c.frameColor, c.quality,
                                      c.restartInterval, c.optimize);
  ASSERT_EQ(r.params, CoreOk);
  ASSERT_EQ(r.header, CoreOk);
  ASSERT_EQ(r.data, CoreOk);
  EXPECT_FALSE(r.wroteBeyondCapacity);
  const test::SequentialDecoded d = test::DecodeSequential(r.bytes);
  ASSERT_TRUE(d.ok) << d.error;
  EXPECT_EQ(d.sofMarker, 0xC1);
  EXPECT_EQ(d.precision, 12);
  EXPECT_EQ(d.width, c.width);
  EXPECT_EQ(d.height, c.height);
  ASSERT_EQ(d.components, c.channels);
  // 16-bit quantisers; one DC and one AC table a component, built for the image whatever the
  // caller asked for (the mode has no standard tables).
  ASSERT_TRUE(d.quantPresent[0]);
  EXPECT_EQ(d.quantPrecision[0], 1);
  std::vector<int32_t> tables;
  for (int32_t k = 0; k < c.channels; ++k) {
    tables.push_back(k);
    tables.push_back(0x10 | k);
    EXPECT_EQ(d.dcTableOf[k], k);
    EXPECT_EQ(d.acTableOf[k], k);
    EXPECT_EQ(d.h[k], 1);
    EXPECT_EQ(d.v[k], 1);
  }
  EXPECT_EQ(d.dhtIds, tables);
  const int32_t mcus = d.mcusPerRow * d.mcuRows;
  EXPECT_EQ(d.restartInterval, c.restartInterval);
  if (c.restartInterval != 0) {
    EXPECT_EQ(static_cast<int32_t>(d.restartNumbers.size()),
              (mcus + c.restartInterval - 1) / c.restartInterval - 1);
    for (size_t i = 0; i < d.restartNumbers.size(); ++i) {
      EXPECT_EQ(d.restartNumbers[i], static_cast<int32_t>(i & 7));
    }
  }

  const bool reversed = c.sourceColor == ColorBgr;
  double worst = 0;
  for (int32_t k = 0; k < d.components; ++k) {
    const uint16_t* q = d.quant[d.quantTableOf[k]];
    for (int32_t by = 0; by < d.blocksHigh[k]; ++by) {
      for (int32_t bx = 0; bx < d.blocksWide[k]; ++bx) {
        double exact[64];
        ReferenceDct(s, reversed ? 2 - k : k, bx, by, exact);
        const int16_t* coded = d.Block(k, bx, by);
        for (int32_t i = 0; i < 64; ++i) {
          const double error = std::fabs(coded[i] - exact[i] / q[i]);
          worst = std::max(worst, error);
          ASSERT_LE(error, 0.51) << "component " << k << " block " << bx << "," << by
                                 << " coefficient " << i << ": " << coded[i] << " for "
                                 << exact[i] / q[i];
        }
      }
    }
  }
  // The rounding of the quantised values, not a coarser transform, makes the difference.
  EXPECT_GT(worst, 0.3);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, ExtendedFrame,
    testing::Values(
        ExtendedCase{"gray_noise_q90", 37, 21, 1, ColorGray, ColorGray, 90, 0, 1,
                     Pattern::kNoise},
        ExtendedCase{"gray_checker_q100_every_quantiser_1", 16, 16, 1, ColorGray, ColorGray,
                     100, 0, 1, Pattern::kChecker},
        ExtendedCase{"rgb_ramp_restart_2", 24, 16, 3, ColorRgb, ColorRgb, 75, 2, 1,
                     Pattern::kRamp},
        ExtendedCase{"bgr_to_rgb_noise_restart_1_wraps_rst7", 41, 17, 3, ColorBgr, ColorRgb,
                     95, 1, 1, Pattern::kNoise},
        ExtendedCase{"cmyk_checker_q50", 16, 9, 4, ColorCmyk, ColorCmyk, 50, 3, 1,
                     Pattern::kChecker},
        ExtendedCase{"unknown3_noise_optimisation_not_asked", 9, 9, 3, ColorUnknown,
                     ColorUnknown, 80, 0, 0, Pattern::kNoise}),
    [](const testing::TestParamInfo<ExtendedCase>& info) { return std::string(info.param.name); });

// An output that ends inside the coded data: -5 from the scan, nothing past the capacity.
TEST(ExtendedFrameOutput, FullOutputStopsTheScan) {
  const Samples s = MakeSamples(64, 48, 3, 12, Pattern::kNoise);
  const WideResult whole = EncodeExtended(s, ColorRgb, ColorRgb, 90, 0, 1);
  ASSERT_EQ(whole.data, CoreOk);
  const WideResult cut = EncodeExtended(s, ColorRgb, ColorRgb, 90, 0, 1,
                                        static_cast<int32_t>(whole.bytes.size()) - 100);
  EXPECT_EQ(cut.header, CoreOk);
  EXPECT_EQ(cut.data, CoreOutputFull);
  EXPECT_FALSE(cut.wroteBeyondCapacity);
  ASSERT_LE(cut.bytes.size(), whole.bytes.size());
  EXPECT_TRUE(std::equal(cut.bytes.begin(), cut.bytes.end(), whole.bytes.begin()));
}

// One extended frame of 16-bit planes (one a component, rows with 6 spare samples).
WideResult EncodeExtendedPlanar(const std::vector<Samples>& planes, int32_t width,
                                int32_t height, int32_t color, int32_t sampling,
                                int32_t restartInterval) {
  WideResult result;
  std::vector<std::vector<uint16_t>> data;
  const uint16_t* pointers[4] = {};
  int32_t steps[4] = {};
  for (const Samples& p : planes) {
    const int32_t step = p.width + 6;
    std::vector<uint16_t> rows(size_t(step) * p.height, 0xFFFF);
    for (int32_t y = 0; y < p.height; ++y) {
      for (int32_t x = 0; x < p.width; ++x) rows[size_t(y) * step + x] = p.At(x, y, 0);
    }
    steps[data.size()] = step * 2;
    data.push_back(std::move(rows));
    pointers[data.size() - 1] = data.back().data();
  }
  CJPEGEncoder encoder;
  encoder.SetPlanarSource16(pointers, steps, width, height, static_cast<int32_t>(planes.size()),
                            color, sampling, 12);
  result.params =
      encoder.SetParams(ModeExtended, color, sampling, restartInterval, 1, 90, 0);
  const int32_t capacity = width * height * 32 + 8192;
  std::vector<uint8_t> output(size_t(capacity) + 64, 0xEE);
  CMemBuffOutput stream;
  stream.Open(output.data(), capacity);
  encoder.SetComment(0, "");
  encoder.SetOutputStream(&stream);
  if (result.params == CoreOk) {
    result.header = encoder.WriteHeader();
    if (result.header == CoreOk) result.data = encoder.WriteData();
  }
  for (size_t i = size_t(capacity); i < output.size(); ++i) {
    result.wroteBeyondCapacity |= output[i] != 0xEE;
  }
  int64_t length = 0;
  stream.Position(&length);
  output.resize(size_t(length));
  result.bytes = std::move(output);
  return result;
}

// The channels of |s| as planes of one channel each.
std::vector<Samples> PlanesOf(const Samples& s) {
  std::vector<Samples> planes;
  for (int32_t c = 0; c < s.channels; ++c) {
    Samples p{s.width, s.height, 1, s.precision, {}};
    for (int32_t y = 0; y < s.height; ++y) {
      for (int32_t x = 0; x < s.width; ++x) p.values.push_back(s.At(x, y, c));
    }
    planes.push_back(std::move(p));
  }
  return planes;
}

TEST(ExtendedFramePlanar, StreamEqualsTheInterleavedEncode) {
  struct Case {
    int32_t width, height, channels, color, restart;
  };
  for (const Case& c : {Case{23, 11, 3, ColorRgb, 2}, Case{8, 17, 1, ColorGray, 0},
                        Case{19, 9, 4, ColorCmyk, 1}}) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " x" << c.channels);
    const Samples s = MakeSamples(c.width, c.height, c.channels, 12, Pattern::kNoise, 9);
    const WideResult interleaved = EncodeExtended(s, c.color, c.color, 90, c.restart, 1);
    const WideResult planar =
        EncodeExtendedPlanar(PlanesOf(s), c.width, c.height, c.color, Sampling444, c.restart);
    ASSERT_EQ(interleaved.data, CoreOk);
    ASSERT_EQ(planar.params, CoreOk);
    ASSERT_EQ(planar.header, CoreOk);
    ASSERT_EQ(planar.data, CoreOk);
    EXPECT_FALSE(planar.wroteBeyondCapacity);
    EXPECT_EQ(planar.bytes, interleaved.bytes);
  }
}

// 4:2:0 planes of 12-bit samples (chroma at ceil(w / 2) x ceil(h / 2)): every coefficient of
// every component, in the two-by-two luminance blocks of each MCU, against the transform of
// its own plane with the plane's edge repeated.
TEST(ExtendedFramePlanar, SubsampledPlanesMatchTheDoublePrecisionTransform) {
  constexpr int32_t kWidth = 37, kHeight = 21;
  const std::vector<Samples> planes = {
      MakeSamples(kWidth, kHeight, 1, 12, Pattern::kNoise, 1),
      MakeSamples((kWidth + 1) / 2, (kHeight + 1) / 2, 1, 12, Pattern::kRamp, 2),
      MakeSamples((kWidth + 1) / 2, (kHeight + 1) / 2, 1, 12, Pattern::kChecker, 3)};
  const WideResult r = EncodeExtendedPlanar(planes, kWidth, kHeight, ColorYCbCr, Sampling420, 1);
  ASSERT_EQ(r.params, CoreOk);
  ASSERT_EQ(r.header, CoreOk);
  ASSERT_EQ(r.data, CoreOk);
  const test::SequentialDecoded d = test::DecodeSequential(r.bytes);
  ASSERT_TRUE(d.ok) << d.error;
  ASSERT_EQ(d.components, 3);
  EXPECT_EQ(d.sofMarker, 0xC1);
  EXPECT_EQ(d.h[0], 2);
  EXPECT_EQ(d.v[0], 2);
  EXPECT_EQ(d.quantTableOf[1], 1);
  EXPECT_EQ(d.quantPrecision[1], 1);
  EXPECT_EQ(d.restartNumbers.size(), 5u);  // 3 x 2 MCUs, interval 1
  for (int32_t k = 0; k < 3; ++k) {
    ASSERT_EQ(d.blocksWide[k], k == 0 ? 6 : 3);
    ASSERT_EQ(d.blocksHigh[k], k == 0 ? 4 : 2);
    const uint16_t* q = d.quant[d.quantTableOf[k]];
    for (int32_t by = 0; by < d.blocksHigh[k]; ++by) {
      for (int32_t bx = 0; bx < d.blocksWide[k]; ++bx) {
        double exact[64];
        ReferenceDct(planes[size_t(k)], 0, bx, by, exact);
        const int16_t* coded = d.Block(k, bx, by);
        for (int32_t i = 0; i < 64; ++i) {
          ASSERT_LE(std::fabs(coded[i] - exact[i] / q[i]), 0.51)
              << "component " << k << " block " << bx << "," << by << " coefficient " << i;
        }
      }
    }
  }
}

#if VORN_HAVE_LIBJPEG
// The test's decoder reads the 8-bit baseline streams as the stock library does, so what it
// reads from the 12-bit ones can be trusted.
TEST(SequentialTestDecoder, AgreesWithTheStockLibraryOnBaselineStreams) {
  struct Case {
    int32_t width, height, sampling, restart;
  };
  for (const Case& c : {Case{37, 21, Sampling420, 1}, Case{24, 9, Sampling422, 3},
                        Case{17, 17, Sampling444, 0}}) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " s" << c.sampling);
    test::EncodeConfig config;
    config.sampling = c.sampling;
    config.restartInterval = c.restart;
    config.optimizeHuffman = 1;
    const test::EncodeResult r = test::Encode(test::RampImage(c.width, c.height, 3), config);
    ASSERT_TRUE(r.Ok());
    const std::vector<std::vector<int16_t>> stock = test::ReadCoefficients(r.bytes);
    const test::SequentialDecoded d = test::DecodeSequential(r.bytes);
    ASSERT_TRUE(d.ok) << d.error;
    ASSERT_EQ(stock.size(), 3u);
    const int32_t hMax = d.h[0], vMax = d.v[0];
    for (int32_t k = 0; k < 3; ++k) {
      const int32_t compWidth = (c.width * d.h[k] + hMax - 1) / hMax;
      const int32_t compHeight = (c.height * d.v[k] + vMax - 1) / vMax;
      const int32_t wide = (compWidth + 7) / 8, high = (compHeight + 7) / 8;
      ASSERT_EQ(stock[k].size(), size_t(wide) * high * 64);
      for (int32_t by = 0; by < high; ++by) {
        for (int32_t bx = 0; bx < wide; ++bx) {
          ASSERT_TRUE(std::equal(d.Block(k, bx, by), d.Block(k, bx, by) + 64,
                                 &stock[k][(size_t(by) * wide + bx) * 64]))
              << "component " << k << " block " << bx << "," << by;
        }
      }
    }
  }
}
#endif

}  // namespace
}  // namespace vorn::jpeg
