// Conversion of the host's shapes into the device's square images: each shape type at each
// rotation against images written out by hand, the square sizes, cutting, pitches, and records
// the converter must refuse.
#include <map>

#include "tests/display/cursor/cursor_fixture.h"

namespace vorn::display::testing {
namespace {

using host::PointerShape;

uint32_t Pixel(const ImageBlockColor& img, uint32_t x, uint32_t y) {
  const uint8_t* p = img.Pixels + (size_t{y} * img.Width + x) * 4;
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint16_t HeaderField(const ImageBlockColor& img, int i) {
  return static_cast<uint16_t>(img.Image[2 * i] | img.Image[2 * i + 1] << 8);
}

// A 2 x 2 shape of each type whose four pixels A (0,0), B (1,0), C (0,1), D (1,1) convert to
// the values given, on a square of |background|.
struct TypeCase {
  const char* name;
  PointerShape shape;
  uint32_t a, b, c, d;
  uint32_t background;
  uint16_t kind;
};

std::vector<TypeCase> TypeCases() {
  using host::MaskBits;
  using host::MaskedPixel;
  const uint32_t four[4] = {0x80102030, 0xFF405060, 0x01708090, 0x00A0B0C0};
  auto at = [four](uint32_t x, uint32_t y) { return four[y * 2 + x]; };
  return {
      {"monochrome",
       host::MonochromeShape(
           2, 2,
           [](uint32_t x, uint32_t y) {
             // A: black, B: white, C: screen, D: inverted screen
             const MaskBits bits[4] = {{false, false}, {false, true}, {true, false}, {true, true}};
             return bits[y * 2 + x];
           }),
       0x00000000, 0x00FFFFFF, 0xFF000000, 0xFFFFFFFF, 0xFF000000, kCursorKindMasked},
      {"masked colour",
       host::MaskedColorShape(2, 2,
                              [](uint32_t x, uint32_t y) {
                                const MaskedPixel px[4] = {{false, 0x123456},
                                                           {true, 0xFFFFFF},
                                                           {true, 0},
                                                           {true, 0x654321}};
                                return px[y * 2 + x];
                              }),
       0x00123456, 0xFFFFFFFF, 0xFF000000, 0x00654321, 0xFF000000, kCursorKindMasked},
      // Around an alpha shape the square is fully transparent, not opaque black.
      {"alpha", host::AlphaShape(2, 2, at), four[0], four[1], four[2], four[3], 0,
       kCursorKindAlpha},
      {"colour", host::ColorShape(2, 2, at), four[0], four[1], four[2], four[3], 0xFF000000,
       kCursorKindMasked},
  };
}

// Where A, B, C and D stand in a 64-pixel square at each rotation.
struct Placement {
  uint32_t ax, ay, bx, by, cx, cy, dx, dy;
};
constexpr Placement kPlacements[4] = {
    {0, 0, 1, 0, 0, 1, 1, 1},
    {63, 0, 63, 1, 62, 0, 62, 1},
    {63, 63, 62, 63, 63, 62, 62, 62},
    {0, 63, 0, 62, 1, 63, 1, 62},
};

class CursorConvertTest : public CursorTest {
 protected:
  bool Convert(const PointerShape& shape, uint8_t rotation = 0) {
    SetCursorMode(Hwc(), w_, h_, rotation);
    const HostCursor c = host::CursorRecord(shape, kHostCursorShape, 0, 0);
    return ConvertCursorShape(Hwc(), &c);
  }
};

TEST_F(CursorConvertTest, EachTypeAtEachRotationGivesTheImageDrawnByHand) {
  Begin();
  for (const TypeCase& t : TypeCases()) {
    for (uint8_t r = 0; r < 4; ++r) {
      SCOPED_TRACE(std::string(t.name) + " at rotation " + std::to_string(r));
      ASSERT_TRUE(Convert(t.shape, r));
      const ImageBlockColor& img = Hwc()->Image;
      ASSERT_EQ(img.Width, 64u);
      EXPECT_EQ(img.Size, 64u * 64 * 4);
      EXPECT_EQ(img.ShapeCode, t.kind == kCursorKindAlpha ? kShapeCodeAlpha : kShapeCodeMasked);
      EXPECT_EQ(HeaderField(img, 0), t.kind);
      EXPECT_EQ(HeaderField(img, 1), 64);
      EXPECT_EQ(HeaderField(img, 2), 64);
      EXPECT_EQ(HeaderField(img, 3), 256);
      const Placement& p = kPlacements[r];
      std::map<std::pair<uint32_t, uint32_t>, uint32_t> expected = {
          {{p.ax, p.ay}, t.a}, {{p.bx, p.by}, t.b}, {{p.cx, p.cy}, t.c}, {{p.dx, p.dy}, t.d}};
      uint32_t wrong = 0;
      for (uint32_t y = 0; y < 64; ++y)
        for (uint32_t x = 0; x < 64; ++x) {
          auto it = expected.find({x, y});
          const uint32_t want = it == expected.end() ? t.background : it->second;
          if (Pixel(img, x, y) != want && wrong++ < 4)
            ADD_FAILURE() << "(" << x << ", " << y << ") is 0x" << std::hex << Pixel(img, x, y)
                          << ", wanted 0x" << want;
        }
      EXPECT_EQ(wrong, 0u);
    }
  }
}

TEST_F(CursorConvertTest, SquareSizesCuttingAndPitches) {
  Begin();
  struct Case {
    const char* name;
    uint32_t w, h;
    uint32_t side;
  };
  const Case sizes[] = {{"32 x 32", 32, 32, 64},     {"64 x 64", 64, 64, 64},
                        {"65 x 10", 65, 10, 96},     {"96 x 96", 96, 96, 96},
                        {"100 x 20", 100, 20, 128},  {"10 x 97", 10, 97, 128},
                        {"140 x 130", 140, 130, 128}};
  for (const Case& c : sizes) {
    SCOPED_TRACE(c.name);
    // Each pixel tells where it came from, so a cut or shifted row shows.
    PointerShape shape =
        host::ColorShape(c.w, c.h, [](uint32_t x, uint32_t y) { return 0x01000000u | y << 8 | x; });
    ASSERT_TRUE(Convert(shape));
    const ImageBlockColor& img = Hwc()->Image;
    EXPECT_EQ(img.Width, c.side);
    EXPECT_EQ(img.Height, c.side);
    EXPECT_EQ(img.Pitch, 4 * c.side);
    const uint32_t lastx = std::min(c.w, c.side) - 1, lasty = std::min(c.h, c.side) - 1;
    EXPECT_EQ(Pixel(img, lastx, lasty), 0x01000000u | lasty << 8 | lastx);
    if (c.w < c.side) {
      EXPECT_EQ(Pixel(img, c.w, 0), kMaskedTransparent);
    }
    if (c.h < c.side) {
      EXPECT_EQ(Pixel(img, 0, c.h), kMaskedTransparent);
    }
  }

  // Rows stored bottom first with a negative pitch come out the right way up.
  PointerShape up =
      host::ColorShape(3, 4, [](uint32_t x, uint32_t y) { return 0x02000000u | y << 8 | x; });
  ASSERT_TRUE(Convert(host::BottomUp(up)));
  for (uint32_t y = 0; y < 4; ++y)
    for (uint32_t x = 0; x < 3; ++x) EXPECT_EQ(Pixel(Hwc()->Image, x, y), 0x02000000u | y << 8 | x);

  // A pitch shorter than the row is read no further than the pitch.
  PointerShape narrow =
      host::AlphaShape(8, 2, [](uint32_t x, uint32_t) { return 0xFF000000u | x; });
  narrow.pixel_pitch = 8;  // two pixels a row, and the next row right behind them
  ASSERT_TRUE(Convert(narrow));
  EXPECT_EQ(Pixel(Hwc()->Image, 1, 0), 0xFF000001u);
  EXPECT_EQ(Pixel(Hwc()->Image, 2, 0), 0u);
  EXPECT_EQ(Pixel(Hwc()->Image, 0, 1), 0xFF000002u);
}

TEST_F(CursorConvertTest, RecordsTheConverterCannotReadLeaveTheImageAsItWas) {
  Begin();
  ASSERT_TRUE(Convert(host::ArrowPointer()));
  const std::vector<uint8_t> before(Hwc()->Image.Image, Hwc()->Image.Image + kCursorImageCapacity);
  struct Case {
    const char* name;
    std::function<void(HostCursor&)> spoil;
  };
  const PointerShape hand = host::HandPointer();
  const Case cases[] = {
      {"unknown type", [](HostCursor& c) { c.ShapeType = 3; }},
      {"pixel format not 32-bit", [](HostCursor& c) { c.PixelFormat = 5; }},
      {"mask depth 2", [](HostCursor& c) { c.MaskBits = 2; }},
      {"no pixels", [](HostCursor& c) { c.Pixels = nullptr; }},
      {"no mask", [](HostCursor& c) { c.AndMask = nullptr; }},
      {"zero pixel pitch", [](HostCursor& c) { c.PixelPitch = 0; }},
  };
  for (const Case& c : cases) {
    HostCursor record = host::CursorRecord(hand, kHostCursorShape, 0, 0);
    c.spoil(record);
    EXPECT_FALSE(ConvertCursorShape(Hwc(), &record)) << c.name;
    EXPECT_EQ(std::vector<uint8_t>(Hwc()->Image.Image, Hwc()->Image.Image + kCursorImageCapacity),
              before)
        << c.name;
  }
}

}  // namespace
}  // namespace vorn::display::testing
