// The simulator's PNG writer: the file's chunks are whole, and its pixel stream inflates back
// to exactly the picture given, for flat, repeating and noisy pictures.
#include <gtest/gtest.h>

#include <cstring>

#include "tools/vorn-sim/png_writer.h"

namespace vorn::sim {
namespace {

uint32_t Be32(const uint8_t* p) { return uint32_t{p[0]} << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

TEST(Png, PixelsInflateBackExactly) {
  struct Case {
    uint32_t w, h;
    int kind;  // 0 flat, 1 stripes, 2 noise
  };
  for (Case c : {Case{1, 1, 0}, Case{640, 4, 0}, Case{37, 29, 1}, Case{200, 50, 2}, Case{11000, 3, 1}}) {
    const uint32_t pitch = c.w * 4 + 8;
    std::vector<uint8_t> bgra(size_t{pitch} * c.h);
    uint32_t seed = 12345;
    for (uint32_t y = 0; y < c.h; ++y)
      for (uint32_t x = 0; x < c.w; ++x)
        for (int k = 0; k < 4; ++k) {
          seed = seed * 1103515245u + 12345u;
          bgra[y * pitch + x * 4 + k] = c.kind == 0   ? static_cast<uint8_t>(40 + k)
                                        : c.kind == 1 ? static_cast<uint8_t>((x / 3 + k) * 17)
                                                      : static_cast<uint8_t>(seed >> 24);
        }
    const std::vector<uint8_t> png = EncodePng(bgra.data(), c.w, c.h, pitch);
    ASSERT_GT(png.size(), 8u + 25 + 12 + 12);
    const uint8_t sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    ASSERT_EQ(std::memcmp(png.data(), sig, 8), 0);
    // Walk the chunks: IHDR, IDAT, IEND, each length within the file.
    size_t pos = 8;
    std::vector<std::string> types;
    std::vector<uint8_t> idat;
    while (pos + 12 <= png.size()) {
      const uint32_t n = Be32(&png[pos]);
      ASSERT_LE(pos + 12 + n, png.size());
      const std::string type(png.begin() + pos + 4, png.begin() + pos + 8);
      types.push_back(type);
      if (type == "IHDR") {
        EXPECT_EQ(Be32(&png[pos + 8]), c.w);
        EXPECT_EQ(Be32(&png[pos + 12]), c.h);
        EXPECT_EQ(png[pos + 16], 8);
        EXPECT_EQ(png[pos + 17], 2);
      }
      if (type == "IDAT") idat.assign(png.begin() + pos + 8, png.begin() + pos + 8 + n);
      pos += 12 + n;
    }
    EXPECT_EQ(pos, png.size());
    EXPECT_EQ(types, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
    std::vector<uint8_t> raw;
    ASSERT_TRUE(InflateZlib(idat, &raw)) << c.w << "x" << c.h;
    ASSERT_EQ(raw.size(), size_t{c.h} * (c.w * 3 + 1));
    for (uint32_t y = 0; y < c.h; ++y) {
      ASSERT_EQ(raw[y * (c.w * 3 + 1)], 0);
      for (uint32_t x = 0; x < c.w; ++x)
        for (int k = 0; k < 3; ++k)
          ASSERT_EQ(raw[y * (c.w * 3 + 1) + 1 + x * 3 + k], bgra[y * pitch + x * 4 + 2 - k])
              << x << "," << y;
    }
    if (c.kind == 0) {
      EXPECT_LT(png.size(), 200u + c.h * 8);  // flat pictures shrink
    }
    // A damaged stream is refused.
    idat[idat.size() / 2] ^= 0x5A;
    EXPECT_FALSE(InflateZlib(idat, &raw));
  }
}

}  // namespace
}  // namespace vorn::sim
