#include "display/encode/encode_plan.h"

#include <algorithm>

namespace vorn::display {
namespace {

constexpr bool RectIsZero(const EncodeRect& r) {
  return r.left == 0 && r.top == 0 && r.right == 0 && r.bottom == 0;
}

// B all zero: nothing; else A grows to hold B.
void Unite(EncodeRect* a, const EncodeRect& b) {
  if (RectIsZero(b)) return;
  a->left = std::min(a->left, b.left);
  a->top = std::min(a->top, b.top);
  a->right = std::max(a->right, b.right);
  a->bottom = std::max(a->bottom, b.bottom);
}

int64_t Area(const EncodeRect& r) {
  return int64_t{r.right - r.left} * int64_t{r.bottom - r.top};
}

// One axis of AlignToGrid: [*lo, *hi) inside [0, limit).
void AlignAxis(int32_t* lo, int32_t* hi, int32_t limit) {
  *lo = std::clamp(*lo, 0, limit);
  *hi = std::clamp(*hi, 0, limit);
  if (*lo > 0) *lo = (*lo - 1) / kGrid * kGrid;
  *hi = std::min((*hi + kGrid - 1) / kGrid * kGrid, limit);
  if (*hi - *lo < kGrid) {
    if (*lo > kGrid)
      *lo -= kGrid;
    else
      *hi += kGrid;
  }
  // The grown edge stays inside the mode, and no side is left below what the JPEG encoder
  // takes (a mode smaller than the grid would give one).
  *hi = std::min(*hi, limit);
  if (*hi - *lo < kMinRectSide) {
    *hi = std::min(*lo + kMinRectSide, limit);
    *lo = std::max(*hi - kMinRectSide, 0);
  }
}

}  // namespace

FormatChoice ChooseFormat(const FormatRequest& q) {
  const bool yuv = q.FormatMode == kFormatModeYuv || q.PreferYuv;
  if (q.VendorCmdVersion < kRectCommandVersion) {
    // Such a device takes JPEG or full-frame YUV 4:2:0 only; 24-bit RGB runs without a ring
    // for JPEG payloads, so it goes as YUV too.
    if (yuv || q.FormatMode == kFormatModeRgb) return {kSurfacePlanar, true};
    return {kSurfaceJpeg, false};
  }
  if (q.Rgb24Refresh) return {kSurfaceRgb24, false};
  if (yuv) {
    if (q.AxisWidth % 16 != 0) return {kSurfacePlanar, true};
    return {kSurfaceSemiPlanar, false};
  }
  if (q.FormatMode == kFormatModeRgb) return {kSurfaceRgb24, false};
  return {kSurfaceJpeg, false};
}

uint64_t StagingNeed(uint32_t format, uint32_t w, uint32_t h, bool jpegOverflow) {
  const uint64_t pixels = uint64_t{w} * h;
  switch (format) {
    case kSurfaceRgb24: return uint64_t{(w + 31) >> 5} * h * 96 + 80;
    case kSurfacePlanar:
    case kSurfaceSemiPlanar: return 2 * pixels;
    case kSurfaceJpeg: return jpegOverflow ? 2 * pixels : pixels;
    default: return 2 * pixels;
  }
}

EncodeRect AlignToGrid(EncodeRect r, int32_t w, int32_t h) {
  AlignAxis(&r.left, &r.right, w);
  AlignAxis(&r.top, &r.bottom, h);
  return r;
}

ShapeChoice ChooseShape(const ShapeRequest& q) {
  const int32_t w = q.ModeWidth, h = q.ModeHeight;
  const EncodeRect whole{0, 0, w, h};
  ShapeChoice c{UpdateShape::Patch, q.Rect, q.Band};
  auto full = [&] {
    c.Shape = UpdateShape::Full;
    c.Rect = whole;
    return c;
  };
  if (q.FlipMode == kFlipFull) return full();

  // The area tests: a wide YUV view is held to MaxPixels, and anything above 70 % of the
  // screen goes whole (unless the device is to get patches only).
  auto area_says_full = [&](const EncodeRect& r) {
    if (q.Format == kSurfaceSemiPlanar && q.DeviceWidth > kWideDeviceWidth &&
        Area(r) > int64_t{q.MaxPixels})
      return true;
    return Area(r) * 100 > int64_t{w} * h * kFullFramePercent && q.FlipMode != kFlipPatchOnly;
  };

  if (q.FlipMode == kFlipBand) {
    // Bands run along the device's rows: the whole width at rotation 0 and 2, the whole
    // height at rotation 1 and 3, and grow until a full frame replaces them.
    if (q.Rotation == 1 || q.Rotation == 3) {
      c.Rect.top = 0;
      c.Rect.bottom = h;
    } else {
      c.Rect.left = 0;
      c.Rect.right = w;
    }
    Unite(&c.Rect, q.Band);
    c.Band = c.Rect;
    c.Shape = UpdateShape::Band;
    if (q.Rotation == 0 && area_says_full(c.Rect)) return full();
  } else if (q.Rotation == 0 || q.FlipMode == kFlipPatches) {
    if (area_says_full(c.Rect)) return full();
  }

  // What the device has builders for: no RGB band (it goes as a patch), no planar rectangle,
  // and a patch or band only over a full frame it can address.
  if (c.Shape == UpdateShape::Band && q.Format == kSurfaceRgb24) c.Shape = UpdateShape::Patch;
  if (q.Format == kSurfacePlanar || q.LastFullLayout == 0) return full();
  if (c.Shape == UpdateShape::Patch && q.Format != kSurfaceJpeg &&
      q.Format != q.LastFullLayout)
    return full();
  return c;
}

}  // namespace vorn::display
