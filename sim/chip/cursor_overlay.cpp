#include "sim/chip/cursor_overlay.h"

#include "protocol/vendor_request.h"
#include "sim/chip/chip.h"

namespace vorn::chip {
namespace {

constexpr uint32_t kHeaderSize = 8;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

uint8_t Blend(uint8_t src, uint8_t dst, uint32_t alpha) {
  return static_cast<uint8_t>((src * alpha + dst * (255 - alpha) + 127) / 255);
}

}  // namespace

std::optional<CursorImage> ReadCursorImage(const std::vector<uint8_t>& bytes) {
  if (bytes.size() < kHeaderSize) return std::nullopt;
  const uint16_t kind = Le16(&bytes[0]);
  const uint32_t w = Le16(&bytes[2]), h = Le16(&bytes[4]), pitch = Le16(&bytes[6]);
  if ((kind != 1 && kind != 2) || w != h || (w != 64 && w != 96 && w != 128) || pitch != 4 * w)
    return std::nullopt;
  if (bytes.size() < kHeaderSize + size_t{pitch} * h) return std::nullopt;
  CursorImage image;
  image.kind = kind;
  image.side = w;
  image.pixels.resize(size_t{w} * h);
  for (size_t i = 0; i < image.pixels.size(); ++i) {
    const uint8_t* p = &bytes[kHeaderSize + i * 4];
    image.pixels[i] =
        uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
  }
  return image;
}

bool DrawCursor(const ViewSettings& view, Picture* picture) {
  if (!view.cursor_visible || !picture) return false;
  auto slot = view.cursor_shapes.find(view.cursor_slot);
  if (slot == view.cursor_shapes.end()) return false;
  const std::optional<CursorImage> image = ReadCursorImage(slot->second);
  if (!image) return false;
  const int64_t left = protocol::CursorCoordinateFromWire(view.cursor_x);
  const int64_t top = protocol::CursorCoordinateFromWire(view.cursor_y);
  bool drawn = false;
  for (uint32_t y = 0; y < image->side; ++y) {
    const int64_t py = top + y;
    if (py < 0 || py >= picture->height) continue;
    for (uint32_t x = 0; x < image->side; ++x) {
      const int64_t px = left + x;
      if (px < 0 || px >= picture->width) continue;
      uint8_t* out = &picture->bgra[(static_cast<size_t>(py) * picture->width + px) * 4];
      const uint32_t c = image->pixels[size_t{y} * image->side + x];
      const uint8_t b = static_cast<uint8_t>(c), g = static_cast<uint8_t>(c >> 8),
                    r = static_cast<uint8_t>(c >> 16);
      const uint32_t a = c >> 24;
      if (image->kind == 1) {
        out[0] = Blend(b, out[0], a);
        out[1] = Blend(g, out[1], a);
        out[2] = Blend(r, out[2], a);
      } else if (a == 0xFF) {
        out[0] ^= b;
        out[1] ^= g;
        out[2] ^= r;
      } else {
        out[0] = b;
        out[1] = g;
        out[2] = r;
      }
      drawn = true;
    }
  }
  return drawn;
}

std::optional<Picture> Chip::Screen(int view) const {
  std::optional<Picture> picture = frames_.Shown(view);
  if (picture) DrawCursor(View(view), &*picture);
  return picture;
}

}  // namespace vorn::chip
