// Progressive frames: the scan script, each scan's own tables, and streams that a decoder
// reads back to exactly the coefficients of the baseline frame.
#include <gtest/gtest.h>

#include <string>

#include "jpeg/primitives/frame/dispatch.h"
#include "tests/jpeg/core/core_fixture.h"

namespace vorn::jpeg {
namespace {

using test::EncodeConfig;
using test::EncodeResult;
using test::Image;

struct Segment {
  uint8_t marker;
  std::vector<uint8_t> body;  // after the length
};

// Every marker segment of the stream (SOS included), skipping entropy-coded data.
std::vector<Segment> Segments(const std::vector<uint8_t>& bytes) {
  std::vector<Segment> out;
  size_t i = 2;
  while (i + 1 < bytes.size()) {
    if (bytes[i] != 0xFF) {
      ++i;
      continue;
    }
    const uint8_t m = bytes[i + 1];
    if (m == 0x00 || (m >= 0xD0 && m <= 0xD7) || m == 0xFF) {
      i += m == 0xFF ? 1 : 2;
      continue;
    }
    if (m == 0xD9) {
      out.push_back({m, {}});
      break;
    }
    const size_t length = (size_t(bytes[i + 2]) << 8) | bytes[i + 3];
    out.push_back({m, std::vector<uint8_t>(bytes.begin() + i + 4, bytes.begin() + i + 2 + length)});
    i += 2 + length;
  }
  return out;
}

// The markers between the scan segments: 'H' for DHT, 'S' for SOS.
std::string ScanLayout(const std::vector<uint8_t>& bytes) {
  std::string s;
  for (const Segment& seg : Segments(bytes)) {
    if (seg.marker == 0xC4) s += 'H';
    if (seg.marker == 0xDA) s += 'S';
  }
  return s;
}

Image Mixed(int32_t w, int32_t h, int32_t channels, uint32_t seed) {
  Image image = test::NoiseImage(w, h, channels, seed);
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      uint8_t* p = image.At(x, y);
      for (int32_t k = 0; k < channels; ++k) p[k] = uint8_t(p[k] / 6 + ((x * (2 + k) + y * 3) % 210));
    }
  }
  return image;
}

TEST(CoreProgressive, DecodesToTheBaselineCoefficients) {
  struct Case {
    int32_t width, height, channels, sourceColor, frameColor, sampling, restart, quality;
  };
  const Case cases[] = {
      {64, 48, 3, ColorBgr, ColorYCbCr, Sampling420, 0, 95},
      {61, 37, 3, ColorBgr, ColorYCbCr, Sampling420, 1, 90},
      {9, 9, 3, ColorBgr, ColorYCbCr, Sampling420, 0, 75},
      {33, 17, 4, ColorBgra, ColorYCbCr, Sampling422, 3, 100},
      {20, 16, 3, ColorBgr, ColorYCbCr, Sampling444, 1, 85},
      {47, 31, 1, ColorGray, ColorGray, Sampling444, 2, 95},
      {40, 24, 3, ColorRgb, ColorRgb, Sampling444, 0, 60},
      {23, 19, 4, ColorCmyk, ColorCmyk, Sampling444, 5, 95},
      {130, 70, 3, ColorBgr, ColorYCbCr, Sampling420, 0, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " colour " +
                 std::to_string(c.frameColor) + " sampling " + std::to_string(c.sampling) +
                 " restart " + std::to_string(c.restart) + " q" + std::to_string(c.quality));
    const Image image = Mixed(c.width, c.height, c.channels, uint32_t(c.width));
    EncodeConfig config;
    config.sourceColor = c.sourceColor;
    config.frameColor = c.frameColor;
    config.sampling = c.sampling;
    config.restartInterval = c.restart;
    config.quality = c.quality;
    const EncodeResult baseline = test::Encode(image, config);
    config.mode = ModeProgressive;
    const EncodeResult progressive = test::Encode(image, config);
    ASSERT_TRUE(baseline.Ok());
    ASSERT_TRUE(progressive.Ok()) << progressive.setParams << " " << progressive.header << " "
                                  << progressive.data;
    ASSERT_GE(progressive.bytes.size(), 4u);
    EXPECT_EQ(progressive.bytes[progressive.bytes.size() - 1], 0xD9);
    // SOF2, and no table before the first scan's own.
    bool sof2 = false;
    for (const Segment& s : Segments(progressive.bytes)) sof2 |= s.marker == 0xC2;
    EXPECT_TRUE(sof2);
    // Every processor build of the primitives gives the same stream.
    for (int32_t slot : prim::kEntriesReferenceFirst) {
      if (!prim::BuildRunsHere(slot)) continue;
      prim::ScopedProcessorIndex use(slot);
      ASSERT_EQ(test::Encode(image, config).bytes, progressive.bytes) << "slot " << slot;
    }
#if VORN_HAVE_LIBJPEG
    const auto want = test::ReadCoefficients(baseline.bytes);
    const auto got = test::ReadCoefficients(progressive.bytes);
    ASSERT_FALSE(want.empty());
    ASSERT_EQ(got, want);
    const test::Decoded d = test::DecodeWithLibjpeg(progressive.bytes,
                                                    c.channels == 1 ? JCS_GRAYSCALE
                                                    : c.frameColor == ColorCmyk ? JCS_CMYK
                                                                                 : JCS_RGB);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.warnings, 0);
#endif
  }
}

TEST(CoreProgressive, ScriptsAndTheirTables) {
  // One component: six scans, the DC refinement (scan 5) without a table.
  Image gray = Mixed(24, 16, 1, 3);
  EncodeConfig config;
  config.mode = ModeProgressive;
  config.sourceColor = ColorGray;
  config.frameColor = ColorGray;
  config.sampling = Sampling444;
  config.restartInterval = 0;
  EncodeResult r = test::Encode(gray, config);
  ASSERT_TRUE(r.Ok());
  EXPECT_EQ(ScanLayout(r.bytes), "HSHSHSHSSHS");

  // Three YCbCr components: three DC tables before scan 1 (table 1 twice, the same), none
  // before scan 7.
  Image colour = Mixed(48, 32, 3, 4);
  config.sourceColor = ColorBgr;
  config.frameColor = ColorYCbCr;
  config.sampling = Sampling420;
  r = test::Encode(colour, config);
  ASSERT_TRUE(r.Ok());
  EXPECT_EQ(ScanLayout(r.bytes), "HHHSHSHSHSHSHSSHSHSHS");
  const std::vector<Segment> segments = Segments(r.bytes);
  std::vector<const Segment*> dht, sos;
  for (const Segment& s : segments) {
    if (s.marker == 0xC4) dht.push_back(&s);
    if (s.marker == 0xDA) sos.push_back(&s);
  }
  ASSERT_EQ(sos.size(), 10u);
  EXPECT_EQ(dht[0]->body[0], 0x00);
  EXPECT_EQ(dht[1]->body[0], 0x01);
  EXPECT_EQ(dht[2]->body, dht[1]->body);
  EXPECT_EQ(sos[0]->body, std::vector<uint8_t>({0x03, 0x00, 0x00, 0x01, 0x11, 0x02, 0x11, 0x00,
                                                0x00, 0x01}));
  // Scan 3 is Cr's whole band at Al 1, scan 4 Cb's.
  EXPECT_EQ(sos[2]->body, std::vector<uint8_t>({0x01, 0x02, 0x11, 0x01, 0x3F, 0x01}));
  EXPECT_EQ(sos[3]->body, std::vector<uint8_t>({0x01, 0x01, 0x11, 0x01, 0x3F, 0x01}));
  // RGB: every component with tables 0.
  config.frameColor = ColorRgb;
  config.sourceColor = ColorRgb;
  config.sampling = Sampling444;
  r = test::Encode(colour, config);
  ASSERT_TRUE(r.Ok());
  for (const Segment& s : Segments(r.bytes)) {
    if (s.marker == 0xDA && s.body[0] == 3) {
      EXPECT_EQ(s.body[2], 0x00);
      EXPECT_EQ(s.body[4], 0x00);
      EXPECT_EQ(s.body[6], 0x00);
    }
  }
  // Four components: eighteen scans.
  Image cmyk = Mixed(16, 16, 4, 5);
  config.sourceColor = ColorCmyk;
  config.frameColor = ColorCmyk;
  r = test::Encode(cmyk, config);
  ASSERT_TRUE(r.Ok());
  size_t scans = 0;
  for (const Segment& s : Segments(r.bytes)) scans += s.marker == 0xDA;
  EXPECT_EQ(scans, 18u);
}

// Restart interval 1 in an AC scan of a 20-pixel-wide 4:4:4 frame: a marker before every block
// but the first, numbered from D0 in every scan.
TEST(CoreProgressive, RestartMarkersCountTheBlocksOfEachScan) {
  Image image = Mixed(20, 8, 1, 6);
  EncodeConfig config;
  config.mode = ModeProgressive;
  config.sourceColor = ColorGray;
  config.frameColor = ColorGray;
  config.sampling = Sampling444;
  config.restartInterval = 1;
  const EncodeResult r = test::Encode(image, config);
  ASSERT_TRUE(r.Ok());
  // Walk each scan's data: the restart markers between its SOS and the next segment.
  const std::vector<uint8_t>& b = r.bytes;
  std::vector<std::vector<uint8_t>> perScan;
  for (size_t i = 2; i + 1 < b.size(); ++i) {
    if (b[i] != 0xFF) continue;
    const uint8_t m = b[i + 1];
    if (m == 0xDA) {
      perScan.emplace_back();
      i += 1 + ((size_t(b[i + 2]) << 8) | b[i + 3]);
    } else if (m >= 0xD0 && m <= 0xD7 && !perScan.empty()) {
      perScan.back().push_back(m);
      ++i;
    } else if (m == 0xC4 || m == 0xDB || m == 0xC2 || m == 0xDD || m == 0xE0 || m == 0xFE) {
      i += 1 + ((size_t(b[i + 2]) << 8) | b[i + 3]);
    }
  }
  ASSERT_EQ(perScan.size(), 6u);
  // Three blocks (one block row): two markers in every scan, D0 and D1.
  for (const auto& markers : perScan) EXPECT_EQ(markers, std::vector<uint8_t>({0xD0, 0xD1}));
}

TEST(CoreProgressive, TwoComponentsAreRefused) {
  Image image = Mixed(16, 16, 2, 7);
  EncodeConfig config;
  config.mode = ModeProgressive;
  config.sourceColor = ColorUnknown;
  config.frameColor = ColorUnknown;
  config.sampling = Sampling444;
  const EncodeResult r = test::Encode(image, config);
  EXPECT_EQ(r.setParams, CoreBadParameter);
  EXPECT_TRUE(r.bytes.empty());
  // An encoder that coded a progressive frame refuses a two-component one as well: no scan
  // count is left over from the earlier script.
  static const char kComment[128] = {};
  const Image three = Mixed(16, 16, 3, 8);
  std::vector<uint8_t> out(1 << 16);
  CMemBuffOutput stream;
  stream.Open(out.data(), static_cast<int32_t>(out.size()));
  CJPEGEncoder encoder;
  encoder.SetComment(0, kComment);
  encoder.SetOutputStream(&stream);
  ASSERT_EQ(encoder.SetInterleavedSource8(three.pixels.data(), three.step, 16, 16, 3, ColorBgr, 0, 8), CoreOk);
  ASSERT_EQ(encoder.SetParams(ModeProgressive, ColorYCbCr, Sampling420, 0, 0, 90, 1), CoreOk);
  ASSERT_EQ(encoder.WriteHeader(), CoreOk);
  ASSERT_EQ(encoder.WriteData(), CoreOk);
  EXPECT_EQ(encoder.ScanScript().size(), 10u);
  ASSERT_EQ(encoder.SetInterleavedSource8(image.pixels.data(), image.step, 16, 16, 2, ColorUnknown, 0, 8), CoreOk);
  EXPECT_EQ(encoder.SetParams(ModeProgressive, ColorUnknown, Sampling444, 0, 0, 90, 1), CoreBadParameter);
  EXPECT_EQ(encoder.WriteData(), CoreBadParameter);
}

}  // namespace
}  // namespace vorn::jpeg
