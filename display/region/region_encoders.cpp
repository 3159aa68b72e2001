// The region encoders. Rotation 0 converts straight from the system frame under FrameLock;
// the rotated path first turns the rectangle into the device's orientation in pSourceBuf.
// Every packet length is checked against the space before anything is written, and the
// JPEG capacity is chosen so that the rounded packet length stays within the space too.
#include "display/region/region_encoders.h"

#include <cstddef>
#include <cstring>

#include "display/convert/convert.h"
#include "display/frames/frame_packet.h"
#include "display/views/present.h"
#include "display/device/trace.h"
#include "display/device/trace_messages.h"
#include "display/views/view_buffers.h"
#include "jpeg/codec/encode_frame_jpeg.h"
#include "platform/win32/performance_counter.h"

namespace vorn::display {
namespace {

constexpr uint32_t kJpegPacketRound = 1024;

int32_t Smaller(int32_t a, int32_t b) { return a < b ? a : b; }
int32_t Larger(int32_t a, int32_t b) { return a > b ? a : b; }

// Row stride of a 24-bit full frame: the width rounded up to 32 pixels, 3 bytes each.
uint32_t FullFrameRgbStride(uint32_t width) { return ((width + 31) >> 5) * 96; }

// Holds FrameLock for the scope when it was had within the time-out; the work goes on
// either way.
class FrameLockScope {
 public:
  explicit FrameLockScope(ViewContext* view) : view_(view), held_(LockViewFrame(view)) {}
  ~FrameLockScope() {
    if (held_) UnlockViewFrame(view_);
  }
  FrameLockScope(const FrameLockScope&) = delete;
  FrameLockScope& operator=(const FrameLockScope&) = delete;

 private:
  ViewContext* view_;
  bool held_;
};

// Clips |r| to the mode; false when nothing is left.
bool ClipToMode(const ViewContext* view, RegionRect* r) {
  const int32_t w = static_cast<int32_t>(view->Modes.Width);
  const int32_t h = static_cast<int32_t>(view->Modes.Height);
  r->left = Larger(r->left, 0);
  r->top = Larger(r->top, 0);
  r->right = Smaller(r->right, w);
  r->bottom = Smaller(r->bottom, h);
  return r->left < r->right && r->top < r->bottom;
}

// A format-6 rectangle that is not a full frame goes as a band in band mode, else as a patch.
bool IsBand(const ViewContext* view, bool fullFrame) {
  return !fullFrame && view->Owner->FlipMode == 3;
}

// Whether |w| x |h| 4-byte pixels fit the view's source buffer.
bool FitsSourceBuf(const ViewContext* view, const uint8_t* pSourceBuf, uint32_t w, uint32_t h) {
  if (!pSourceBuf) return false;
  const SystemMemObj* mem = view->SystemMem;
  if (!mem || mem->pSourceBuf != pSourceBuf) return true;  // a caller's own buffer
  return uint64_t{4} * w * h <= mem->SourceBufSize;
}

void TraceJpegFailure(const ViewContext* view, int32_t status) {
  TracePoint(kTraceHost, kTraceError, kTraceUnitViews, kMsgRegionJpegFailed,
             {view->Index, static_cast<uint32_t>(status)});
}

// Encodes |w| x |h| B,G,R,x pixels (stride 4w) as a JPEG packet: the stream at offset 80,
// zero bytes after it up to the packet length (n + 2127) & ~1023. The capacity leaves room
// for the 80 bytes in front and for the tail rounded up within |space|.
NTSTATUS JpegPacket(ViewContext* view, const uint8_t* pixels, uint32_t w, uint32_t h,
                    uint8_t quality, uint8_t* packet, uint32_t space, uint32_t* packetLength,
                    bool timed, bool traced) {
  const uint32_t usable = space / kJpegPacketRound * kJpegPacketRound;
  const uint32_t front = kRoomWithDescriptor + kJpegTail;
  if (usable <= front) {
    if (traced) TraceJpegFailure(view, jpeg::JpegEncodeHeaderFailed);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  const uint32_t capacity = usable - front;
  jpeg::JpegEncodeRequest request;
  request.width = w;
  request.height = h;
  request.pixelFormat = jpeg::PixelFormatBgrx32;
  request.pixels = pixels;
  request.stride = static_cast<int32_t>(4 * w);
  request.quality = quality;
  request.sampling = view->Owner->JpegSampling;
  request.output = packet + kRoomWithDescriptor;
  request.outputCapacity = capacity > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int32_t>(capacity);
  LARGE_INTEGER before{}, after{};
  if (timed) QueryPerformanceCounter(&before);
  const jpeg::JpegEncodeStatus status = jpeg::EncodeFrameJpeg(&request);
  if (timed) QueryPerformanceCounter(&after);
  if (status != jpeg::JpegEncodeOk || request.outputLength <= 0 ||
      static_cast<uint32_t>(request.outputLength) > capacity) {
    if (traced) TraceJpegFailure(view, status);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (timed) {
    view->JpegTimeTotal += static_cast<uint64_t>(after.QuadPart - before.QuadPart) * 1000;
    view->JpegTimeCount += 1;
  }
  const uint32_t n = static_cast<uint32_t>(request.outputLength);
  const uint32_t length = (n + front + kJpegPacketRound - 1) & ~(kJpegPacketRound - 1);
  std::memset(packet + kRoomWithDescriptor + n, 0, length - kRoomWithDescriptor - n);
  *packetLength = length;
  return STATUS_SUCCESS;
}

// Rows of 3-byte pixels at packet + room, |rowStride| bytes apart; the bytes between a row's
// pixels and the next row are zeroed.
NTSTATUS Rgb24Packet(const uint8_t* src, int32_t srcStride, uint32_t w, uint32_t h,
                     uint32_t room, uint32_t rowStride, uint8_t* packet, uint32_t space,
                     uint32_t* packetLength) {
  const uint64_t length = room + uint64_t{rowStride} * h;
  if (length > space) return STATUS_INSUFFICIENT_RESOURCES;
  uint8_t* out = packet + room;
  BgraToRgb24(out, src, static_cast<int32_t>(rowStride), srcStride, static_cast<int32_t>(w),
              static_cast<int32_t>(h));
  if (rowStride > 3 * w) {
    for (uint32_t row = 0; row < h; ++row)
      std::memset(out + size_t{row} * rowStride + 3 * w, 0, rowStride - 3 * w);
  }
  *packetLength = static_cast<uint32_t>(length);
  return STATUS_SUCCESS;
}

// Y rows of |s| bytes at packet + room, then h / 2 CbCr rows of |s| bytes.
NTSTATUS InterleavedPacket(const uint8_t* src, int32_t srcStride, uint32_t w, uint32_t h,
                           uint32_t room, uint32_t s, uint8_t* packet, uint32_t space,
                           uint32_t* packetLength) {
  const uint64_t length = room + uint64_t{s} * h + uint64_t{s} * (h / 2);
  if (length > space) return STATUS_INSUFFICIENT_RESOURCES;
  uint8_t* y = packet + room;
  const int32_t iw = static_cast<int32_t>(w), ih = static_cast<int32_t>(h);
  const int32_t is = static_cast<int32_t>(s);
  BgraToYCbCr420Interleaved({src, ih, iw, srcStride}, {y, ih, iw, is},
                            {y + size_t{s} * h, ih / 2, iw / 2, is});
  *packetLength = static_cast<uint32_t>(length);
  return STATUS_SUCCESS;
}

NTSTATUS PlanarPacket(const uint8_t* src, int32_t srcStride, uint32_t w, uint32_t h,
                      uint8_t* packet, uint32_t space, uint32_t* packetLength) {
  const uint64_t planes = uint64_t{Align16(h)} * Align16(w) + uint64_t{Align16(w / 2)} * h;
  if (kRoomWithDescriptor + planes > space) return STATUS_INSUFFICIENT_RESOURCES;
  *packetLength = kRoomWithDescriptor +
                  BgraToYuv420Planar(src, srcStride, packet + kRoomWithDescriptor,
                                     static_cast<int32_t>(w), static_cast<int32_t>(h));
  return STATUS_SUCCESS;
}

// The patch's snapped rectangle inside a frame of |fw| x |fh|.
RegionRect SnappedRect(const uint32_t patch[kPatchParamCount], int32_t fw, int32_t fh) {
  const int32_t x = static_cast<int32_t>(patch[0]), y = static_cast<int32_t>(patch[1]);
  return {Larger(x, 0), Larger(y, 0), Smaller(x + static_cast<int32_t>(patch[2]), fw),
          Smaller(y + static_cast<int32_t>(patch[3]), fh)};
}

}  // namespace

NTSTATUS EncodeRegion(ViewContext* view, uint8_t* pSourceBuf, uint8_t* packet, uint32_t space,
                      uint32_t* packetLength, RegionRect* rect, uint32_t format, uint8_t quality,
                      bool fullFrame, bool timing, uint32_t patch[kPatchParamCount]) {
  const uint32_t bpp = view->Modes.BitsPerPixel;
  if (bpp != 32 && bpp != 16) return STATUS_UNSUCCESSFUL;
  if (!packet || !packetLength || !rect || !view->SystemFrame) return STATUS_INVALID_PARAMETER;
  if (!ClipToMode(view, rect)) return STATUS_INVALID_PARAMETER;
  const int32_t pitch = static_cast<int32_t>(view->Modes.SystemFramePitch);
  const int32_t modeW = static_cast<int32_t>(view->Modes.Width);
  const int32_t modeH = static_cast<int32_t>(view->Modes.Height);
  uint32_t w = static_cast<uint32_t>(rect->right - rect->left);
  uint32_t h = static_cast<uint32_t>(rect->bottom - rect->top);
  auto at = [&](const RegionRect& r) {
    return view->SystemFrame + ptrdiff_t{r.top} * pitch + ptrdiff_t{r.left} * (bpp / 8);
  };

  if (bpp == 16) {
    // 16-bit surfaces are widened and go as JPEG whatever the format.
    if (!FitsSourceBuf(view, pSourceBuf, w, h)) return STATUS_INSUFFICIENT_RESOURCES;
    {
      FrameLockScope lock(view);
      Rgb565ToRgb32(pSourceBuf, at(*rect), static_cast<int32_t>(4 * w), pitch,
                    static_cast<int32_t>(w), static_cast<int32_t>(h));
    }
    return JpegPacket(view, pSourceBuf, w, h, static_cast<uint8_t>(view->Owner->JpegQuality),
                      packet, space, packetLength, false, true);
  }

  switch (format) {
    case kFormatJpeg: {
      if (!FitsSourceBuf(view, pSourceBuf, w, h)) return STATUS_INSUFFICIENT_RESOURCES;
      {
        FrameLockScope lock(view);
        const uint8_t* row = at(*rect);
        for (uint32_t y = 0; y < h; ++y, row += pitch)
          std::memcpy(pSourceBuf + size_t{y} * 4 * w, row, size_t{4} * w);
      }
      return JpegPacket(view, pSourceBuf, w, h, quality, packet, space, packetLength,
                        fullFrame && timing, true);
    }
    case kFormatYCbCr420: {
      const bool withDescriptor = fullFrame || IsBand(view, fullFrame);
      FrameLockScope lock(view);
      return InterleavedPacket(at(*rect), pitch, w, h,
                               withDescriptor ? kRoomWithDescriptor : kRoomPatch,
                               withDescriptor ? Align16(w) : w, packet, space, packetLength);
    }
    case kFormatYuv420Planar: {
      FrameLockScope lock(view);
      return PlanarPacket(at(*rect), pitch, w, h, packet, space, packetLength);
    }
    case kFormatRgb24: {
      if (fullFrame) {
        FrameLockScope lock(view);
        return Rgb24Packet(at(*rect), pitch, w, h, kRoomWithDescriptor, FullFrameRgbStride(w),
                           packet, space, packetLength);
      }
      uint32_t params[kPatchParamCount];
      AlignRectForPatch9(rect->left, rect->top, static_cast<int32_t>(w),
                         static_cast<int32_t>(h), modeW, modeH, params);
      const RegionRect snapped = SnappedRect(params, modeW, modeH);
      if (snapped.left >= snapped.right || snapped.top >= snapped.bottom)
        return STATUS_INVALID_PARAMETER;
      w = static_cast<uint32_t>(snapped.right - snapped.left);
      h = static_cast<uint32_t>(snapped.bottom - snapped.top);
      NTSTATUS status;
      {
        FrameLockScope lock(view);
        status = Rgb24Packet(at(snapped), pitch, w, h, kRoomPatch, 3 * w, packet, space,
                             packetLength);
      }
      if (!NT_SUCCESS(status)) return status;
      *rect = snapped;
      if (patch) std::memcpy(patch, params, sizeof(params));
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS EncodeRegionRotated(ViewContext* view, uint8_t* pSourceBuf, uint8_t* packet,
                             uint32_t space, uint32_t* packetLength, RegionRect* rect,
                             uint32_t format, uint8_t quality, bool fullFrame, bool /*timing*/,
                             uint32_t patch[kPatchParamCount]) {
  const uint8_t rotation = view->Modes.Rotation & 3;
  if (rotation == 0 || !packet || !packetLength || !rect || !view->SystemFrame)
    return STATUS_INVALID_PARAMETER;
  if (format != kFormatJpeg && format != kFormatYCbCr420 && format != kFormatYuv420Planar &&
      format != kFormatRgb24)
    return STATUS_INVALID_PARAMETER;
  // The copy below moves 4-byte pixels, which is what the converters read.
  if (view->Modes.BitsPerPixel != 32) return STATUS_INVALID_PARAMETER;
  if (!ClipToMode(view, rect)) return STATUS_INVALID_PARAMETER;
  const int32_t W = static_cast<int32_t>(view->Modes.Width);
  const int32_t H = static_cast<int32_t>(view->Modes.Height);
  const RegionRect r = *rect;
  RegionRect d;
  switch (rotation) {
    case 1: d = {H - r.bottom, r.left, H - r.top, r.right}; break;
    case 2: d = {W - r.right, H - r.bottom, W - r.left, H - r.top}; break;
    default: d = {r.top, W - r.right, r.bottom, W - r.left}; break;
  }
  const int32_t deviceW = rotation == 2 ? W : H;
  const int32_t deviceH = rotation == 2 ? H : W;
  uint32_t params[kPatchParamCount] = {};
  const bool rgbPatch = format == kFormatRgb24 && !fullFrame;
  if (rgbPatch) {
    AlignRectForPatch9(d.left, d.top, d.right - d.left, d.bottom - d.top, deviceW, deviceH,
                       params);
    d = SnappedRect(params, deviceW, deviceH);
  }
  if (d.left >= d.right || d.top >= d.bottom) return STATUS_INVALID_PARAMETER;
  const uint32_t w = static_cast<uint32_t>(d.right - d.left);
  const uint32_t h = static_cast<uint32_t>(d.bottom - d.top);
  if (!FitsSourceBuf(view, pSourceBuf, w, h)) return STATUS_INSUFFICIENT_RESOURCES;

  {
    FrameLockScope lock(view);
    const uint8_t* frame = view->SystemFrame;
    const ptrdiff_t pitch = view->Modes.SystemFramePitch;
    uint8_t* out = pSourceBuf;
    for (int32_t dy = d.top; dy < d.bottom; ++dy) {
      for (int32_t dx = d.left; dx < d.right; ++dx, out += 4) {
        int32_t hx, hy;
        switch (rotation) {
          case 1: hx = dy, hy = H - 1 - dx; break;
          case 2: hx = W - 1 - dx, hy = H - 1 - dy; break;
          default: hx = W - 1 - dy, hy = dx; break;
        }
        std::memcpy(out, frame + hy * pitch + ptrdiff_t{hx} * 4, 4);
      }
    }
  }

  const int32_t stride = static_cast<int32_t>(4 * w);
  NTSTATUS status;
  switch (format) {
    case kFormatRgb24:
      status = fullFrame ? Rgb24Packet(pSourceBuf, stride, w, h, kRoomWithDescriptor,
                                       FullFrameRgbStride(w), packet, space, packetLength)
                         : Rgb24Packet(pSourceBuf, stride, w, h, kRoomPatch, 3 * w, packet,
                                       space, packetLength);
      break;
    case kFormatYuv420Planar:
      status = PlanarPacket(pSourceBuf, stride, w, h, packet, space, packetLength);
      break;
    case kFormatYCbCr420: {
      const bool withDescriptor = fullFrame || IsBand(view, fullFrame);
      status = InterleavedPacket(pSourceBuf, stride, w, h,
                                 withDescriptor ? kRoomWithDescriptor : kRoomPatch,
                                 withDescriptor ? Align16(w) : w, packet, space, packetLength);
      break;
    }
    default:
      status = JpegPacket(view, pSourceBuf, w, h, quality, packet, space, packetLength, false,
                          false);
      break;
  }
  if (!NT_SUCCESS(status)) return status;
  *rect = d;
  if (rgbPatch && patch) std::memcpy(patch, params, sizeof(params));
  return STATUS_SUCCESS;
}

void AlignRectForPatch9(int32_t x, int32_t y, int32_t width, int32_t height, int32_t frameWidth,
                        int32_t frameHeight, uint32_t params[kPatchParamCount]) {
  const int32_t x2 = x / 48 * 48;
  int32_t width2 = width + (x2 != x ? 48 : 0);
  if (x2 + width2 > frameWidth) width2 = frameWidth - x2;
  int32_t height2 = (height + 2) / 3 * 3;
  int32_t y2 = y;
  if (y + height2 > frameHeight) {
    if (height2 > frameHeight) {
      y2 = 0;
      height2 = frameHeight / 3 * 3;
    } else {
      y2 = (frameHeight - height2) / 3 * 3;
    }
  }
  const uint32_t stride = static_cast<uint32_t>((frameWidth + 31) / 32 * 96);
  const uint32_t planeARows = static_cast<uint32_t>(height2 / 3 * 2);
  const uint32_t offsetA = static_cast<uint32_t>(3 * x2) + static_cast<uint32_t>(y2) * stride;
  params[0] = static_cast<uint32_t>(x2);
  params[1] = static_cast<uint32_t>(y2);
  params[2] = static_cast<uint32_t>(width2);
  params[3] = static_cast<uint32_t>(height2);
  params[4] = stride;
  params[5] = static_cast<uint32_t>(3 * width2);
  params[6] = planeARows;
  params[7] = offsetA;
  params[8] = offsetA + planeARows * stride;
}

NTSTATUS AlignRectForRotation(ViewContext* view, RegionRect* rect, int32_t boundsLeft,
                              int32_t boundsTop, int32_t boundsRight, int32_t boundsBottom) {
  const uint8_t rotation = view->Modes.Rotation & 3;
  const int32_t wx = static_cast<int32_t>(view->Modes.Width % 32);
  const int32_t hy = static_cast<int32_t>(view->Modes.Height % 32);
  if ((rotation == 3 || rotation == 2) && wx != 0) {
    rect->left = Larger(rect->left - 32 + wx, boundsLeft);
    rect->right = Smaller(rect->right + wx, boundsRight);
  }
  if ((rotation == 1 || rotation == 2) && hy != 0) {
    rect->top = Larger(rect->top - 32 + hy, boundsTop);
    rect->bottom = Smaller(rect->bottom + hy, boundsBottom);
  }
  return STATUS_SUCCESS;
}

}  // namespace vorn::display
