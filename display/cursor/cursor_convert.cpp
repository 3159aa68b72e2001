// Conversion of the host's cursor shapes into the device's square images. The shape is first
// drawn unrotated into the top-left corner of a c x c square (the rest transparent), then the
// square is rotated with the view into the image behind its header.
#include <cstdlib>
#include <cstring>

#include "display/cursor/cursor.h"

namespace vorn::display {
namespace {

constexpr uint32_t kAlphaTransparent = 0;  // alpha images: nothing of the pointer

uint32_t Load32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void Store32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

void Store16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

bool Bit(const uint8_t* row, uint32_t x) { return (row[x >> 3] & (0x80u >> (x & 7))) != 0; }

// Row |y| of a plane whose pitch may be negative (the rows then run upwards from |base|).
const uint8_t* Row(const uint8_t* base, int32_t pitch, uint32_t y) {
  return base + static_cast<ptrdiff_t>(pitch) * static_cast<ptrdiff_t>(y);
}

uint32_t Magnitude(int32_t pitch) {
  return pitch < 0 ? 0u - static_cast<uint32_t>(pitch) : static_cast<uint32_t>(pitch);
}

// What the converter can read of |c|: false for anything it cannot convert safely. A row
// shorter than the pitch allows is fine; the pixels beyond it are left transparent.
bool Readable(const HostCursor& c) {
  switch (c.ShapeType) {
    case kHostShapeMonochrome:
      return c.AndMask && c.Pixels && c.MaskPitch != 0;
    case kHostShapeMaskedColor:
      return c.AndMask && c.Pixels && c.MaskBits == 1 && c.MaskPitch != 0 &&
             c.PixelFormat == kHostPixelFormat32 && c.PixelPitch != 0;
    case kHostShapeAlpha:
    case kHostShapeColor:
      return c.Pixels && c.PixelFormat == kHostPixelFormat32 && c.PixelPitch != 0;
    default:
      return false;
  }
}

// Draws |c| unrotated into the c x c square |out| (already filled), cut to the square.
void DrawShape(const HostCursor& c, uint32_t side, uint8_t* out) {
  const uint32_t w = c.Width < side ? c.Width : side;
  const uint32_t h = c.Height < side ? c.Height : side;
  const uint32_t mask_bits = Magnitude(c.MaskPitch) * 8;
  const uint32_t pixel_count = Magnitude(c.PixelPitch) / 4;
  const uint32_t pixel_w = w < pixel_count ? w : pixel_count;
  for (uint32_t y = 0; y < h; ++y) {
    uint8_t* dst = out + size_t{y} * side * 4;
    switch (c.ShapeType) {
      case kHostShapeMonochrome: {
        const uint8_t* and_row = Row(c.AndMask, c.MaskPitch, y);
        const uint8_t* xor_row = Row(c.Pixels, c.MaskPitch, y);
        const uint32_t n = w < mask_bits ? w : mask_bits;
        for (uint32_t x = 0; x < n; ++x) {
          const uint32_t a = Bit(and_row, x) ? 0xFF000000u : 0u;
          const uint32_t rgb = Bit(xor_row, x) ? 0x00FFFFFFu : 0u;
          Store32(dst + x * 4, a | rgb);
        }
        break;
      }
      case kHostShapeMaskedColor: {
        const uint8_t* and_row = Row(c.AndMask, c.MaskPitch, y);
        const uint8_t* src = Row(c.Pixels, c.PixelPitch, y);
        const uint32_t n = pixel_w < mask_bits ? pixel_w : mask_bits;
        for (uint32_t x = 0; x < n; ++x) {
          const uint32_t rgb = Load32(src + x * 4) & 0x00FFFFFFu;
          uint32_t v = rgb;  // AND 0, or a colour the mask cannot combine: replaced
          if (Bit(and_row, x)) {
            if (rgb == 0x00FFFFFFu)
              v = kMaskedInvert;
            else if (rgb == 0)
              v = kMaskedTransparent;
          }
          Store32(dst + x * 4, v);
        }
        break;
      }
      case kHostShapeAlpha:
      case kHostShapeColor:
        std::memcpy(dst, Row(c.Pixels, c.PixelPitch, y), size_t{pixel_w} * 4);
        break;
    }
  }
}

// Destination (dx, dy) takes source (sx, sy) of the unrotated square.
void Rotate(const uint8_t* square, uint32_t side, uint8_t rotation, uint8_t* out) {
  if (rotation == 0) {
    std::memcpy(out, square, size_t{side} * side * 4);
    return;
  }
  const uint32_t last = side - 1;
  for (uint32_t dy = 0; dy < side; ++dy) {
    for (uint32_t dx = 0; dx < side; ++dx) {
      uint32_t sx = dx, sy = dy;
      if (rotation == 1) {
        sx = dy;
        sy = last - dx;
      } else if (rotation == 2) {
        sx = last - dx;
        sy = last - dy;
      } else {
        sx = last - dy;
        sy = dx;
      }
      std::memcpy(out + (size_t{dy} * side + dx) * 4, square + (size_t{sy} * side + sx) * 4, 4);
    }
  }
}

}  // namespace

uint32_t CursorImageSize(uint32_t width, uint32_t height) {
  for (uint32_t side : kCursorImageSizes)
    if (width <= side && height <= side) return side;
  return kCursorImageMax;
}

bool ConvertCursorShape(HwcContext* hwc, const HostCursor* cursor) {
  if (!hwc || !cursor || !Readable(*cursor)) return false;
  SorvikDevice* device = hwc->Owner->Owner;
  if (!LockTimed(device, hwc->ShapeLock, kShapeLockTimeoutMs)) return false;
  ImageBlockColor& img = hwc->Image;
  if (!img.Image || img.Capacity < kCursorImageCapacity) {
    HeapRelease(device, img.Image);
    img = {};
    img.Image = static_cast<uint8_t*>(HeapZalloc(device, kCursorImageCapacity));
    if (img.Image) {
      img.Capacity = kCursorImageCapacity;
      img.Pixels = img.Image + kCursorHeaderSize;
    }
  }
  if (!hwc->Scratch) hwc->Scratch = static_cast<uint8_t*>(HeapZalloc(device, kCursorImageCapacity));
  if (!img.Image || !hwc->Scratch) {
    Unlock(device, hwc->ShapeLock);
    return false;
  }

  const uint32_t side = CursorImageSize(cursor->Width, cursor->Height);
  const bool alpha = cursor->ShapeType == kHostShapeAlpha;
  // Around an alpha shape the square stays fully transparent; a masked image is transparent
  // where the screen shows through unchanged.
  const uint32_t fill = alpha ? kAlphaTransparent : kMaskedTransparent;
  for (uint32_t i = 0; i < side * side; ++i) Store32(hwc->Scratch + size_t{i} * 4, fill);
  DrawShape(*cursor, side, hwc->Scratch);
  Rotate(hwc->Scratch, side, hwc->Rotation & 3, img.Pixels);

  img.Width = img.Height = side;
  img.Pitch = side * 4;
  img.Size = side * side * 4;
  img.ShapeCode = alpha ? kShapeCodeAlpha : kShapeCodeMasked;
  img.HotX = cursor->HotX;
  img.HotY = cursor->HotY;
  Store16(img.Image + 0, alpha ? kCursorKindAlpha : kCursorKindMasked);
  Store16(img.Image + 2, side);
  Store16(img.Image + 4, side);
  Store16(img.Image + 6, side * 4);
  Unlock(device, hwc->ShapeLock);
  return true;
}

}  // namespace vorn::display
