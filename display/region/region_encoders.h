// The region encoders: one aligned rectangle of a view's system frame becomes the payload of
// one packet in the staging ring, in the format the encode thread chose, with room left in
// front of the payload for what the send thread writes there.
//
// Room: a packet that gets a frame descriptor (full frames, format-6 bands, every JPEG packet)
// has its payload at offset 80; a format-6 patch and a format-9 packet that is not a full
// frame at offset 32.
//
// A packet never reaches beyond |space| bytes: a rectangle whose packet would not fit fails
// with STATUS_INSUFFICIENT_RESOURCES (0xC000009A) and writes nothing past |space|, and a
// rectangle reaching outside the mode is clipped to it first.
#pragma once

#include <cstdint>

#include "display/device/device.h"
#include "platform/win32/types.h"

namespace vorn::display {

// A half-open rectangle [left, right) x [top, bottom).
struct RegionRect {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
};

// The nine parameters of a format-9 patch: x, y, width, height, frame stride, row bytes,
// plane A rows, offset A, offset B.
constexpr uint32_t kPatchParamCount = 9;

// Payload offsets of a packet.
constexpr uint32_t kRoomWithDescriptor = 80;
constexpr uint32_t kRoomPatch = 32;
// The zero bytes that follow every JPEG stream.
constexpr uint32_t kJpegTail = 1024;

// Surface formats the region encoders write.
constexpr uint32_t kFormatYuv420Planar = 4;
constexpr uint32_t kFormatYCbCr420 = 6;
constexpr uint32_t kFormatRgb24 = 9;
constexpr uint32_t kFormatJpeg = 13;

// Trace message of a failed JPEG region encode (unit kTraceUnitViews): view index, status.
constexpr uint16_t kMsgRegionJpegFailed = 200;

// Rotation 0: reads the system frame in place. |pSourceBuf| holds the rectangle's 4-byte
// pixels for the JPEG encoder. |fullFrame| marks a full frame; a format-6 rectangle that is
// not one is a band when the device's FlipMode is 3 (room 80, rows of align16(width)) and a
// patch otherwise (room 32, rows of width). |timing| with |fullFrame| adds the JPEG encode
// time to the view's JpegTimeTotal and JpegTimeCount. On success |*packetLength| is the
// packet's length and, for a format-9 patch, |rect| and |patch| hold the snapped rectangle
// and its parameters. 16-bit surfaces always go as JPEG at the device's JpegQuality.
// Results: STATUS_SUCCESS; 0xC000009A when the JPEG stream or the packet did not fit in
// |space| or the encoder failed; 0xC0000001 for bits per pixel other than 32 and 16;
// 0xC000000D for a format it does not encode or an empty rectangle.
NTSTATUS EncodeRegion(ViewContext* view, uint8_t* pSourceBuf, uint8_t* packet, uint32_t space,
                      uint32_t* packetLength, RegionRect* rect, uint32_t format, uint8_t quality,
                      bool fullFrame, bool timing, uint32_t patch[kPatchParamCount]);

// Rotation 1-3: the rectangle (host orientation) is turned into the device's orientation and
// its pixels copied into |pSourceBuf| in that orientation, then converted from there. On
// success |rect| is the device-oriented rectangle. No timing. Results as EncodeRegion, and
// 0xC000000D at rotation 0, for an empty rectangle, a format it does not encode or a
// surface of other than 32 bits per pixel.
NTSTATUS EncodeRegionRotated(ViewContext* view, uint8_t* pSourceBuf, uint8_t* packet,
                             uint32_t space, uint32_t* packetLength, RegionRect* rect,
                             uint32_t format, uint8_t quality, bool fullFrame, bool timing,
                             uint32_t patch[kPatchParamCount]);

// Snaps a format-9 patch to x a multiple of 48 and a height a multiple of 3 inside the frame,
// and fills its nine parameters.
void AlignRectForPatch9(int32_t x, int32_t y, int32_t width, int32_t height, int32_t frameWidth,
                        int32_t frameHeight, uint32_t params[kPatchParamCount]);

// Moves the 32-pixel grid the encode thread aligned from the host's origin onto the device's
// origin after turning, within the bounds. Returns 0.
NTSTATUS AlignRectForRotation(ViewContext* view, RegionRect* rect, int32_t boundsLeft,
                              int32_t boundsTop, int32_t boundsRight, int32_t boundsBottom);

}  // namespace vorn::display
