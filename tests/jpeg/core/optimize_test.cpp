// Baseline frames coded with Huffman tables built for the image.
#include <gtest/gtest.h>

#include <string>

#include "jpeg/primitives/frame/dispatch.h"
#include "tests/jpeg/core/core_fixture.h"

namespace vorn::jpeg {
namespace {

using test::EncodeConfig;
using test::EncodeResult;
using test::Image;

// The DHT segments of the header: (class << 4 | id) of each, in order.
std::vector<uint8_t> HuffmanSegments(const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> tables;
  size_t i = 2;
  while (i + 4 <= bytes.size() && bytes[i] == 0xFF && bytes[i + 1] != 0xDA) {
    if (bytes[i + 1] == 0xC4) tables.push_back(bytes[i + 4]);
    i += 2 + ((size_t(bytes[i + 2]) << 8) | bytes[i + 3]);
  }
  return tables;
}

// A photo-like mix: ramps with noise, so many symbols occur with uneven counts.
Image Mixed(int32_t w, int32_t h, int32_t channels, uint32_t seed) {
  Image image = test::NoiseImage(w, h, channels, seed);
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      uint8_t* p = image.At(x, y);
      for (int32_t k = 0; k < channels; ++k) {
        p[k] = uint8_t(p[k] / 8 + ((x * (3 + k) + y * 2) % 200));
      }
    }
  }
  return image;
}

TEST(CoreOptimize, SameCoefficientsAsTheStandardTablesInASmallerStream) {
  struct Case {
    int32_t width, height, channels, sourceColor, frameColor, sampling, restart;
    std::vector<uint8_t> segments;  // class << 4 | id
  };
  const std::vector<Case> cases = {
      {64, 48, 3, ColorBgr, ColorYCbCr, Sampling420, 1, {0x00, 0x10, 0x01, 0x11}},
      {61, 37, 3, ColorBgr, ColorYCbCr, Sampling420, 0, {0x00, 0x10, 0x01, 0x11}},
      {33, 17, 4, ColorBgra, ColorYCbCr, Sampling422, 3, {0x00, 0x10, 0x01, 0x11}},
      {9, 9, 3, ColorBgr, ColorYCbCr, Sampling444, 1, {0x00, 0x10, 0x01, 0x11}},
      {200, 120, 3, ColorBgr, ColorYCbCr, Sampling420, 7, {0x00, 0x10, 0x01, 0x11}},
      {47, 31, 1, ColorGray, ColorGray, Sampling444, 2, {0x00, 0x10}},
      {40, 24, 3, ColorRgb, ColorRgb, Sampling444, 0, {0x00, 0x10}},
      {23, 19, 4, ColorCmyk, ColorCmyk, Sampling444, 1, {0x00, 0x10}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " colour " +
                 std::to_string(c.frameColor) + " sampling " + std::to_string(c.sampling) +
                 " restart " + std::to_string(c.restart));
    for (uint32_t seed : {1u, 2u}) {
      const Image image = Mixed(c.width, c.height, c.channels, seed);
      EncodeConfig config;
      config.sourceColor = c.sourceColor;
      config.frameColor = c.frameColor;
      config.sampling = c.sampling;
      config.restartInterval = c.restart;
      const EncodeResult standard = test::Encode(image, config);
      config.optimizeHuffman = 1;
      const EncodeResult optimised = test::Encode(image, config);
      ASSERT_TRUE(standard.Ok());
      ASSERT_TRUE(optimised.Ok()) << optimised.header << " " << optimised.data;
      EXPECT_EQ(HuffmanSegments(optimised.bytes), c.segments);
      EXPECT_LT(optimised.bytes.size(), standard.bytes.size());
      // The restart markers stay where they were.
      const auto a = test::ScanMarkers(standard.bytes), b = test::ScanMarkers(optimised.bytes);
      ASSERT_EQ(a.size(), b.size());
      for (size_t i = 0; i < a.size(); ++i) ASSERT_EQ(a[i].code, b[i].code) << i;
#if VORN_HAVE_LIBJPEG
      const auto want = test::ReadCoefficients(standard.bytes);
      const auto got = test::ReadCoefficients(optimised.bytes);
      ASSERT_FALSE(want.empty());
      ASSERT_EQ(got, want);
#endif
      // The same request codes the same bytes again, in every processor build.
      for (int32_t slot : prim::kEntriesReferenceFirst) {
        if (!prim::BuildRunsHere(slot)) continue;
        prim::ScopedProcessorIndex use(slot);
        ASSERT_EQ(test::Encode(image, config).bytes, optimised.bytes) << "slot " << slot;
      }
    }
  }
}

// A flat image uses few symbols: the tables hold only those, and still decode.
TEST(CoreOptimize, FlatImageGetsTinyTables) {
  Image image = test::RampImage(32, 32, 3);
  for (uint8_t& b : image.pixels) b = 77;
  EncodeConfig config;
  config.optimizeHuffman = 1;
  const EncodeResult r = test::Encode(image, config);
  ASSERT_TRUE(r.Ok());
#if VORN_HAVE_LIBJPEG
  config.optimizeHuffman = 0;
  EXPECT_EQ(test::ReadCoefficients(r.bytes), test::ReadCoefficients(test::Encode(image, config).bytes));
#endif
}

// The whole-image buffer is sized in 64 bits: an image whose coefficients do not fit the
// allocator is refused before anything is allocated or written past the header start.
TEST(CoreOptimize, AWholeImageTooLargeForOneBufferIsRefused) {
  static uint8_t pixel[4] = {};
  CJPEGEncoder encoder;
  // 65535 x 65535 in 4:4:4: 3 x 8192 x 8192 blocks of 128 bytes, far beyond 2^31.
  ASSERT_EQ(encoder.SetInterleavedSource8(pixel, 0, 65535, 65535, 3, ColorBgr, 0, 8), CoreOk);
  ASSERT_EQ(encoder.SetParams(ModeBaseline, ColorYCbCr, Sampling444, 0, 1, 90, 1), CoreOk);
  std::vector<uint8_t> out(4096);
  CMemBuffOutput stream;
  stream.Open(out.data(), static_cast<int32_t>(out.size()));
  encoder.SetOutputStream(&stream);
  EXPECT_EQ(encoder.WriteHeader(), CoreBadParameter);
  EXPECT_EQ(encoder.CoefficientBuffer(), nullptr);
}

}  // namespace
}  // namespace vorn::jpeg
