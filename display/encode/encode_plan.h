// The decisions the encode thread makes for one update, as plain functions of their inputs:
// the surface format, the staging space the packet needs, the 32-pixel grid the device
// works in, and whether the update goes as a full frame, a band rectangle or a patch of the
// frame already on the device.
#pragma once

#include <cstdint>

namespace vorn::display {

// A half-open rectangle [left, right) x [top, bottom) in host orientation.
struct EncodeRect {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
  bool operator==(const EncodeRect&) const = default;
};

constexpr bool RectIsEmpty(const EncodeRect& r) { return r.left >= r.right || r.top >= r.bottom; }

// Surface formats of the packets.
constexpr uint32_t kSurfacePlanar = 4;
constexpr uint32_t kSurfaceSemiPlanar = 6;
constexpr uint32_t kSurfaceRgb24 = 9;
constexpr uint32_t kSurfaceJpeg = 13;

// FormatMode values of the device.
constexpr uint8_t kFormatModeJpeg = 0;
constexpr uint8_t kFormatModeYuv = 1;
constexpr uint8_t kFormatModeRgb = 2;

// FlipMode values.
constexpr uint32_t kFlipPatches = 0;  // patches, full frames above 70 % of the screen
constexpr uint32_t kFlipFull = 1;     // every update a full frame
constexpr uint32_t kFlipPatchOnly = 2;
constexpr uint32_t kFlipBand = 3;

// Devices below this command-set version take only JPEG or full-frame YUV 4:2:0.
constexpr uint32_t kRectCommandVersion = 3;
// The share of the screen above which an update goes as a full frame: area x 100 > W x H x 70.
constexpr uint32_t kFullFramePercent = 70;
constexpr int32_t kGrid = 32;
// The JPEG encoder takes nothing smaller.
constexpr int32_t kMinRectSide = 8;
// Device-side widths above this limit a format-6 rectangle to MaxPixels.
constexpr uint32_t kWideDeviceWidth = 2048;

struct FormatRequest {
  uint32_t VendorCmdVersion;
  uint8_t FormatMode;
  bool PreferYuv;
  bool Rgb24Refresh;   // the idle refresh of a view with three staging frames is pending
  uint32_t AxisWidth;  // the mode width, its height at rotation 1 and 3
};

struct FormatChoice {
  uint32_t Format;
  bool ForceFull;  // the format has no rectangle form: the update is the whole screen
};

FormatChoice ChooseFormat(const FormatRequest& request);

// Staging bytes a packet of |format| for a |w| x |h| mode may take; a JPEG after a stream
// that did not fit asks for twice the usual room.
uint64_t StagingNeed(uint32_t format, uint32_t w, uint32_t h, bool jpegOverflow);

// Aligns |r| to the 32-pixel grid inside a |w| x |h| mode: clamped, left and top moved down
// to the grid line below (left - 1), right and bottom up to the next one (at most the mode),
// sides below 32 grown by 32 (backwards when there is room before, else forwards), and never
// below 8 pixels nor outside the mode.
EncodeRect AlignToGrid(EncodeRect r, int32_t w, int32_t h);

enum class UpdateShape : uint8_t { Full, Band, Patch };

struct ShapeRequest {
  EncodeRect Rect;        // aligned
  uint32_t FlipMode;      // effective for this update
  uint32_t Rotation;      // 0-3
  uint32_t Format;
  int32_t ModeWidth;      // host orientation
  int32_t ModeHeight;
  uint32_t DeviceWidth;   // device orientation
  uint32_t MaxPixels;
  EncodeRect Band;        // the band so far; all zero when there is none
  uint32_t LastFullLayout;  // layout of the device's current full frame, 0 when unknown
};

struct ShapeChoice {
  UpdateShape Shape;
  EncodeRect Rect;  // the update: the whole screen for a full frame
  EncodeRect Band;  // the band rectangle from now on
};

// A refresh of the whole screen (asked for, idle, or after a format change) takes the same
// rules as any update: it is a full frame only where FlipMode, the rotation and the area say
// so, or where the device could not take the shape (a planar frame, an RGB patch into a YUV
// or JPEG frame, no frame on the device yet).
ShapeChoice ChooseShape(const ShapeRequest& request);

// The one look of the adaptive switch, once more than |minFrames| full frames were timed:
// true when their average time in whole milliseconds (|total| is counter ticks times 1000,
// |frequency| ticks per second) exceeds |maxMsPerFrame|, so the view should move to YUV.
constexpr bool JpegTooSlow(uint64_t total, uint32_t count, uint64_t frequency,
                           uint64_t maxMsPerFrame) {
  if (count == 0 || frequency == 0) return false;
  return total / frequency / count > maxMsPerFrame;
}

}  // namespace vorn::display
