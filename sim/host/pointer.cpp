#include "sim/host/pointer.h"

#include <cstring>

namespace vorn::host {
namespace {

using display::kHostCursorHide;
using display::kHostCursorPosition;
using display::kHostCursorShape;

void SetBit(std::vector<uint8_t>& mask, int32_t pitch, uint32_t x, uint32_t y) {
  mask[size_t{y} * static_cast<uint32_t>(pitch) + (x >> 3)] |=
      static_cast<uint8_t>(0x80u >> (x & 7));
}

void Put32(std::vector<uint8_t>& pixels, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) pixels[at * 4 + i] = static_cast<uint8_t>(v >> (8 * i));
}

PointerShape Base(uint32_t type, uint32_t w, uint32_t h) {
  PointerShape s;
  s.type = type;
  s.width = w;
  s.height = h;
  s.mask_pitch = static_cast<int32_t>((w + 31) / 32 * 4);  // rows of whole 32-bit words
  s.pixel_pitch = static_cast<int32_t>(w * 4);
  return s;
}

// The arrow of the software cursor the desktop draws: X outline, O fill, . nothing.
constexpr uint32_t kArrowW = 12, kArrowH = 19;
constexpr const char* kArrow[kArrowH] = {
    "X...........", "XX..........", "XOX.........", "XOOX........", "XOOOX.......",
    "XOOOOX......", "XOOOOOX.....", "XOOOOOOX....", "XOOOOOOOX...", "XOOOOOOOOX..",
    "XOOOOOOOOOX.", "XOOOOOOXXXXX", "XOOOXOOX....", "XOOXXOOX....", "XOX..XOOX...",
    "XX...XOOX...", "X.....XOOX..", "......XOOX..", ".......XX...",
};

}  // namespace

PointerShape MonochromeShape(uint32_t w, uint32_t h,
                             const std::function<MaskBits(uint32_t, uint32_t)>& at) {
  PointerShape s = Base(display::kHostShapeMonochrome, w, h);
  s.pixel_pitch = 0;
  s.and_mask.assign(size_t{h} * s.mask_pitch, 0);
  s.xor_mask.assign(size_t{h} * s.mask_pitch, 0);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) {
      const MaskBits b = at(x, y);
      if (b.and_bit) SetBit(s.and_mask, s.mask_pitch, x, y);
      if (b.xor_bit) SetBit(s.xor_mask, s.mask_pitch, x, y);
    }
  return s;
}

PointerShape MaskedColorShape(uint32_t w, uint32_t h,
                              const std::function<MaskedPixel(uint32_t, uint32_t)>& at) {
  PointerShape s = Base(display::kHostShapeMaskedColor, w, h);
  s.and_mask.assign(size_t{h} * s.mask_pitch, 0);
  s.pixels.assign(size_t{w} * h * 4, 0);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) {
      const MaskedPixel p = at(x, y);
      if (p.and_bit) SetBit(s.and_mask, s.mask_pitch, x, y);
      Put32(s.pixels, size_t{y} * w + x, p.rgb & 0xFFFFFF);
    }
  return s;
}

namespace {
PointerShape FourByte(uint32_t type, uint32_t w, uint32_t h,
                      const std::function<uint32_t(uint32_t, uint32_t)>& at) {
  PointerShape s = Base(type, w, h);
  s.mask_pitch = 0;
  s.pixels.assign(size_t{w} * h * 4, 0);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) Put32(s.pixels, size_t{y} * w + x, at(x, y));
  return s;
}
}  // namespace

PointerShape AlphaShape(uint32_t w, uint32_t h,
                        const std::function<uint32_t(uint32_t, uint32_t)>& at) {
  return FourByte(display::kHostShapeAlpha, w, h, at);
}

PointerShape ColorShape(uint32_t w, uint32_t h,
                        const std::function<uint32_t(uint32_t, uint32_t)>& at) {
  return FourByte(display::kHostShapeColor, w, h, at);
}

PointerShape BottomUp(PointerShape shape) {
  if (shape.pixels.empty() || shape.pixel_pitch <= 0) return shape;
  const size_t row = static_cast<size_t>(shape.pixel_pitch);
  std::vector<uint8_t> flipped(shape.pixels.size());
  for (uint32_t y = 0; y < shape.height; ++y)
    std::memcpy(&flipped[(shape.height - 1 - y) * row], &shape.pixels[y * row], row);
  shape.pixels = std::move(flipped);
  shape.pixel_pitch = -shape.pixel_pitch;
  return shape;
}

PointerShape ArrowPointer() {
  return MonochromeShape(32, 32, [](uint32_t x, uint32_t y) -> MaskBits {
    const char c = x < kArrowW && y < kArrowH ? kArrow[y][x] : '.';
    if (c == 'X') return {false, false};  // black
    if (c == 'O') return {false, true};   // white
    return {true, false};                 // the screen shows through
  });
}

PointerShape HandPointer() {
  PointerShape s = MaskedColorShape(32, 32, [](uint32_t x, uint32_t y) -> MaskedPixel {
    const bool palm = x >= 6 && x < 22 && y >= 12 && y < 28;
    const bool finger = x >= 10 && x < 14 && y >= 2 && y < 12;
    if (palm || finger) return {false, 0xE0B090};
    if (x == 24 && y == 24) return {true, 0xFFFFFF};  // one inverted pixel
    return {true, 0};
  });
  s.hot_x = 11;
  s.hot_y = 2;
  return s;
}

PointerShape RingPointer(uint32_t size) {
  PointerShape s = AlphaShape(size, size, [size](uint32_t x, uint32_t y) -> uint32_t {
    const int32_t c = static_cast<int32_t>(size) / 2;
    const int32_t dx = static_cast<int32_t>(x) - c, dy = static_cast<int32_t>(y) - c;
    const int32_t d2 = dx * dx + dy * dy, r = c - 4;
    const int32_t off = d2 > r * r ? d2 - r * r : r * r - d2;
    const int32_t a = 255 - off * 255 / (4 * r + 1);
    if (a <= 0) return 0;
    return static_cast<uint32_t>(a) << 24 | 0x3080F0;
  });
  s.hot_x = static_cast<int32_t>(size / 2);
  s.hot_y = static_cast<int32_t>(size / 2);
  return s;
}

HostCursor CursorRecord(const PointerShape& shape, uint32_t flags, int32_t x, int32_t y) {
  HostCursor c{};
  c.Flags = flags;
  c.ShapeType = shape.type;
  c.Width = shape.width;
  c.Height = shape.height;
  c.X = x;
  c.Y = y;
  c.HotX = shape.hot_x;
  c.HotY = shape.hot_y;
  c.AndMask = shape.and_mask.empty() ? nullptr : shape.and_mask.data();
  c.MaskBits = 1;
  c.MaskPitch = shape.mask_pitch;
  if (shape.type == display::kHostShapeMonochrome) {
    c.Pixels = shape.xor_mask.empty() ? nullptr : shape.xor_mask.data();
  } else if (!shape.pixels.empty()) {
    // A negative pitch: the record points at the first row shown, the last one stored.
    const size_t first =
        shape.pixel_pitch < 0 ? static_cast<size_t>(-shape.pixel_pitch) * (shape.height - 1) : 0;
    c.Pixels = shape.pixels.data() + first;
  }
  c.PixelFormat = display::kHostPixelFormat32;
  c.PixelPitch = shape.pixel_pitch;
  return c;
}

NTSTATUS Pointer::SetShape(const PointerShape& shape, int32_t x, int32_t y) {
  shape_ = shape;
  x_ = x;
  y_ = y;
  const HostCursor c = CursorRecord(shape_, kHostCursorShape | kHostCursorPosition, x, y);
  return adapter_.UpdateCursor(display_, c);
}

NTSTATUS Pointer::MoveTo(int32_t x, int32_t y) {
  x_ = x;
  y_ = y;
  const HostCursor c = CursorRecord(shape_, kHostCursorPosition, x, y);
  return adapter_.UpdateCursor(display_, c);
}

NTSTATUS Pointer::Hide() {
  const HostCursor c = CursorRecord(shape_, kHostCursorHide, x_, y_);
  return adapter_.UpdateCursor(display_, c);
}

}  // namespace vorn::host
