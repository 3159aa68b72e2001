// The hardware cursor's records: the host's cursor record, the header in front of every image
// the device receives, the converted image and the per-view cursor context with its shape
// slots. The device holds up to five images per view; the context mirrors what each of the
// view's device slots holds so that a shape seen before is only selected again.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/umdf/wdf.h"
#include "platform/win32/types.h"

struct ViewContext;

// The record the display host passes to UpdateCursor. In a 32-bit process the fields stand at
// the offsets noted; the plug-in reads it by its fields.
struct HostCursor {
  ULONG Flags;           // +0: kHostCursor* bits
  ULONG ShapeType;       // +4: kHostShape* code
  ULONG Width;           // +8
  ULONG Height;          // +12
  LONG X;                // +16: top-left of the shape image, host coordinates
  LONG Y;                // +20
  LONG HotX;             // +24
  LONG HotY;             // +28
  const UCHAR* AndMask;  // +32: 1-bit AND mask, most significant bit first
  ULONG MaskBits;        // +36: bits per mask pixel
  LONG MaskPitch;        // +40: bytes per mask row
  const UCHAR* Pixels;   // +44: 4-byte pixels, or the 1-bit XOR mask of a monochrome shape
  ULONG PixelFormat;     // +48: kHostPixelFormat32 for 4-byte pixels
  LONG PixelPitch;       // +52: bytes per pixel row; negative runs the rows upwards
};
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(HostCursor) == 56);
static_assert(offsetof(HostCursor, X) == 16);
static_assert(offsetof(HostCursor, AndMask) == 32);
static_assert(offsetof(HostCursor, MaskPitch) == 40);
static_assert(offsetof(HostCursor, Pixels) == 44);
static_assert(offsetof(HostCursor, PixelPitch) == 52);
#endif

namespace vorn::display {

// HostCursor flags.
constexpr uint32_t kHostCursorShape = 1u << 0;
constexpr uint32_t kHostCursorPosition = 1u << 1;
constexpr uint32_t kHostCursorHide = 1u << 2;
// HostCursor shape types.
constexpr uint32_t kHostShapeMonochrome = 1;
constexpr uint32_t kHostShapeMaskedColor = 2;
constexpr uint32_t kHostShapeAlpha = 4;
constexpr uint32_t kHostShapeColor = 8;
constexpr uint32_t kHostPixelFormat32 = 6;

// Pending cursor flags of a view (ViewContext::PendingCursorFlags, under CursorLock).
constexpr uint32_t kCursorPendingShape = 1u << 0;
constexpr uint32_t kCursorPendingShow = 1u << 1;
constexpr uint32_t kCursorPendingHide = 1u << 2;
constexpr uint32_t kCursorPendingPosition = 1u << 3;
// The device asked for a refresh and may have lost its images: every slot is sent again.
constexpr uint32_t kCursorPendingReupload = 1u << 4;

// CursorShapeHeader kinds and the slots' shape codes.
constexpr uint16_t kCursorKindAlpha = 1;
constexpr uint16_t kCursorKindMasked = 2;
constexpr uint32_t kShapeCodeAlpha = 4;
constexpr uint32_t kShapeCodeMasked = 8;
constexpr uint32_t kShapeCodeForgotten = 0x80000000u;

constexpr uint32_t kCursorHeaderSize = 8;
constexpr uint32_t kCursorImageSizes[] = {64, 96, 128};
constexpr uint32_t kCursorImageMax = 128;
constexpr uint32_t kCursorImageCapacity = kCursorHeaderSize + kCursorImageMax * kCursorImageMax * 4;
constexpr uint32_t kCursorSlotRecords = 10;
constexpr uint8_t kNoCursorSlot = 255;
constexpr uint32_t kShapeLockTimeoutMs = 2000;
// Pixel values of the images: B, G, R, A in memory.
constexpr uint32_t kMaskedTransparent = 0xFF000000u;  // screen pixel stays (XOR with 0)
constexpr uint32_t kMaskedInvert = 0xFFFFFFFFu;       // screen pixel inverted

// In front of every uploaded image: u16 kind, width, height, pitch (4 x width), little-endian.
struct CursorShapeHeader {
  uint16_t Kind;
  uint16_t Width;
  uint16_t Height;
  uint16_t Pitch;
};
static_assert(sizeof(CursorShapeHeader) == kCursorHeaderSize);

// What one device slot holds.
struct CursorSlot {
  uint32_t Width;
  uint32_t Height;
  uint32_t Pitch;
  uint32_t Size;      // pixel bytes
  uint32_t Capacity;  // of the pixel area
  int32_t HotX;
  int32_t HotY;
  uint8_t* Buffer;  // header + pixels, Capacity + 8 bytes, allocated on first use
  uint8_t* Pixels;  // Buffer + 8
  uint32_t ShapeCode;
  uint8_t State;  // 1 uploaded, 0 not
};

// The shape converted last, square, in the device's orientation.
struct ImageBlockColor {
  uint32_t Width;
  uint32_t Height;
  uint32_t Pitch;
  uint32_t Size;      // pixel bytes
  uint32_t Capacity;  // of Image, header included
  int32_t HotX;
  int32_t HotY;
  uint8_t* Image;   // header + pixels
  uint8_t* Pixels;  // Image + 8
  uint32_t ShapeCode;
};

// One per view, from the device heap. The host's thread (UpdateCursor) and the cursor thread
// share the image, the slots and the positions under ShapeLock (taken with a 2 s time-out,
// after which the work is skipped); the pending flags and Visible under the view's CursorLock
// as well. Lock order: ShapeLock, then CursorLock. USB traffic runs on the cursor thread with
// neither held, so the host's callback never waits for the device.
struct HwcContext {
  ViewContext* Owner;
  CursorSlot Slots[kCursorSlotRecords];  // the first SlotCount are used
  int32_t DeviceX;
  int32_t DeviceY;
  int32_t HostX;
  int32_t HostY;
  int32_t ModeWidth;  // host side, set when a mode is applied
  int32_t ModeHeight;
  uint8_t Rotation;  // the view's, set with the mode size
  uint8_t Visible;   // written under both locks
  WDFWAITLOCK ShapeLock;
  std::atomic<uint8_t> CurrentSlot;  // read by the refresh path under CursorLock only
  uint8_t NextSlot;                  // the next slot to replace
  ImageBlockColor Image;
  uint8_t* Scratch;  // the unrotated square while a shape is converted (host thread)
  uint8_t SlotBase;  // 0 for view 0, 5 for view 1
  uint8_t SlotCount;

  // The cursor thread's own: the copy of the slot being uploaded (header and pixels), taken
  // under ShapeLock, so that a cache reset meanwhile cannot change the bytes under the
  // transfer.
  uint8_t* Upload;
  uint32_t UploadLength;
  uint8_t UploadSlot;
  uint32_t CacheGeneration;             // under ShapeLock; a reset moves it on
  std::atomic<uint32_t> Passes;         // passes of the cursor thread that did their work
  std::atomic<uint32_t> SkippedPasses;  // passes skipped because ShapeLock timed out
};

}  // namespace vorn::display
