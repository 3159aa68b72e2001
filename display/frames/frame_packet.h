// The bus messages the plug-in writes for pictures: the 32-byte header and, for display data
// (type 0), the frame descriptor behind it, with the planes placed in device memory and the
// message lengths each surface format gives. The functions fill the first 80 bytes (32 for a
// two-plane write) of a message whose payload the encoder already laid out behind them.
#pragma once

#include <cstdint>

#include "platform/nt/status.h"
#include "protocol/bus_message.h"
#include "protocol/frame_descriptor.h"

namespace vorn::display {

constexpr uint32_t Align16(uint32_t v) { return (v + 15) & ~15u; }
constexpr uint32_t Align32(uint32_t v) { return (v + 31) & ~31u; }

// The zero bytes that follow every JPEG stream in a message.
constexpr uint32_t kJpegTrailer = 1024;
// The smallest JPEG message: a one-byte stream and its trailer.
constexpr uint32_t kMinJpegMessage = 2048;

// Bytes of the planes of a raw frame or rectangle of |w| x |h| pixels in surface format 4,
// 6 or 9, as they follow the descriptor; 0 for any other format.
uint64_t RawPlaneBytes(uint32_t format, uint32_t w, uint32_t h);
// 80 + RawPlaneBytes.
uint64_t RawMessageLength(uint32_t format, uint32_t w, uint32_t h);
// A JPEG stream of |n| bytes with its 1024-byte trailer, rounded up to 1 KiB.
constexpr uint64_t JpegMessageLength(uint64_t n) { return (n + 2127) & ~uint64_t{1023}; }
// Row stride of a 24-bit RGB frame in device memory.
constexpr uint32_t Rgb24Stride(uint32_t w) { return ((w + 31) >> 5) * 96; }

// A view's last full frame as it stands in device memory: the patches address it.
struct FramePlanes {
  uint32_t Layout;     // SurfaceFormat of the planes
  uint32_t Plane[3];
  uint16_t Stride[2];
  uint32_t Width;      // pixels
  uint32_t Height;
};

// What a type-0 message is made of. Full frames use Width and Height; rectangles and patches
// X, Y, Width and Height. Slot and SlotCapacity are the frame slot's address and the bytes
// from it to the next slot; RingAddress is the ring allocation of a JPEG payload.
struct FrameMessage {
  uint32_t View;
  uint32_t Format;   // SurfaceFormat of the payload
  uint32_t X, Y, Width, Height;
  uint32_t Slot;
  uint32_t SlotCapacity;
  uint32_t RingAddress;
  uint32_t Length;   // the whole message, header included
  uint32_t Sequence;
  uint8_t Flags;     // DescriptorFlags
  uint16_t OffsetX;  // the view's centring offsets (full frames)
  uint16_t OffsetY;
};

// Writes a complete, unsliced header: Type, TotalLength, Address, SliceLength = TotalLength,
// bytes 16-31 zero. Nothing for a null message.
void InitCommandHeader(uint8_t* message, uint32_t type, uint32_t totalLength, uint32_t address);

// The bytes a frame or rectangle occupies in its slot from the slot address on, as the device
// will have written them (decoded planes for JPEG).
uint64_t FullFrameSlotBytes(uint32_t format, uint32_t w, uint32_t h);
uint64_t RectSlotBytes(uint32_t format, uint32_t w, uint32_t h);

// Header and descriptor of a full frame (format 4, 6, 9 or 13) into |message| (80 bytes or
// more); |*placed| gets the planes the frame will stand in. STATUS_INVALID_PARAMETER for a
// format, size or length that does not add up; STATUS_UNSUCCESSFUL, with nothing written,
// when the frame would overrun its slot.
NTSTATUS FillFullFrame(uint8_t* message, const FrameMessage& m, FramePlanes* placed);
// A rectangle (format 6 or 13) decoded into a scratch slot.
NTSTATUS FillRect(uint8_t* message, const FrameMessage& m);
// A JPEG patch at (X, Y) into the view's last full frame; refused unless it lies inside it.
NTSTATUS FillJpegPatch(uint8_t* message, const FrameMessage& m, const FramePlanes& last);
// The header of a two-plane write (type 7) of the rectangle (x, y, w, h) into the last full
// frame, format 6 or 9 (for 9 the rectangle is already snapped: x a multiple of 48, h of 3).
// |*length| gets the whole message length. Refused unless the rectangle lies inside the frame
// and matches its layout.
NTSTATUS FillTwoPlane(uint8_t* message, uint32_t format, uint32_t x, uint32_t y, uint32_t w,
                      uint32_t h, const FramePlanes& last, uint32_t* length);

}  // namespace vorn::display
