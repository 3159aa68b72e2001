// Whole streams held to recorded checksums: a wide set of images (noise, screen content with
// text, flat panes and a photo region, ramps; sizes from one block to odd widths and heights)
// through every sampling, restart interval, quality and colour pair the encoder takes, each
// coded with every processor build this machine runs. Every build must give the same bytes,
// and those bytes must be the recorded ones: a single differing byte anywhere in a stream
// fails its case.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "jpeg/primitives/frame/dispatch.h"
#include "tests/jpeg/core/core_fixture.h"
#include "tests/jpeg/core/stream_sums.h"

namespace vorn::jpeg::test {
namespace {

namespace prim = vorn::jpeg::prim;

enum Content : int32_t { ContentNoise, ContentScreen, ContentRamp, ContentPhoto };

const char* ContentName(int32_t c) {
  switch (c) {
    case ContentNoise:
      return "noise";
    case ContentScreen:
      return "screen";
    case ContentRamp:
      return "ramp";
    default:
      return "photo";
  }
}

uint8_t Clamp(int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// A desktop in small: a gradient wallpaper, a window with a title bar, lines of one- and
// two-pixel glyph strokes on light ground, a button row, and a photo region with noise.
Image ScreenImage(int32_t width, int32_t height, int32_t channels, uint32_t seed) {
  Image image{width, height, channels, width * channels + 3, {}};
  image.pixels.assign(size_t(image.step) * height, 0x5A);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      int32_t b = 120 + x * 80 / width, g = 70 + y * 60 / height, r = 40;
      const bool window = x >= width / 10 && x < width * 7 / 10 && y >= height / 8 &&
                          y < height * 7 / 8;
      const bool photo = x >= width * 3 / 4 && y >= height / 4 && y < height * 3 / 4;
      if (window) {
        const int32_t top = height / 8;
        if (y < top + 6) {
          b = 160, g = 110, r = 40;  // title bar
        } else if (y >= height * 7 / 8 - 8) {
          b = g = r = (x / 24) % 2 ? 200 : 225;  // buttons
        } else {
          b = g = r = 245;
          const uint32_t line = uint32_t(y - top) % 12, cx = uint32_t(x) % 7;
          const uint32_t glyph = uint32_t(x) / 7 + uint32_t(y - top) / 12 * 977u + seed;
          const uint32_t h = (glyph * 2654435761u) >> 9;
          if (line < 9 && cx < 5 && ((h >> (cx + line % 5)) & 1) && (h & 3) != 0) {
            b = g = r = (h & 16) ? 30 : 90;
          }
        }
      } else if (photo) {
        seed = seed * 1664525u + 1013904223u;
        const int32_t n = static_cast<int32_t>(seed >> 28) - 8;
        b = static_cast<int32_t>(90 + 80 * std::sin(x * 0.07) * std::cos(y * 0.05)) + n;
        g = static_cast<int32_t>(120 + 60 * std::cos(x * 0.03 + y * 0.08)) + n;
        r = static_cast<int32_t>(140 + 70 * std::sin(y * 0.11)) + n;
      }
      uint8_t* p = image.At(x, y);
      const int32_t values[4] = {b, g, r, 255 - (x & 0x3F)};
      for (int32_t c = 0; c < channels; ++c) p[c] = Clamp(values[c < 4 ? c : 3]);
    }
  }
  return image;
}

// Smooth shading with mild noise over the whole image.
Image PhotoImage(int32_t width, int32_t height, int32_t channels, uint32_t seed) {
  Image image{width, height, channels, width * channels, {}};
  image.pixels.resize(size_t(image.step) * height);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      uint8_t* p = image.At(x, y);
      for (int32_t c = 0; c < channels; ++c) {
        seed = seed * 1664525u + 1013904223u;
        const double v = 128 + 90 * std::sin(x * (0.02 + 0.01 * c) + y * 0.035 * (c + 1));
        p[c] = Clamp(static_cast<int32_t>(std::lround(v)) + static_cast<int32_t>(seed >> 29) - 4);
      }
    }
  }
  return image;
}

Image MakeImage(int32_t content, int32_t width, int32_t height, int32_t channels) {
  switch (content) {
    case ContentNoise:
      return NoiseImage(width, height, channels, uint32_t(width * 31 + height));
    case ContentScreen:
      return ScreenImage(width, height, channels, uint32_t(width + height * 7));
    case ContentRamp:
      return RampImage(width, height, channels);
    default:
      return PhotoImage(width, height, channels, uint32_t(width ^ height));
  }
}

struct SumCase {
  std::string name;
  int32_t content;
  int32_t width;
  int32_t height;
  int32_t channels;
  EncodeConfig config;
};

void PrintTo(const SumCase& c, std::ostream* os) { *os << c.name; }

const char* SamplingName(int32_t s) {
  return s == Sampling444 ? "444" : s == Sampling422 ? "422" : s == Sampling422Alt ? "422b"
                                                                                   : "420";
}

const char* ColorName(int32_t c) {
  static const char* const kNames[] = {"unknown", "gray", "rgb",  "bgr", "ycbcr",
                                       "cmyk",    "ycck", "bgra", "rgba"};
  return c >= 0 && c <= ColorRgba ? kNames[c] : "other";
}

std::string CaseName(int32_t content, int32_t w, int32_t h, const EncodeConfig& c) {
  char name[160];
  std::snprintf(name, sizeof(name), "%s_%dx%d_%s_to_%s_s%s_ri%d_q%d_m%d%s", ContentName(content),
                w, h, ColorName(c.sourceColor), ColorName(c.frameColor), SamplingName(c.sampling),
                c.restartInterval, c.quality, c.mode, c.optimizeHuffman ? "_opt" : "");
  return name;
}

std::vector<SumCase> Cases() {
  std::vector<SumCase> cases;
  auto add = [&](int32_t content, int32_t w, int32_t h, int32_t channels, EncodeConfig c) {
    cases.push_back({CaseName(content, w, h, c), content, w, h, channels, c});
  };
  // The display path (B,G,R,x and B,G,R to YCbCr) over sizes, samplings, restart intervals
  // and both qualities the plug-in uses.
  struct Size {
    int32_t content, w, h;
  };
  const Size sizes[] = {{ContentNoise, 8, 8},     {ContentRamp, 17, 9},
                        {ContentNoise, 33, 31},   {ContentScreen, 96, 80},
                        {ContentScreen, 201, 77}, {ContentPhoto, 130, 66},
                        {ContentScreen, 643, 37}, {ContentNoise, 9, 130}};
  for (const Size& s : sizes) {
    for (int32_t sampling : {Sampling444, Sampling422, Sampling420}) {
      for (int32_t interval : {0, 1, 3, 9}) {
        for (int32_t quality : {85, 95}) {
          EncodeConfig c;
          c.sourceColor = (s.w + interval) % 2 ? ColorBgra : ColorBgr;
          c.sampling = sampling;
          c.restartInterval = interval;
          c.quality = quality;
          add(s.content, s.w, s.h, c.sourceColor == ColorBgra ? 4 : 3, c);
        }
      }
    }
  }
  // The other colour pairs, the second 4:2:2 code, low and extreme qualities, optimised
  // tables, the progressive process.
  struct Other {
    int32_t content, w, h, channels, source, frame, sampling, interval, quality, optimize, mode;
  };
  const Other others[] = {
      {ContentScreen, 75, 41, 3, ColorRgb, ColorYCbCr, Sampling420, 1, 85, 0, ModeBaseline},
      {ContentPhoto, 75, 41, 4, ColorRgba, ColorYCbCr, Sampling422, 2, 95, 0, ModeBaseline},
      {ContentScreen, 75, 41, 3, ColorRgb, ColorGray, Sampling444, 1, 85, 0, ModeBaseline},
      {ContentNoise, 50, 23, 1, ColorGray, ColorGray, Sampling444, 5, 95, 0, ModeBaseline},
      {ContentScreen, 75, 41, 3, ColorBgr, ColorRgb, Sampling444, 1, 95, 0, ModeBaseline},
      {ContentPhoto, 40, 40, 4, ColorCmyk, ColorYcck, Sampling420, 1, 85, 0, ModeBaseline},
      {ContentScreen, 64, 64, 4, ColorBgra, ColorYCbCr, Sampling422Alt, 1, 85, 0, ModeBaseline},
      {ContentNoise, 77, 45, 4, ColorBgra, ColorYCbCr, Sampling420, 1, 100, 0, ModeBaseline},
      {ContentScreen, 77, 45, 4, ColorBgra, ColorYCbCr, Sampling420, 1, 5, 0, ModeBaseline},
      {ContentScreen, 120, 70, 4, ColorBgra, ColorYCbCr, Sampling420, 1, 85, 1, ModeBaseline},
      {ContentPhoto, 120, 70, 3, ColorBgr, ColorYCbCr, Sampling422, 0, 95, 1, ModeBaseline},
      {ContentScreen, 120, 70, 4, ColorBgra, ColorYCbCr, Sampling420, 0, 85, 0, ModeProgressive},
      // Rows whose coded bytes fill the bit-stream buffer several times over.
      {ContentScreen, 1280, 48, 4, ColorBgra, ColorYCbCr, Sampling420, 1, 95, 0, ModeBaseline},
      {ContentNoise, 640, 24, 4, ColorBgra, ColorYCbCr, Sampling444, 0, 95, 0, ModeBaseline},
      {ContentNoise, 640, 24, 3, ColorBgr, ColorYCbCr, Sampling420, 7, 100, 0, ModeBaseline},
  };
  for (const Other& o : others) {
    EncodeConfig c;
    c.sourceColor = o.source;
    c.frameColor = o.frame;
    c.sampling = o.sampling;
    c.restartInterval = o.interval;
    c.quality = o.quality;
    c.optimizeHuffman = o.optimize;
    c.mode = o.mode;
    add(o.content, o.w, o.h, o.channels, c);
  }
  return cases;
}

// The builds to run: the portable entry first, then each slot this machine runs.
std::vector<int32_t> EntriesHere() {
  std::vector<int32_t> entries = {prim::kPortableEntry};
  for (int32_t s = prim::BuildS2; s < prim::kProcessorSlots; ++s) {
    if (prim::BuildRunsHere(s)) entries.push_back(s);
  }
  return entries;
}

class StreamSums : public ::testing::TestWithParam<SumCase> {};

TEST_P(StreamSums, EveryBuildGivesTheRecordedStream) {
  const SumCase& c = GetParam();
  const Image image = MakeImage(c.content, c.width, c.height, c.channels);
  std::vector<uint8_t> first;
  for (int32_t entry : EntriesHere()) {
    prim::ScopedProcessorIndex force(entry);
    const EncodeResult r = Encode(image, c.config);
    ASSERT_TRUE(r.Ok()) << "entry " << entry << ": " << r.setParams << " " << r.header << " "
                        << r.data;
    if (first.empty()) {
      first = r.bytes;
      continue;
    }
    ASSERT_EQ(r.bytes.size(), first.size()) << "entry " << entry;
    for (size_t i = 0; i < first.size(); ++i) {
      ASSERT_EQ(r.bytes[i], first[i]) << "entry " << entry << " differs at byte " << i;
    }
  }
  const RecordedSum* recorded = nullptr;
  for (const RecordedSum& s : kRecordedSums) {
    if (c.name == s.name) recorded = &s;
  }
  char actual[200];
  std::snprintf(actual, sizeof(actual), "{\"%s\", %zu, 0x%016" PRIx64 "ull},", c.name.c_str(),
                first.size(), Fnv1a64(first));
  ASSERT_NE(recorded, nullptr) << "no recorded sum; this stream: " << actual;
  EXPECT_EQ(first.size(), recorded->length) << actual;
  EXPECT_EQ(Fnv1a64(first), recorded->fnv1a) << actual;
}

INSTANTIATE_TEST_SUITE_P(Wide, StreamSums, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<SumCase>& info) {
                           return info.param.name;
                         });

}  // namespace
}  // namespace vorn::jpeg::test
