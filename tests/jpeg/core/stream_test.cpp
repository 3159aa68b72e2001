// Whole streams: restart markers, determinism, full outputs and, where libjpeg-turbo is
// linked, decoding every sampling and colour with it and reading back tables and
// coefficients.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "jpeg/primitives/frame/dispatch.h"
#include "jpeg/primitives/quant/quant_table.h"
#include "tests/jpeg/core/core_fixture.h"

namespace vorn::jpeg {
namespace {

using test::Encode;
using test::EncodeConfig;
using test::EncodeResult;
using test::Image;
using test::RampImage;

int32_t McuCount(int32_t width, int32_t height, int32_t sampling) {
  const int32_t mw = sampling == 0 ? 8 : 16, mh = sampling == 3 ? 16 : 8;
  return ((width + mw - 1) / mw) * ((height + mh - 1) / mh);
}

TEST(CoreStream, RestartMarkersBetweenEveryTwoMcus) {
  struct Case {
    int32_t width, height, sampling, interval;
  };
  const Case cases[] = {
      {8, 8, 0, 1},      {32, 16, 3, 1},    {16, 16, 3, 1},  {72, 8, 0, 1},
      {1001, 601, 3, 1}, {1366, 768, 1, 1}, {100, 40, 0, 3}, {100, 40, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " s" +
                 std::to_string(c.sampling) + " ri" + std::to_string(c.interval));
    EncodeConfig config;
    config.sampling = c.sampling;
    config.restartInterval = c.interval;
    const EncodeResult r = Encode(test::NoiseImage(c.width, c.height, 3), config);
    ASSERT_TRUE(r.Ok());
    const std::vector<test::Marker> markers = test::ScanMarkers(r.bytes);
    ASSERT_FALSE(markers.empty());
    // EOI ends the stream, right after the last MCU's data.
    EXPECT_EQ(markers.back().code, 0xD9);
    EXPECT_EQ(markers.back().offset, r.bytes.size() - 2);
    const int32_t mcus = McuCount(c.width, c.height, c.sampling);
    const size_t expected = c.interval == 0 ? 0 : size_t((mcus - 1) / c.interval);
    ASSERT_EQ(markers.size() - 1, expected);
    for (size_t i = 0; i + 1 < markers.size(); ++i) {
      EXPECT_EQ(markers[i].code, 0xD0 + (i & 7)) << i;
      // Each interval holds coded data: no marker directly after another.
      if (i > 0) {
        EXPECT_GT(markers[i].offset, markers[i - 1].offset + 2);
      }
    }
    if (!markers.empty() && markers.size() > 1) {
      EXPECT_LT(markers[markers.size() - 2].offset + 2, markers.back().offset);
    }
  }
}

TEST(CoreStream, IdenticalRequestsGiveIdenticalBytes) {
  const Image image = RampImage(1001, 601, 3);
  EncodeConfig config;
  const EncodeResult a = Encode(image, config);
  const EncodeResult b = Encode(image, config);
  ASSERT_TRUE(a.Ok());
  EXPECT_EQ(a.bytes, b.bytes);
  // Colour conversion, down-sampling, the integer DCT and Huffman coding are exact, so the
  // whole stream is fixed.
  EXPECT_EQ(test::Fnv1a64(a.bytes), 0xf266ddc673bb6049ull) << std::hex << test::Fnv1a64(a.bytes);
  // Every processor build of the primitives gives the same stream.
  for (int32_t slot : prim::kEntriesReferenceFirst) {
    if (!prim::BuildRunsHere(slot)) continue;
    prim::ScopedProcessorIndex use(slot);
    EXPECT_EQ(Encode(image, config).bytes, a.bytes) << "slot " << slot;
  }
  // 4:2:2 written as either code is one stream.
  config.sampling = Sampling422;
  const EncodeResult s1 = Encode(image, config);
  config.sampling = Sampling422Alt;
  const EncodeResult s2 = Encode(image, config);
  ASSERT_TRUE(s1.Ok());
  EXPECT_EQ(s1.bytes, s2.bytes);
}

TEST(CoreStream, FourthByteOfBgrxPixelsIsNeverRead) {
  Image zero = RampImage(61, 37, 4);
  Image noisy = zero;
  uint32_t seed = 7;
  for (int32_t y = 0; y < zero.height; ++y) {
    for (int32_t x = 0; x < zero.width; ++x) {
      zero.At(x, y)[3] = 0;
      seed = seed * 1664525u + 1013904223u;
      noisy.At(x, y)[3] = uint8_t(seed >> 24);
    }
  }
  EncodeConfig config;
  config.sourceColor = ColorBgra;
  const EncodeResult a = Encode(zero, config);
  const EncodeResult b = Encode(noisy, config);
  ASSERT_TRUE(a.Ok());
  EXPECT_EQ(a.bytes, b.bytes);
}

TEST(CoreStream, OutputEndingInsideTheData) {
  const Image image = test::NoiseImage(256, 64, 3);
  EncodeConfig config;
  const EncodeResult full = Encode(image, config);
  ASSERT_TRUE(full.Ok());
  for (int32_t capacity : {680, 686, 5000, int32_t(full.bytes.size()) - 1}) {
    SCOPED_TRACE(capacity);
    config.capacity = capacity;
    const EncodeResult r = Encode(image, config);
    EXPECT_EQ(r.header, CoreOk);
    EXPECT_EQ(r.data, CoreOutputFull);
    // Whatever fitted is the start of the full stream; no EOI was added.
    ASSERT_LE(r.bytes.size(), size_t(capacity));
    EXPECT_EQ(r.bytes,
              std::vector<uint8_t>(full.bytes.begin(), full.bytes.begin() + r.bytes.size()));
  }
  config.capacity = int32_t(full.bytes.size());
  EXPECT_TRUE(Encode(image, config).Ok());
}

// The scan runs only on buffers a header prepared for the current source and parameters: a
// wider source set after the header would overrun them.
TEST(CoreStream, DataNeedsAHeaderForTheCurrentSource) {
  const Image small = RampImage(16, 16, 3);
  const Image wide = RampImage(640, 16, 3);
  std::vector<uint8_t> out(1 << 20);
  CMemBuffOutput stream;
  stream.Open(out.data(), static_cast<int32_t>(out.size()));
  CJPEGEncoder encoder;
  encoder.SetInterleavedSource8(small.pixels.data(), small.step, 16, 16, 3, ColorBgr, 0, 8);
  ASSERT_EQ(encoder.SetParams(ModeBaseline, ColorYCbCr, 3, 1, 0, 95, 0), CoreOk);
  encoder.SetOutputStream(&stream);
  EXPECT_EQ(encoder.WriteData(), CoreBadParameter);  // no header yet
  ASSERT_EQ(encoder.WriteHeader(), CoreOk);
  encoder.SetInterleavedSource8(wide.pixels.data(), wide.step, 640, 16, 3, ColorBgr, 0, 8);
  ASSERT_EQ(encoder.SetParams(ModeBaseline, ColorYCbCr, 3, 1, 0, 95, 0), CoreOk);
  EXPECT_EQ(encoder.WriteData(), CoreBadParameter);
  // Its header refuses the larger image: the coefficient buffer is the first image's.
  EXPECT_EQ(encoder.WriteHeader(), CoreBadParameter);
  EXPECT_EQ(encoder.WriteData(), CoreBadParameter);
  // A null source fails in the first conversion, not in a crash.
  CJPEGEncoder empty;
  CMemBuffOutput other;
  other.Open(out.data(), static_cast<int32_t>(out.size()));
  empty.SetInterleavedSource8(nullptr, 48, 16, 16, 3, ColorBgr, 0, 8);
  ASSERT_EQ(empty.SetParams(ModeBaseline, ColorYCbCr, 3, 1, 0, 95, 0), CoreOk);
  empty.SetOutputStream(&other);
  ASSERT_EQ(empty.WriteHeader(), CoreOk);
  EXPECT_EQ(empty.WriteData(), CorePrimitiveFailed);
}

TEST(CoreStream, ColourWithoutConversionFailsAtTheFirstRow) {
  const Image image = RampImage(16, 16, 4);
  EncodeConfig config;
  config.sourceColor = ColorBgra;
  config.frameColor = ColorRgb;
  config.sampling = Sampling444;
  const EncodeResult r = Encode(image, config);
  EXPECT_EQ(r.setParams, CoreOk);
  EXPECT_EQ(r.header, CoreOk);
  EXPECT_EQ(r.data, CoreNoConversion);
  // The header reached the output; the scan header stayed in the bit stream, and no EOI.
  EXPECT_EQ(r.bytes.size(), size_t(r.headerBytes));
  EXPECT_NE(r.bytes.back(), 0xD9);
}

#if VORN_HAVE_LIBJPEG

// Mean and largest absolute difference between decoded RGB and the source.
struct Error {
  double mean;
  int32_t max;
};
Error CompareRgb(const Image& source, bool bgr, const std::vector<uint8_t>& rgb) {
  double sum = 0;
  int32_t max = 0;
  for (int32_t y = 0; y < source.height; ++y) {
    for (int32_t x = 0; x < source.width; ++x) {
      const uint8_t* s = source.At(x, y);
      const uint8_t* d = &rgb[(size_t(y) * source.width + x) * 3];
      for (int32_t c = 0; c < 3; ++c) {
        const int32_t e = std::abs(int32_t(d[c]) - int32_t(s[bgr ? 2 - c : c]));
        sum += e;
        if (e > max) max = e;
      }
    }
  }
  return {sum / (double(source.width) * source.height * 3), max};
}

TEST(CoreDecode, EverySamplingAndOddSizesDecodeWithoutWarnings) {
  struct Size {
    int32_t width, height;
  };
  const Size sizes[] = {{1366, 768}, {1001, 601}, {8, 8}, {9, 17}, {17, 9}, {1920, 1080}};
  for (const Size& size : sizes) {
    for (int32_t channels : {3, 4}) {
      const Image image = RampImage(size.width, size.height, channels);
      for (int32_t sampling = 0; sampling < 4; ++sampling) {
        SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height) + " c" +
                     std::to_string(channels) + " s" + std::to_string(sampling));
        EncodeConfig config;
        config.sourceColor = channels == 3 ? ColorBgr : ColorBgra;
        config.sampling = sampling;
        const EncodeResult r = Encode(image, config);
        ASSERT_TRUE(r.Ok());
        const test::Decoded d = test::DecodeWithLibjpeg(r.bytes, JCS_RGB);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.warnings, 0);
        EXPECT_EQ(d.width, size.width);
        EXPECT_EQ(d.height, size.height);
        EXPECT_EQ(d.jpegColorSpace, JCS_YCbCr);
        EXPECT_EQ(d.restartInterval, 1);
        EXPECT_EQ(d.hSamp[0], sampling == 0 ? 1 : 2);
        EXPECT_EQ(d.vSamp[0], sampling == 3 ? 2 : 1);
        const Error e = CompareRgb(image, true, d.pixels);
        EXPECT_LT(e.mean, 1.5);
        EXPECT_LE(e.max, 24);
      }
    }
  }
}

TEST(CoreDecode, OtherFrameColoursDecodeWithoutWarnings) {
  struct Case {
    const char* what;
    int32_t sourceColor, channels, frameColor;
    J_COLOR_SPACE jpegSpace, outSpace;
  };
  const Case cases[] = {
      {"gray", ColorGray, 1, ColorGray, JCS_GRAYSCALE, JCS_GRAYSCALE},
      {"RGB to gray", ColorRgb, 3, ColorGray, JCS_GRAYSCALE, JCS_GRAYSCALE},
      {"RGB", ColorRgb, 3, ColorRgb, JCS_RGB, JCS_RGB},
      {"BGR as RGB", ColorBgr, 3, ColorRgb, JCS_RGB, JCS_RGB},
      {"RGB to YCbCr", ColorRgb, 3, ColorYCbCr, JCS_YCbCr, JCS_RGB},
      {"RGBA to YCbCr", ColorRgba, 4, ColorYCbCr, JCS_YCbCr, JCS_RGB},
      {"CMYK", ColorCmyk, 4, ColorCmyk, JCS_CMYK, JCS_CMYK},
      {"CMYK to YCCK", ColorCmyk, 4, ColorYcck, JCS_YCCK, JCS_CMYK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Image image = RampImage(45, 27, c.channels);
    EncodeConfig config;
    config.sourceColor = c.sourceColor;
    config.frameColor = c.frameColor;
    config.sampling = c.frameColor == ColorGray ? Sampling444 : Sampling420;
    config.quality = 100;
    const EncodeResult r = Encode(image, config);
    ASSERT_TRUE(r.Ok());
    const test::Decoded d = test::DecodeWithLibjpeg(r.bytes, c.outSpace);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.warnings, 0);
    EXPECT_EQ(d.jpegColorSpace, c.jpegSpace);
    // Each decoded sample near its source (gray from RGB by the luminance weights).
    const int32_t outChannels = c.outSpace == JCS_GRAYSCALE ? 1 : (c.outSpace == JCS_CMYK ? 4 : 3);
    double sum = 0;
    for (int32_t y = 0; y < image.height; ++y) {
      for (int32_t x = 0; x < image.width; ++x) {
        const uint8_t* s = image.At(x, y);
        const uint8_t* o = &d.pixels[(size_t(y) * image.width + x) * outChannels];
        for (int32_t k = 0; k < outChannels; ++k) {
          int32_t expected = s[k];
          if (c.sourceColor == ColorBgr) expected = s[2 - k];
          if (c.sourceColor == ColorRgb && outChannels == 1) {
            expected = int32_t(std::lround(0.299 * s[0] + 0.587 * s[1] + 0.114 * s[2]));
          }
          sum += std::abs(int32_t(o[k]) - expected);
        }
      }
    }
    EXPECT_LT(sum / (double(image.width) * image.height * outChannels), 2.0);
  }
}

TEST(CoreDecode, TablesEqualTheDecodersStandardTables) {
  jpeg_compress_struct reference{};
  jpeg_error_mgr err{};
  reference.err = jpeg_std_error(&err);
  jpeg_create_compress(&reference);
  reference.in_color_space = JCS_RGB;
  reference.input_components = 3;
  jpeg_set_defaults(&reference);
  const Image image = RampImage(40, 24, 3);
  for (int32_t quality : {1, 10, 25, 50, 75, 95, 100}) {
    SCOPED_TRACE(quality);
    jpeg_set_quality(&reference, quality, TRUE);
    EncodeConfig config;
    config.quality = quality;
    const EncodeResult r = Encode(image, config);
    ASSERT_TRUE(r.Ok());
    const test::Decoded d = test::DecodeWithLibjpeg(r.bytes, JCS_RGB);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.warnings, 0);
    for (int32_t t = 0; t < 2; ++t) {
      ASSERT_TRUE(d.quantPresent[t]);
      for (int32_t k = 0; k < 64; ++k) {
        EXPECT_EQ(d.quant[t][k], reference.quant_tbl_ptrs[t]->quantval[k]) << t << " " << k;
      }
    }
    if (quality == 95) {
      // The four DHT segments carry the decoder's standard tables.
      const JHUFF_TBL* tables[4] = {reference.dc_huff_tbl_ptrs[0], reference.ac_huff_tbl_ptrs[0],
                                    reference.dc_huff_tbl_ptrs[1], reference.ac_huff_tbl_ptrs[1]};
      size_t offset = 234;
      for (const JHUFF_TBL* table : tables) {
        int32_t count = 0;
        for (int32_t l = 1; l <= 16; ++l) {
          EXPECT_EQ(r.bytes[offset + 5 + l - 1], table->bits[l]);
          count += table->bits[l];
        }
        for (int32_t k = 0; k < count; ++k) EXPECT_EQ(r.bytes[offset + 21 + k], table->huffval[k]);
        offset += 2 + 19 + count;
      }
      EXPECT_EQ(offset, 666u);
    }
  }
  jpeg_destroy_compress(&reference);
}

// The DCT of an 8x8 block of level-shifted samples in double precision (natural order).
void ExactDct(const double samples[64], double out[64]) {
  const double pi = std::acos(-1.0);
  for (int32_t u = 0; u < 8; ++u) {
    for (int32_t v = 0; v < 8; ++v) {
      double sum = 0;
      for (int32_t y = 0; y < 8; ++y) {
        for (int32_t x = 0; x < 8; ++x) {
          sum += samples[y * 8 + x] * std::cos((2 * y + 1) * u * pi / 16) *
                 std::cos((2 * x + 1) * v * pi / 16);
        }
      }
      const double cu = u == 0 ? std::sqrt(0.5) : 1.0, cv = v == 0 ? std::sqrt(0.5) : 1.0;
      out[u * 8 + v] = 0.25 * cu * cv * sum;
    }
  }
}

// Coefficients read back by the decoder are within 1 of round(exact DCT / q), with the image
// edge repeated into the padding. The channel split keeps the samples exact.
TEST(CoreDecode, CoefficientsMatchTheExactTransform) {
  struct Case {
    int32_t width, height, channels, quality;
  };
  const Case cases[] = {{21, 13, 3, 75}, {21, 13, 3, 100}, {30, 17, 1, 90}, {16, 16, 4, 50}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " q" +
                 std::to_string(c.quality) + " c" + std::to_string(c.channels));
    Image image = test::NoiseImage(c.width, c.height, c.channels, 99);
    // Mix in a ramp so the low frequencies are not all near zero.
    for (int32_t y = 0; y < c.height; ++y) {
      for (int32_t x = 0; x < c.width; ++x) {
        uint8_t* p = image.At(x, y);
        for (int32_t k = 0; k < c.channels; ++k) p[k] = uint8_t((p[k] / 2) + (x * 4 + y * 3) % 128);
      }
    }
    EncodeConfig config;
    config.sourceColor = ColorUnknown;
    config.frameColor = ColorUnknown;
    config.sampling = Sampling444;
    config.quality = c.quality;
    const EncodeResult r = Encode(image, config);
    ASSERT_TRUE(r.Ok());

    jpeg_decompress_struct cinfo{};
    test::CountingErrors errors{};
    cinfo.err = jpeg_std_error(&errors.mgr);
    errors.mgr.emit_message = test::CountWarning;
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, r.bytes.data(), static_cast<unsigned long>(r.bytes.size()));
    ASSERT_EQ(jpeg_read_header(&cinfo, TRUE), JPEG_HEADER_OK);
    jvirt_barray_ptr* arrays = jpeg_read_coefficients(&cinfo);
    ASSERT_NE(arrays, nullptr);
    int32_t worst = 0;
    for (int32_t comp = 0; comp < c.channels; ++comp) {
      const JQUANT_TBL* q = cinfo.comp_info[comp].quant_table;
      const int32_t blocksWide = (c.width + 7) / 8, blocksHigh = (c.height + 7) / 8;
      for (int32_t by = 0; by < blocksHigh; ++by) {
        JBLOCKARRAY row = (*cinfo.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&cinfo),
                                                           arrays[comp], by, 1, FALSE);
        for (int32_t bx = 0; bx < blocksWide; ++bx) {
          double samples[64], dct[64];
          for (int32_t y = 0; y < 8; ++y) {
            for (int32_t x = 0; x < 8; ++x) {
              const int32_t sx = std::min(bx * 8 + x, c.width - 1);
              const int32_t sy = std::min(by * 8 + y, c.height - 1);
              samples[y * 8 + x] = image.At(sx, sy)[comp] - 128.0;
            }
          }
          ExactDct(samples, dct);
          for (int32_t k = 0; k < 64; ++k) {
            const int32_t expected = int32_t(std::lround(dct[k] / q->quantval[k]));
            const int32_t diff = std::abs(row[0][bx][k] - expected);
            if (diff > worst) worst = diff;
          }
        }
      }
    }
    EXPECT_LE(worst, 1);
    jpeg_finish_decompress(&cinfo);
    EXPECT_EQ(errors.mgr.num_warnings, 0);
    jpeg_destroy_decompress(&cinfo);
  }
}

// Content that gives the longest codes (full-swing noise and checkerboards at quality 100)
// still fits the room kept before each block.
TEST(CoreDecode, ExtremeContentAtFullQuality) {
  const int32_t w = 128, h = 64;
  Image noise = test::NoiseImage(w, h, 3, 5);
  for (uint8_t& b : noise.pixels) b = b & 0x80 ? 255 : 0;
  Image checker = RampImage(w, h, 3);
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      uint8_t* p = checker.At(x, y);
      p[0] = p[1] = p[2] = ((x + y) & 1) ? 255 : 0;
      if ((x / 8 + y / 8) & 1) p[1] = 255 - p[1];
    }
  }
  for (const Image* image : {&noise, &checker}) {
    for (int32_t sampling : {0, 3}) {
      EncodeConfig config;
      config.quality = 100;
      config.sampling = sampling;
      const EncodeResult r = Encode(*image, config);
      ASSERT_TRUE(r.Ok()) << r.data;
      const test::Decoded d = test::DecodeWithLibjpeg(r.bytes, JCS_RGB);
      ASSERT_TRUE(d.ok);
      EXPECT_EQ(d.warnings, 0);
    }
  }
}

// The source's own sampling code only matters for a packed 4:2:2 source, whose chroma is
// already at half width (its edge is repeated at that width); an RGB-type source marked 4:2:2
// is still down-sampled.
TEST(CoreDecode, SourceSamplingCodeOnlyForPackedSources) {
  const int32_t w = 38, h = 10;
  const Image rgb = RampImage(w, h, 3);
  Image packed{w, h, 2, w * 2, {}};
  packed.pixels.resize(size_t(packed.step) * h);
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; x += 2) {
      uint8_t* p = &packed.pixels[size_t(y) * packed.step + size_t(x) * 2];
      p[0] = uint8_t(40 + x * 4);   // Y0
      p[1] = uint8_t(200 + y * 3);  // Cb
      p[2] = uint8_t(41 + x * 4);   // Y1
      p[3] = uint8_t(250 - x);      // Cr
    }
  }
  {
    EncodeConfig config;
    config.sourceSampling = Sampling422;
    config.sampling = Sampling422;
    const EncodeResult r = Encode(rgb, config);
    ASSERT_TRUE(r.Ok());
    const test::Decoded d = test::DecodeWithLibjpeg(r.bytes, JCS_RGB);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.warnings, 0);
    EXPECT_LT(CompareRgb(rgb, true, d.pixels).mean, 1.5);
  }
  EncodeConfig config;
  config.sourceColor = ColorYCbCr;
  config.sourceSampling = Sampling422;
  config.sampling = Sampling422;
  config.quality = 75;
  const EncodeResult r = Encode(packed, config);
  ASSERT_TRUE(r.Ok()) << r.setParams << r.data;
  const test::Decoded d = test::DecodeWithLibjpeg(r.bytes, JCS_YCbCr);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.warnings, 0);
  int32_t worst = 0;
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      const uint8_t* p = &packed.pixels[size_t(y) * packed.step + size_t(x & ~1) * 2];
      const int32_t expected[3] = {p[(x & 1) ? 2 : 0], p[1], p[3]};
      const uint8_t* o = &d.pixels[(size_t(y) * w + x) * 3];
      for (int32_t k = 0; k < 3; ++k) worst = std::max(worst, std::abs(o[k] - expected[k]));
    }
  }
  EXPECT_LE(worst, 3) << worst;
}

#endif  // VORN_HAVE_LIBJPEG

}  // namespace
}  // namespace vorn::jpeg
