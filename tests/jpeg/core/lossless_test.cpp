// Lossless frames of the encoder core: whole streams read back by the test's own decoder
// (lossless_decoder.h) to exactly the source samples, with and without tables built for the
// image, restart markers on row starts, and the parameters a lossless frame refuses.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "jpeg/core/encoder.h"
#include "jpeg/primitives/color/color.h"
#include "jpeg/stream/membuff_output.h"
#include "tests/jpeg/core/lossless_decoder.h"
#include "tests/jpeg/core/sequential_decoder.h"
#include "tests/jpeg/core/wide_samples.h"

namespace vorn::jpeg {
namespace {

using test::MakeSamples;
using test::Pattern;
using test::Samples;

struct LosslessResult {
  JpegCoreStatus params = CoreOk;
  JpegCoreStatus header = CoreOk;
  JpegCoreStatus data = CoreOk;
  bool wroteBeyondCapacity = false;
  std::vector<uint8_t> bytes;
};

LosslessResult EncodeLossless(const Samples& s, int32_t sourceColor, int32_t frameColor,
                              int32_t restartInterval, int32_t optimize, int32_t capacity = 0) {
  LosslessResult result;
  std::vector<uint8_t> narrow;
  CJPEGEncoder encoder;
  if (s.precision <= 8) {
    narrow.assign(s.values.begin(), s.values.end());
    encoder.SetInterleavedSource8(narrow.data(), s.width * s.channels, s.width, s.height,
                                  s.channels, sourceColor, Sampling444, s.precision);
  } else {
    encoder.SetInterleavedSource16(s.values.data(), s.width * s.channels * 2, s.width, s.height,
                                   s.channels, sourceColor, Sampling444, s.precision);
  }
  result.params = encoder.SetLosslessParams(frameColor, restartInterval, optimize);
  if (capacity == 0) capacity = s.width * s.height * s.channels * 8 + 4096;
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

struct RoundTripCase {
  const char* name;
  int32_t width, height, channels, precision;
  int32_t sourceColor, frameColor;
  int32_t restartRows;  // restart interval in rows, 0 for none
  int32_t optimize;
  Pattern pattern;
};

void PrintTo(const RoundTripCase& c, std::ostream* os) { *os << c.name; }

class LosslessRoundTrip : public testing::TestWithParam<RoundTripCase> {};

TEST_P(LosslessRoundTrip, DecodesToTheSourceSamples) {
  const RoundTripCase& c = GetParam();
  const Samples s = MakeSamples(c.width, c.height, c.channels, c.precision, c.pattern);
  const LosslessResult r =
      EncodeLossless(s, c.sourceColor, c.frameColor, c.restartRows * c.width, c.optimize);
  ASSERT_EQ(r.params, CoreOk);
  ASSERT_EQ(r.header, CoreOk);
  ASSERT_EQ(r.data, CoreOk);
  EXPECT_FALSE(r.wroteBeyondCapacity);
  const test::LosslessDecoded d = test::DecodeLossless(r.bytes);
  ASSERT_TRUE(d.ok) << d.error;
  EXPECT_EQ(d.precision, c.precision);
  EXPECT_EQ(d.width, c.width);
  EXPECT_EQ(d.height, c.height);
  ASSERT_EQ(d.components, c.channels);
  EXPECT_EQ(d.predictor, 1);
  EXPECT_EQ(d.pointTransform, 0);
  EXPECT_EQ(d.appSegments, 0);
  EXPECT_EQ(d.dqtSegments, 0);
  EXPECT_EQ(d.dhtSegments, c.optimize ? c.channels : 1);
  for (int32_t k = 0; k < d.components; ++k) {
    EXPECT_EQ(d.dcTableOf[k], c.optimize ? k : 0) << "component " << k;
  }
  // A marker before every row that starts an interval, never after the last row.
  EXPECT_EQ(d.restartInterval, c.restartRows * c.width);
  std::vector<int32_t> rows, numbers;
  for (int32_t y = c.restartRows; c.restartRows != 0 && y < c.height; y += c.restartRows) {
    numbers.push_back(static_cast<int32_t>(rows.size()) & 7);
    rows.push_back(y);
  }
  EXPECT_EQ(d.restartRows, rows);
  EXPECT_EQ(d.restartNumbers, numbers);
  // B,G,R sources coded as RGB frames carry the channels in reverse.
  const bool reversed = c.sourceColor == ColorBgr;
  for (int32_t k = 0; k < d.components; ++k) {
    const int32_t channel = reversed ? 2 - k : k;
    for (int32_t y = 0; y < c.height; ++y) {
      for (int32_t x = 0; x < c.width; ++x) {
        ASSERT_EQ(d.planes[k][size_t(y) * c.width + x], s.At(x, y, channel))
            << "component " << k << " at " << x << "," << y;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, LosslessRoundTrip,
    testing::Values(
        RoundTripCase{"gray8_standard_table", 37, 9, 1, 8, ColorGray, ColorGray, 0, 0,
                      Pattern::kNoise},
        RoundTripCase{"rgb8_restart_every_2_rows", 21, 11, 3, 8, ColorRgb, ColorRgb, 2, 0,
                      Pattern::kRamp},
        RoundTripCase{"rgb8_restart_every_row_wraps_rst7", 5, 19, 3, 8, ColorRgb, ColorRgb, 1,
                      1, Pattern::kNoise},
        RoundTripCase{"bgr10_to_rgb_standard_table", 16, 6, 3, 10, ColorBgr, ColorRgb, 0, 0,
                      Pattern::kNoise},
        RoundTripCase{"gray11_standard_table_full_range", 33, 7, 1, 11, ColorGray, ColorGray, 3,
                      0, Pattern::kWrapping},
        RoundTripCase{"gray12_optimised_restart_3_rows", 40, 10, 1, 12, ColorGray, ColorGray,
                      3, 1, Pattern::kNoise},
        RoundTripCase{"rgb16_optimised_wrapping", 29, 8, 3, 16, ColorRgb, ColorRgb, 0, 1,
                      Pattern::kWrapping},
        RoundTripCase{"cmyk8_optimised_restart_4_rows", 17, 9, 4, 8, ColorCmyk, ColorCmyk, 4,
                      1, Pattern::kRamp},
        RoundTripCase{"unknown_16bit_optimised", 9, 5, 1, 16, ColorUnknown, ColorUnknown, 0,
                      1, Pattern::kNoise},
        RoundTripCase{"gray2_one_sample", 1, 1, 1, 2, ColorGray, ColorGray, 0, 0,
                      Pattern::kNoise}),
    [](const testing::TestParamInfo<RoundTripCase>& info) { return std::string(info.param.name); });

// 8-bit pixels converted on the way in (B,G,R to Y, Cb, Cr): the frame holds exactly the
// converted samples.
TEST(LosslessFrame, ConvertedSamplesAreKeptExactly) {
  constexpr int32_t kWidth = 27, kHeight = 6;
  const Samples s = MakeSamples(kWidth, kHeight, 3, 8, Pattern::kNoise, 21);
  const std::vector<uint8_t> bgr(s.values.begin(), s.values.end());
  std::vector<uint8_t> planes[3];
  uint8_t* dst[3];
  for (int32_t k = 0; k < 3; ++k) {
    planes[k].resize(size_t(kWidth) * kHeight);
    dst[k] = planes[k].data();
  }
  ASSERT_EQ(prim::BgrToYCbCrPlanes(bgr.data(), kWidth * 3, dst, kWidth, kWidth, kHeight),
            prim::StatusOk);
  const LosslessResult r = EncodeLossless(s, ColorBgr, ColorYCbCr, kWidth * 2, 1);
  ASSERT_EQ(r.data, CoreOk);
  const test::LosslessDecoded d = test::DecodeLossless(r.bytes);
  ASSERT_TRUE(d.ok) << d.error;
  ASSERT_EQ(d.components, 3);
  for (int32_t k = 0; k < 3; ++k) {
    EXPECT_TRUE(std::equal(planes[k].begin(), planes[k].end(), d.planes[k].begin()))
        << "component " << k;
  }
}

// Tables built for the image code it in fewer bytes than the standard table, and the header
// carries one DC table for each component.
TEST(LosslessFrame, OptimisedTablesAreSmallerThanTheStandardOne) {
  const Samples s = MakeSamples(64, 32, 3, 8, Pattern::kRamp);
  const LosslessResult standard = EncodeLossless(s, ColorRgb, ColorRgb, 0, 0);
  const LosslessResult optimised = EncodeLossless(s, ColorRgb, ColorRgb, 0, 1);
  ASSERT_EQ(standard.data, CoreOk);
  ASSERT_EQ(optimised.data, CoreOk);
  EXPECT_LT(optimised.bytes.size(), standard.bytes.size());
}

// A row whose every difference takes a long, nearly all-ones code and 15 value bits of ones:
// with a stuffed 0 after almost every byte it takes more than 4 bytes a sample, and still
// fits the bit-stream buffer in one piece.
TEST(LosslessFrame, RowOfTheLongestCodesFitsTheBitStream) {
  constexpr int32_t kWidth = 2048, kHeight = 257;
  Samples s{kWidth, kHeight, 1, 16, std::vector<uint16_t>(size_t(kWidth) * kHeight)};
  // Row 0: every difference after the first is +32767 (category 15, value bits all ones).
  s.values[0] = 32768;
  for (int32_t x = 1; x < kWidth; ++x) s.values[x] = static_cast<uint16_t>(s.values[x - 1] + 32767);
  // The other rows: differences of category c with probability 2^-(c + 1) (up to 11), so the
  // codes grow a bit a category and category 15, rarer than category 7, gets a long one.
  uint32_t seed = 17;
  auto next = [&seed] { return seed = seed * 1664525u + 1013904223u, seed >> 8; };
  for (int32_t y = 1; y < kHeight; ++y) {
    for (int32_t x = 0; x < kWidth; ++x) {
      int32_t c = 0;
      for (uint32_t bits = next(); (bits & 1) != 0 && c < 11; bits >>= 1) ++c;
      int32_t d = c == 0 ? 0 : (1 << (c - 1)) + static_cast<int32_t>(next() % (1u << (c - 1)));
      if (next() & 1) d = -d;
      const uint16_t prediction = x == 0 ? s.values[size_t(y - 1) * kWidth] : s.values[size_t(y) * kWidth + x - 1];
      s.values[size_t(y) * kWidth + x] = static_cast<uint16_t>(prediction + d);
    }
  }
  const LosslessResult r = EncodeLossless(s, ColorGray, ColorGray, 0, 1);
  ASSERT_EQ(r.params, CoreOk);
  ASSERT_EQ(r.header, CoreOk);
  ASSERT_EQ(r.data, CoreOk);
  const test::LosslessDecoded d = test::DecodeLossless(r.bytes);
  ASSERT_TRUE(d.ok) << d.error;
  // The premise: a code of 8 bits or more, so row 0 takes more than 4.5 bytes a sample.
  EXPECT_GE(d.codeLength[0][15], 8);
  EXPECT_EQ(d.planes[0], s.values);
}

// An output that ends inside the coded rows: the scan stops with -5, nothing is written past
// the capacity and no EOI follows.
TEST(LosslessFrame, FullOutputStopsTheScan) {
  const Samples s = MakeSamples(50, 40, 3, 8, Pattern::kNoise);
  const LosslessResult whole = EncodeLossless(s, ColorRgb, ColorRgb, 50, 1);
  ASSERT_EQ(whole.data, CoreOk);
  for (int32_t capacity : {static_cast<int32_t>(whole.bytes.size()) / 2,
                           static_cast<int32_t>(whole.bytes.size()) - 1}) {
    SCOPED_TRACE(capacity);
    const LosslessResult cut = EncodeLossless(s, ColorRgb, ColorRgb, 50, 1, capacity);
    EXPECT_EQ(cut.header, CoreOk);
    EXPECT_EQ(cut.data, CoreOutputFull);
    EXPECT_FALSE(cut.wroteBeyondCapacity);
    ASSERT_LE(cut.bytes.size(), whole.bytes.size());
    EXPECT_TRUE(std::equal(cut.bytes.begin(), cut.bytes.end(), whole.bytes.begin()));
  }
}

TEST(LosslessFrame, RefusedParametersStoreNothing) {
  struct Case {
    const char* what;
    int32_t width, height, channels, precision, sourceColor, frameColor, restart, optimize;
  };
  const Case cases[] = {
      // Restarts are counted a row at a time: an interval of one and a half rows would be
      // announced by DRI but never reached.
      {"restart of one and a half rows", 8, 8, 1, 8, ColorGray, ColorGray, 12, 0},
      {"restart shorter than a row", 8, 8, 1, 8, ColorGray, ColorGray, 3, 1},
      {"restart negative", 8, 8, 1, 8, ColorGray, ColorGray, -8, 0},
      {"restart beyond DRI", 65535, 2, 1, 8, ColorGray, ColorGray, 131070, 0},
      // The standard DC table has no codes for the categories of 12-bit differences.
      {"12 bits with the standard table", 8, 8, 1, 12, ColorGray, ColorGray, 0, 0},
      {"precision 1", 8, 8, 1, 1, ColorGray, ColorGray, 0, 1},
      {"precision 17", 8, 8, 1, 17, ColorGray, ColorGray, 0, 1},
      {"no conversion of 12-bit samples to YCbCr", 8, 8, 3, 12, ColorRgb, ColorYCbCr, 0, 1},
      {"packed 4:2:2 source", 8, 8, 3, 8, ColorYCbCr, ColorYCbCr, 0, 1},
      {"RGB with 4 channels", 8, 8, 4, 8, ColorRgb, ColorRgb, 0, 1},
      {"width 0", 0, 8, 1, 8, ColorGray, ColorGray, 0, 1},
      {"height 65536", 8, 65536, 1, 8, ColorGray, ColorGray, 0, 1},
  };
  // Every case above is accepted once its one fault is put right.
  {
    uint8_t pixels[64] = {};
    CJPEGEncoder encoder;
    encoder.SetInterleavedSource8(pixels, 8, 8, 8, 1, ColorGray, 0, 8);
    EXPECT_EQ(encoder.SetLosslessParams(ColorGray, 8, 0), CoreOk);
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    uint16_t pixels[64] = {};
    CJPEGEncoder encoder;
    if (c.precision > 8) {
      encoder.SetInterleavedSource16(pixels, 16, c.width, c.height, c.channels, c.sourceColor,
                                     0, c.precision);
    } else {
      encoder.SetInterleavedSource8(reinterpret_cast<const uint8_t*>(pixels), 16, c.width,
                                    c.height, c.channels, c.sourceColor, 0, c.precision);
    }
    EXPECT_EQ(encoder.SetLosslessParams(c.frameColor, c.restart, c.optimize), CoreBadParameter);
    EXPECT_EQ(encoder.Mode(), ModeBaseline);
    EXPECT_EQ(encoder.ComponentCount(), 0);
    EXPECT_EQ(encoder.RestartInterval(), 0);
    EXPECT_EQ(encoder.WriteHeader(), CoreBadParameter);
  }
  // Whole rows are accepted, and SetParams still answers mode 4 with -3.
  uint8_t pixels[64] = {};
  CJPEGEncoder encoder;
  encoder.SetInterleavedSource8(pixels, 8, 8, 8, 1, ColorGray, 0, 8);
  EXPECT_EQ(encoder.SetParams(ModeLossless, ColorGray, 0, 0, 0, 95, 0), CoreBadParameter);
  EXPECT_EQ(encoder.SetLosslessParams(ColorGray, 16, 0), CoreOk);
  EXPECT_EQ(encoder.RestartInterval(), 16);
  // Planes have no lossless path.
  const uint8_t* planes[4] = {pixels, nullptr, nullptr, nullptr};
  const int32_t steps[4] = {8, 0, 0, 0};
  CJPEGEncoder planar;
  planar.SetPlanarSource8(planes, steps, 8, 8, 1, ColorGray, 0, 8);
  EXPECT_EQ(planar.SetLosslessParams(ColorGray, 0, 0), CoreBadParameter);
}

// An encoder that coded a lossless frame codes a later, smaller baseline frame with the
// sequential scan's own SOS fields (Ss 0, Se 63, Ah and Al 0), not the predictor's.
TEST(LosslessFrame, ALaterBaselineFrameOfTheSameEncoderIsSequential) {
  const Samples s = MakeSamples(64, 64, 1, 8, Pattern::kNoise);
  std::vector<uint8_t> pixels(s.values.begin(), s.values.end());
  std::vector<uint8_t> out(1 << 16);
  CJPEGEncoder encoder;
  for (int32_t mode : {ModeLossless, ModeBaseline}) {
    SCOPED_TRACE(mode);
    const int32_t side = mode == ModeLossless ? 64 : 16;
    encoder.SetInterleavedSource8(pixels.data(), 64, side, side, 1, ColorGray, 0, 8);
    ASSERT_EQ(mode == ModeLossless ? encoder.SetLosslessParams(ColorGray, 0, 1)
                                   : encoder.SetParams(ModeBaseline, ColorGray, 0, 0, 0, 90, 0),
              CoreOk);
    CMemBuffOutput stream;
    stream.Open(out.data(), static_cast<int32_t>(out.size()));
    encoder.SetOutputStream(&stream);
    ASSERT_EQ(encoder.WriteHeader(), CoreOk);
    ASSERT_EQ(encoder.WriteData(), CoreOk);
    int64_t length = 0;
    stream.Position(&length);
    const std::vector<uint8_t> bytes(out.begin(), out.begin() + length);
    if (mode == ModeLossless) {
      EXPECT_TRUE(test::DecodeLossless(bytes).ok);
    } else {
      const test::SequentialDecoded d = test::DecodeSequential(bytes);
      EXPECT_TRUE(d.ok) << d.error;
    }
  }
}

// The difference rows are sized by the image width (one 16-bit difference a sample and
// component, every row with optimised tables), and an encoder whose coefficient buffer an
// earlier, smaller frame sized refuses a lossless frame that would not fit it.
TEST(LosslessFrame, DifferenceBuffersFollowTheWidth) {
  std::vector<uint8_t> pixels(13 * 7 * 3, 9);
  for (int32_t optimize : {0, 1}) {
    CJPEGEncoder encoder;
    encoder.SetInterleavedSource8(pixels.data(), 39, 13, 7, 3, ColorRgb, 0, 8);
    ASSERT_EQ(encoder.SetLosslessParams(ColorRgb, 0, optimize), CoreOk);
    ASSERT_EQ(encoder.PrepareBuffers(), CoreOk);
    EXPECT_EQ(encoder.CoefficientBufferBytes(), 13 * 3 * 2 * (optimize ? 7 : 1));
    EXPECT_EQ(encoder.McusPerRow(), 13);
    EXPECT_EQ(encoder.McuRows(), 7);
  }
  // A baseline 8 x 8 gray frame keeps 128 bytes of coefficients: 64 samples of differences.
  std::vector<uint8_t> wide(65 * 8, 1);
  CJPEGEncoder reused;
  reused.SetInterleavedSource8(wide.data(), 65, 8, 8, 1, ColorGray, 0, 8);
  ASSERT_EQ(reused.SetParams(ModeBaseline, ColorGray, 0, 0, 0, 95, 0), CoreOk);
  ASSERT_EQ(reused.PrepareBuffers(), CoreOk);
  ASSERT_EQ(reused.CoefficientBufferBytes(), 128);
  reused.SetInterleavedSource8(wide.data(), 65, 64, 8, 1, ColorGray, 0, 8);
  ASSERT_EQ(reused.SetLosslessParams(ColorGray, 0, 0), CoreOk);
  EXPECT_EQ(reused.PrepareBuffers(), CoreOk);
  reused.SetInterleavedSource8(wide.data(), 65, 65, 8, 1, ColorGray, 0, 8);
  ASSERT_EQ(reused.SetLosslessParams(ColorGray, 0, 0), CoreOk);
  EXPECT_EQ(reused.PrepareBuffers(), CoreBadParameter);
  EXPECT_EQ(reused.WriteHeader(), CoreBadParameter);
  EXPECT_EQ(reused.WriteData(), CoreBadParameter);
}

}  // namespace
}  // namespace vorn::jpeg
