// The codec layer under the frame encoder: sampling factors and presets, value ranges, the
// image description's copies and arrays, and the encoder's forwarding to its core.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "jpeg/codec/image_desc.h"
#include "jpeg/codec/jpeg_encoder.h"
#include "jpeg/codec/uic_array.h"
#include "jpeg/core/encoder.h"
#include "jpeg/stream/membuff_output.h"

namespace vorn::jpeg::ImageCodec {
namespace {

TEST(CodecLayer, SamplingFactorsNameTheirLayout) {
  struct Case {
    int32_t channels;
    SamplingFactor f[4];
    int32_t sampling;
  } cases[] = {
      {1, {{2, 2}}, 0},
      {3, {{1, 1}, {1, 1}, {1, 1}}, 0},
      {3, {{2, 1}, {1, 1}, {1, 1}}, 1},
      {3, {{1, 2}, {1, 1}, {1, 1}}, 2},
      {3, {{2, 2}, {1, 1}, {1, 1}}, 3},
      {3, {{4, 4}, {2, 2}, {2, 2}}, 3},
      {3, {{3, 1}, {1, 1}, {1, 1}}, 4},
      {3, {{2, 2}, {1, 1}, {2, 1}}, 4},
      {4, {{2, 2}, {1, 1}, {1, 1}, {2, 2}}, 3},
      {4, {{2, 2}, {1, 1}, {1, 1}, {1, 1}}, 4},
      {2, {{1, 1}, {1, 1}}, 4},
      {5, {{1, 1}, {1, 1}, {1, 1}, {1, 1}}, 4},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SamplingFromFactors(c.f, c.channels), c.sampling)
        << c.channels << " channels, " << c.f[0].horizontal << "x" << c.f[0].vertical;
  }
  // Every preset gives back its own sampling value.
  for (const int32_t channels : {3, 4}) {
    for (int32_t preset = 0; preset <= 3; ++preset) {
      ImageGeometry g;
      ASSERT_EQ(g.Set(0, 0, 16, 16, channels), 0);
      ASSERT_EQ(SamplingPresets(&g, preset), 0);
      EXPECT_EQ(SamplingFromFactors(g), preset == 2 ? 2 : preset) << channels << " " << preset;
    }
  }
  // Presets other than 0 need 3 or 4 channels, unknown presets fail: nothing changes.
  ImageGeometry two;
  ASSERT_EQ(two.Set(0, 0, 8, 8, 2), 0);
  EXPECT_EQ(SamplingPresets(&two, 3), -1);
  EXPECT_EQ(two.factors[0].horizontal, 1);
  EXPECT_EQ(SamplingPresets(&two, 0), 0);
  ImageGeometry three;
  ASSERT_EQ(three.Set(0, 0, 8, 8, 3), 0);
  ASSERT_EQ(SamplingPresets(&three, 3), 0);
  EXPECT_EQ(SamplingPresets(&three, 4), -1);
  EXPECT_EQ(SamplingPresets(&three, -1), -1);
  EXPECT_EQ(three.factors[0].horizontal, 2);
  EXPECT_EQ(SamplingPresets(nullptr, 0), -1);
}

TEST(CodecLayer, ValueRangesKeepTheHighestBit) {
  EXPECT_EQ(ValueRange::Of(0, 0xFF).bitDepth, 7);
  EXPECT_EQ(ValueRange::Of(0, 0x100).bitDepth, 8);
  EXPECT_EQ(ValueRange::Of(0, 0xFFF).bitDepth, 11);
  EXPECT_EQ(ValueRange::Of(0, 1).bitDepth, 0);
  EXPECT_EQ(ValueRange::Of(0, 0).bitDepth, 0);
  EXPECT_EQ(ValueRange::Of(0, -5).bitDepth, 0);
  EXPECT_EQ(UicToJpegColor(UicColorBgra), ColorBgra);
  EXPECT_EQ(UicToJpegColor(UicColorYCbCr), ColorYCbCr);
  EXPECT_EQ(UicToJpegColor(UicColorYcck), ColorYcck);
  EXPECT_EQ(UicToJpegColor(2), ColorUnknown);
  EXPECT_EQ(UicToJpegColor(14), ColorUnknown);
  EXPECT_EQ(UicToJpegColor(-1), ColorUnknown);
  EXPECT_EQ(UicToJpegSampling(3), Sampling420);
  EXPECT_EQ(UicToJpegSampling(9), SamplingOther);
}

// Counts how many of its kind are alive, so a test sees an array release its elements.
struct Tracked {
  static int alive;
  Tracked() { ++alive; }
  ~Tracked() { --alive; }
};
int Tracked::alive = 0;

TEST(CodecLayer, ArraysKnowTheirCountAndReleaseTheirElements) {
  Tracked* t = UicArrayNew<Tracked>(5);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(UicArrayCount(t), 5u);
  EXPECT_EQ(Tracked::alive, 5);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(t) % alignof(Tracked), 0u);
  UicArrayDelete(t);
  EXPECT_EQ(Tracked::alive, 0);
  UicArrayDelete<Tracked>(nullptr);
  EXPECT_EQ(UicArrayCount<Tracked>(nullptr), 0u);
  EXPECT_EQ(UicArrayNew<uint64_t>(SIZE_MAX / 4), nullptr);  // the size would overflow
}

TEST(CodecLayer, DescriptionCopiesWhatItIsFilledFrom) {
  uint8_t pixels[64 * 3] = {};
  ImageGeometry g;
  ASSERT_EQ(g.Set(2, 3, 8, 8, 3), 0);
  ASSERT_EQ(SamplingPresets(&g, 3), 0);
  const uint8_t* planes[1] = {pixels};
  int32_t lineSteps[1] = {24};
  int32_t pixelSteps[1] = {3};
  ValueRange ranges[3] = {ValueRange::Of(0, 255), ValueRange::Of(0, 255), ValueRange::Of(0, 255)};
  ImageDesc d;
  ASSERT_EQ(d.Fill(g, kSampleType8, 1, planes, lineSteps, pixelSteps, ranges, UicColorBgr), 0);
  lineSteps[0] = 99;
  ranges[0] = ValueRange::Of(0, 1);
  ASSERT_EQ(SamplingPresets(&g, 0), 0);
  EXPECT_EQ(d.LineSteps()[0], 24);
  EXPECT_EQ(d.Ranges()[0].bitDepth, 7);
  EXPECT_EQ(d.Factors()[0].horizontal, 2);
  EXPECT_EQ(d.PlaneData()[0], pixels);
  EXPECT_EQ(d.OriginX(), 2);
  EXPECT_EQ(d.OriginY(), 3);
  EXPECT_EQ(d.ChannelCount(), 3);
  // More planes than channels, or none, is refused and leaves the description empty.
  EXPECT_EQ(d.Fill(g, kSampleType8, 4, planes, lineSteps, pixelSteps, ranges, UicColorBgr), -1);
  EXPECT_EQ(d.PlaneCount(), 0);
  EXPECT_EQ(d.Fill(g, kSampleType8, 0, planes, lineSteps, pixelSteps, ranges, UicColorBgr), -1);
}

TEST(CodecLayer, EncoderForwardsToItsCoreAndReducesFailuresToMinusOne) {
  JPEGEncoder e;
  // Nothing works before Init.
  EXPECT_EQ(e.Core(), nullptr);
  EXPECT_EQ(e.WriteHeader(), -1);
  EXPECT_EQ(e.SetParams(JPEGEncoderParamsBAS{}), -1);
  ASSERT_EQ(e.Init(), 0);
  const CJPEGEncoder* core = e.Core();
  ASSERT_NE(core, nullptr);
  ASSERT_EQ(e.Init(), 0);
  EXPECT_EQ(e.Core(), core);  // a second Init keeps the core
  EXPECT_EQ(e.SetThreadCount(8), 1);
  EXPECT_EQ(e.ThreadCount(), 1);
  EXPECT_EQ(e.ReservedQuery4(), 0);
  EXPECT_EQ(e.ReservedQuery8(), 0);
  EXPECT_EQ(e.ReservedQuery11(), 0);
  const CodecVersionInfo* v = e.GetVersion();
  EXPECT_EQ(v->build, 1);
  EXPECT_EQ(std::string(v->name), "Marrel Codec JPEG Encoder");
  EXPECT_EQ(std::string(v->version), "v0.0.1.0 alpha");
  EXPECT_EQ(std::string(v->buildDate), "May 15 2013");

  uint8_t pixels[16 * 16 * 4] = {};
  ImageGeometry g;
  ASSERT_EQ(g.Set(0, 0, 16, 16, 4), 0);
  ASSERT_EQ(SamplingPresets(&g, 0), 0);
  const uint8_t* planes[1] = {pixels};
  const int32_t lineSteps[1] = {64}, pixelSteps[1] = {4};
  const ValueRange r = ValueRange::Of(0, 255);
  const ValueRange ranges[4] = {r, r, r, r};
  ImageDesc d;
  // Sample types other than 8 and 16 bits are refused.
  ASSERT_EQ(d.Fill(g, 1, 1, planes, lineSteps, pixelSteps, ranges, UicColorBgra), 0);
  EXPECT_EQ(e.SetSourceImage(&d), -1);
  EXPECT_EQ(e.SetSourceImage(nullptr), -1);
  ASSERT_EQ(d.Fill(g, kSampleType8, 1, planes, lineSteps, pixelSteps, ranges, UicColorBgra), 0);
  ASSERT_EQ(e.SetSourceImage(&d), 0);
  EXPECT_EQ(core->Width(), 16);

  // A refused core parameter (a restart interval beyond 16 bits) comes back as -1; so does a
  // bad density, which is set after the parameters.
  JPEGEncoderParamsBAS p;
  p.color = UicColorYCbCr;
  p.sampling = 3;
  p.restartInterval = 65536;
  EXPECT_EQ(e.SetParams(p), -1);
  p.restartInterval = 0;
  p.densityUnits = 3;
  EXPECT_EQ(e.SetParams(p), -1);
  p.densityUnits = 0;
  p.restartInterval = 1;
  ASSERT_EQ(e.SetParams(p), 0);
  EXPECT_EQ(core->McuWidth(), 16);
  EXPECT_EQ(core->McuHeight(), 16);
  EXPECT_EQ(core->RestartInterval(), 1);

  // The header before an output stream fails; with one it fits, and so does the data.
  std::vector<uint8_t> out(4096);
  CMemBuffOutput stream;
  ASSERT_EQ(stream.Open(out.data(), static_cast<int32_t>(out.size())), 0);
  ASSERT_EQ(e.SetOutputStream(&stream), 0);
  char comment[128] = {};
  ASSERT_EQ(e.SetComment(0, comment), 0);
  EXPECT_EQ(e.SetComment(70000, comment), -1);
  EXPECT_EQ(e.WriteData(), -1);  // no header yet
  ASSERT_EQ(e.WriteHeader(), 0);
  ASSERT_EQ(e.WriteData(), 0);
  int64_t length = 0;
  stream.Position(&length);
  EXPECT_GT(length, 686);
  EXPECT_EQ(out[length - 1], 0xD9);
}

}  // namespace
}  // namespace vorn::jpeg::ImageCodec
