// The marker segments before the scan, byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "jpeg/primitives/quant/quant_table.h"
#include "tests/jpeg/core/core_fixture.h"

namespace vorn::jpeg {
namespace {

using test::Encode;
using test::EncodeConfig;
using test::RampImage;

using Bytes = std::vector<uint8_t>;

Bytes Slice(const Bytes& bytes, size_t offset, size_t count) {
  if (offset + count > bytes.size()) return {};
  return Bytes(bytes.begin() + offset, bytes.begin() + offset + count);
}

const char kCommentText[] = "Marrel JPEG frame encoder [7.1.37466] - Sep 25 2012";

// The quantisers of a standard table at |quality|, by the scaling rule of the quality tables.
Bytes ScaledTable(const prim::RawQuantTable& base, int32_t quality) {
  Bytes out;
  const int32_t s = quality < 50 ? 5000 / quality : 200 - 2 * quality;
  for (uint8_t v : base) {
    int32_t q = (s * v + 50) / 100;
    out.push_back(static_cast<uint8_t>(q < 1 ? 1 : (q > 255 ? 255 : q)));
  }
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The display frame header: only the SOF dimensions, the luminance factor byte and the
// quantisers change with the request.
TEST(CoreHeader, DisplayFrameHeaderByteForByte) {
  struct Case {
    int32_t width, height, sampling, quality;
    uint8_t factor;
  };
  const Case cases[] = {
      {1920, 1080, 3, 95, 0x22}, {1366, 768, 1, 75, 0x21}, {1001, 601, 2, 50, 0x21},
      {8, 8, 0, 100, 0x11},      {65535, 8, 0, 1, 0x11},   {9, 65535, 3, 30, 0x22},
  };
  Bytes firstDht;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    const test::Image image = RampImage(c.width, c.height, 3);
    EncodeConfig config;
    config.sampling = c.sampling;
    config.quality = c.quality;
    const test::EncodeResult r = Encode(image, config);
    ASSERT_TRUE(r.Ok());
    EXPECT_EQ(r.headerBytes, 672);
    ASSERT_GT(r.bytes.size(), 686u);

    EXPECT_EQ(Slice(r.bytes, 0, 2), (Bytes{0xFF, 0xD8}));
    EXPECT_EQ(Slice(r.bytes, 2, 18), (Bytes{0xFF, 0xE0, 0x00, 0x10, 0x4A, 0x46, 0x49, 0x46, 0x00,
                                            0x01, 0x02, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00}));
    const std::string comText = std::string("\xFF\xFE") + '\0' + "\x37" + kCommentText + ';' + '\0';
    const Bytes com(comText.begin(), comText.end());
    EXPECT_EQ(Slice(r.bytes, 20, 57), com);
    EXPECT_EQ(Slice(r.bytes, 77, 69),
              Concat({{0xFF, 0xDB, 0x00, 0x43, 0x00}, ScaledTable(prim::StdLumaQuant, c.quality)}));
    EXPECT_EQ(Slice(r.bytes, 146, 69), Concat({{0xFF, 0xDB, 0x00, 0x43, 0x01},
                                               ScaledTable(prim::StdChromaQuant, c.quality)}));
    const uint8_t h0 = uint8_t(c.height >> 8), h1 = uint8_t(c.height);
    const uint8_t w0 = uint8_t(c.width >> 8), w1 = uint8_t(c.width);
    EXPECT_EQ(Slice(r.bytes, 215, 19),
              (Bytes{0xFF, 0xC0, 0x00, 0x11, 0x08, h0, h1, w0, w1, 0x03, 0x00, c.factor, 0x00, 0x01,
                     0x11, 0x01, 0x02, 0x11, 0x01}));
    // Four DHT segments of the lengths of the standard tables, in the order DC 0, AC 0, DC 1,
    // AC 1; their contents are compared with the decoder's standard tables elsewhere and must
    // not change between frames.
    const size_t dhtOffsets[4] = {234, 267, 450, 483};
    const uint8_t dhtLengths[4] = {0x1F, 0xB5, 0x1F, 0xB5};
    const uint8_t dhtClasses[4] = {0x00, 0x10, 0x01, 0x11};
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(Slice(r.bytes, dhtOffsets[i], 5),
                (Bytes{0xFF, 0xC4, 0x00, dhtLengths[i], dhtClasses[i]}));
    }
    const Bytes dht = Slice(r.bytes, 234, 666 - 234);
    if (firstDht.empty()) firstDht = dht;
    EXPECT_EQ(dht, firstDht);
    EXPECT_EQ(Slice(r.bytes, 666, 6), (Bytes{0xFF, 0xDD, 0x00, 0x04, 0x00, 0x01}));
    EXPECT_EQ(Slice(r.bytes, 672, 14), (Bytes{0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x00, 0x00, 0x01, 0x11,
                                              0x02, 0x11, 0x00, 0x3F, 0x00}));
  }
  // The standard tables' first bytes: DC luminance BITS 0 1 5 1 1 1 1 1 1, values 0 to 11.
  ASSERT_EQ(firstDht.size(), 432u);
  EXPECT_EQ(Slice(firstDht, 5, 28), (Bytes{0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0,  0,
                                           0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
}

// The segments a header carries, as (marker, length) pairs.
std::vector<std::pair<uint8_t, uint32_t>> SegmentList(const Bytes& bytes) {
  std::vector<std::pair<uint8_t, uint32_t>> out;
  size_t i = 2;
  while (i + 4 <= bytes.size() && bytes[i] == 0xFF) {
    const uint32_t length = (uint32_t(bytes[i + 2]) << 8) | bytes[i + 3];
    out.emplace_back(bytes[i + 1], length);
    if (bytes[i + 1] == 0xDA) break;
    i += 2 + length;
  }
  return out;
}

TEST(CoreHeader, SegmentsByFrameColour) {
  using List = std::vector<std::pair<uint8_t, uint32_t>>;
  struct Case {
    const char* what;
    int32_t sourceColor, channels, frameColor;
    List segments;
    uint8_t sofComponents[12];
  };
  const Case cases[] = {
      {"gray",
       ColorGray,
       1,
       ColorGray,
       {{0xE0, 16}, {0xFE, 55}, {0xDB, 67}, {0xC0, 11}, {0xC4, 31}, {0xC4, 181}, {0xDA, 8}},
       {0, 0x11, 0}},
      {"RGB",
       ColorRgb,
       3,
       ColorRgb,
       {{0xEE, 14}, {0xFE, 55}, {0xDB, 67}, {0xC0, 17}, {0xC4, 31}, {0xC4, 181}, {0xDA, 12}},
       {0, 0x11, 0, 1, 0x11, 0, 2, 0x11, 0}},
      {"BGR",
       ColorBgr,
       3,
       ColorRgb,
       {{0xEE, 14}, {0xFE, 55}, {0xDB, 67}, {0xC0, 17}, {0xC4, 31}, {0xC4, 181}, {0xDA, 12}},
       {0, 0x11, 0, 1, 0x11, 0, 2, 0x11, 0}},
      {"unknown colour kept as it is",
       ColorUnknown,
       3,
       ColorUnknown,
       {{0xFE, 55}, {0xDB, 67}, {0xC0, 17}, {0xC4, 31}, {0xC4, 181}, {0xDA, 12}},
       {0, 0x11, 0, 1, 0x11, 0, 2, 0x11, 0}},
      {"YCCK",
       ColorCmyk,
       4,
       ColorYcck,
       {{0xEE, 14},
        {0xFE, 55},
        {0xDB, 67},
        {0xDB, 67},
        {0xC0, 20},
        {0xC4, 31},
        {0xC4, 181},
        {0xC4, 31},
        {0xC4, 181},
        {0xDA, 14}},
       {0, 0x11, 0, 1, 0x11, 1, 2, 0x11, 1, 3, 0x11, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const test::Image image = RampImage(24, 16, c.channels);
    EncodeConfig config;
    config.sourceColor = c.sourceColor;
    config.frameColor = c.frameColor;
    config.sampling = Sampling444;
    config.restartInterval = 0;  // no DRI
    const test::EncodeResult r = Encode(image, config);
    ASSERT_TRUE(r.Ok()) << r.setParams << " " << r.header << " " << r.data;
    EXPECT_EQ(SegmentList(r.bytes), c.segments);
    size_t sof = 2;
    while (sof + 4 < r.bytes.size() && r.bytes[sof + 1] != 0xC0) {
      sof += 2 + ((size_t(r.bytes[sof + 2]) << 8) | r.bytes[sof + 3]);
    }
    const size_t n = (c.segments.back().second - 6) / 2;
    EXPECT_EQ(Slice(r.bytes, sof + 10, 3 * n), Bytes(c.sofComponents, c.sofComponents + 3 * n));
    if (c.frameColor == ColorYcck) {
      // Adobe segment with the YCCK transform.
      EXPECT_EQ(Slice(r.bytes, 2, 16), (Bytes{0xFF, 0xEE, 0x00, 0x0E, 'A', 'd', 'o', 'b', 'e', 0x00,
                                              0x64, 0, 0, 0, 0, 2}));
    }
  }
}

TEST(CoreHeader, CommentIsCutAt127BytesAndOptional) {
  const test::Image image = RampImage(8, 8, 3);
  std::string longComment(200, 'c');
  for (size_t i = 0; i < longComment.size(); ++i) longComment[i] = char('a' + i % 26);
  struct Case {
    const char* text;
    size_t expectedLength;  // the COM length field
  };
  const Case cases[] = {{nullptr, 54}, {longComment.c_str(), 2 + 51 + 1 + 127 + 1}, {"hi", 57}};
  for (const Case& c : cases) {
    std::vector<uint8_t> out(4096);
    CMemBuffOutput stream;
    stream.Open(out.data(), static_cast<int32_t>(out.size()));
    CJPEGEncoder encoder;
    encoder.SetInterleavedSource8(image.pixels.data(), image.step, 8, 8, 3, ColorBgr, 0, 8);
    ASSERT_EQ(encoder.SetParams(ModeBaseline, ColorYCbCr, 0, 0, 0, 95, 0), CoreOk);
    if (c.text != nullptr) encoder.SetComment(static_cast<int32_t>(strlen(c.text)), c.text);
    encoder.SetOutputStream(&stream);
    ASSERT_EQ(encoder.WriteHeader(), CoreOk);
    const size_t length = (size_t(out[22]) << 8) | out[23];
    EXPECT_EQ(length, c.expectedLength);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&out[24]), 51), kCommentText);
    if (c.text == nullptr) {
      EXPECT_EQ(out[24 + 51], 0);
    } else {
      EXPECT_EQ(out[24 + 51], ';');
      const size_t kept = c.expectedLength - 2 - 51 - 2;
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(&out[24 + 52]), kept),
                std::string(c.text, kept));
      EXPECT_EQ(out[24 + 52 + kept], 0);
    }
  }
}

TEST(CoreHeader, DensityGoesIntoTheApplicationSegment) {
  const test::Image image = RampImage(8, 8, 3);
  std::vector<uint8_t> out(4096);
  CMemBuffOutput stream;
  stream.Open(out.data(), static_cast<int32_t>(out.size()));
  CJPEGEncoder encoder;
  encoder.SetInterleavedSource8(image.pixels.data(), image.step, 8, 8, 3, ColorBgr, 0, 8);
  ASSERT_EQ(encoder.SetParams(ModeBaseline, ColorYCbCr, 0, 0, 0, 95, 0), CoreOk);
  ASSERT_EQ(encoder.SetDensity(1, 300, 0x1234), CoreOk);
  encoder.SetOutputStream(&stream);
  ASSERT_EQ(encoder.WriteHeader(), CoreOk);
  EXPECT_EQ(Slice(out, 13, 5), (Bytes{0x01, 0x01, 0x2C, 0x12, 0x34}));
}

// A header that does not fit the output: -5, and what fitted stays at the output.
TEST(CoreHeader, OutputSmallerThanTheHeader) {
  const test::Image image = RampImage(16, 16, 3);
  for (int32_t capacity : {1, 100, 671}) {
    EncodeConfig config;
    config.capacity = capacity;
    const test::EncodeResult r = Encode(image, config);
    EXPECT_EQ(r.header, CoreOutputFull) << capacity;
    EXPECT_EQ(r.bytes.size(), size_t(capacity));
    EXPECT_EQ(r.bytes[0], 0xFF);
  }
  EncodeConfig fits;
  fits.capacity = 672;
  const test::EncodeResult r = Encode(image, fits);
  EXPECT_EQ(r.header, CoreOk);
  EXPECT_EQ(r.data, CoreOutputFull);
}

}  // namespace
}  // namespace vorn::jpeg
