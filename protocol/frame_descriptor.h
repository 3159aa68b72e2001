// FrameDescriptor: the 48 bytes that follow a type-0 BusMessageHeader (message offsets 32-79)
// and tell the device what the payload is and where its planes lie in device memory. The
// plug-in writes it; only the device reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "protocol/byte_order.h"

namespace vorn::protocol {

inline constexpr size_t kFrameDescriptorSize = 48;
// Where the descriptor starts in a message, and where the payload after it starts.
inline constexpr size_t kFrameDescriptorOffset = 32;
inline constexpr size_t kFramePayloadOffset = kFrameDescriptorOffset + kFrameDescriptorSize;

// Surface layouts, as FrameDescriptor::Layout and the Format fields give them.
enum class SurfaceFormat : uint32_t {
  Planar420 = 4,       // Y, Cb, Cr planes, 4:2:0
  SemiPlanar420 = 6,   // Y plane + one plane of interleaved Cb,Cr pairs, 4:2:0, full-range BT.601
  Rgb24 = 9,           // 3 bytes per pixel: B, G, R
  Jpeg420 = 13,        // baseline JPEG stream, always 4:2:0; decoded into SemiPlanar420
};

constexpr uint32_t ToWire(SurfaceFormat f) { return static_cast<uint32_t>(f); }

// FrameDescriptor::PacketKind.
enum class FramePacketKind : uint32_t {
  RectView0 = 1,   // rectangle of view 0, decoded into a scratch slot
  RectView1 = 2,
  FullView0 = 3,   // full frame of view 0
  FullView1 = 4,
  JpegPatch = 7,   // JPEG patch decoded into the planes of the view's last full frame
};

constexpr uint32_t ToWire(FramePacketKind k) { return static_cast<uint32_t>(k); }

// DescriptorFlags: set on the messages of the first send pass after the acknowledgement ring
// was reset, in JPEG mode.
inline constexpr uint8_t kDescriptorFlagFirstPass = 0x80;

// The three forms of descriptor bytes 16-43 are plain structs so that they can share a union;
// FrameDescriptor zero-fills it.

// Descriptor bytes 16-43 of a full frame (PacketKind 3, 4).
struct FullFrameFields {
  uint16_t Stride1;
  uint16_t Stride2;
  uint32_t Plane1;  // device addresses
  uint32_t Plane2;
  uint32_t Plane3;
  uint32_t Format;  // SurfaceFormat of the payload: 4, 6, 9 or 13
  uint16_t OffsetX;  // the frame's position on the monitor, and its size; all four zero
  uint16_t OffsetY;  // unless the view is centred
  uint16_t Width;
  uint16_t Height;
};
static_assert(sizeof(FullFrameFields) == 28);

// Descriptor bytes 16-43 of a rectangle (PacketKind 1, 2).
struct RectFields {
  uint16_t X;
  uint16_t Y;
  uint16_t Width;
  uint16_t Height;
  uint16_t Stride1;
  uint16_t Stride2;
  uint32_t Plane1;
  uint32_t Plane2;
  uint32_t Plane3;
  uint32_t Format;  // 6 or 13
};
static_assert(sizeof(RectFields) == 28);

// Descriptor bytes 16-39 of a JPEG patch (PacketKind 7).
struct JpegPatchFields {
  uint16_t Width;
  uint16_t Height;
  uint16_t Stride1;  // strides of the last full frame
  uint16_t Stride2;
  uint32_t Dest1;    // address of the patch's top-left sample in each plane
  uint32_t Dest2;
  uint32_t Dest3;
  uint32_t Format;   // 13
};
static_assert(sizeof(JpegPatchFields) == 24);

struct FrameDescriptor {
  uint32_t PacketKind = 0;     // a FramePacketKind
  uint32_t PayloadLength = 0;  // bytes after the descriptor (message length - 80)
  uint32_t Sequence = 0;       // echoed by the device as AckSequence once it is done with it
  uint32_t Layout = 0;         // SurfaceFormat of the planes as they stand in device memory
  union {
    FullFrameFields Full{};
    RectFields Rect;
    JpegPatchFields Patch;
  };
  uint8_t Reserved[3] = {};
  uint8_t DescriptorFlags = 0;
};
static_assert(sizeof(FrameDescriptor) == kFrameDescriptorSize);

// Offsets as the message shows them (descriptor offset + field offset).
#define VORN_FD_AT(member) (kFrameDescriptorOffset + offsetof(FrameDescriptor, member))
static_assert(VORN_FD_AT(PacketKind) == 32);
static_assert(VORN_FD_AT(PayloadLength) == 36);
static_assert(VORN_FD_AT(Sequence) == 40);
static_assert(VORN_FD_AT(Layout) == 44);
static_assert(VORN_FD_AT(Reserved) == 76);
static_assert(VORN_FD_AT(DescriptorFlags) == 79);
static_assert(VORN_FD_AT(Full) + offsetof(FullFrameFields, Stride1) == 48);
static_assert(VORN_FD_AT(Full) + offsetof(FullFrameFields, Stride2) == 50);
static_assert(VORN_FD_AT(Full) + offsetof(FullFrameFields, Plane1) == 52);
static_assert(VORN_FD_AT(Full) + offsetof(FullFrameFields, Plane2) == 56);
static_assert(VORN_FD_AT(Full) + offsetof(FullFrameFields, Plane3) == 60);
static_assert(VORN_FD_AT(Full) + offsetof(FullFrameFields, Format) == 64);
static_assert(VORN_FD_AT(Full) + offsetof(FullFrameFields, OffsetX) == 68);
static_assert(VORN_FD_AT(Full) + offsetof(FullFrameFields, OffsetY) == 70);
static_assert(VORN_FD_AT(Full) + offsetof(FullFrameFields, Width) == 72);
static_assert(VORN_FD_AT(Full) + offsetof(FullFrameFields, Height) == 74);
static_assert(VORN_FD_AT(Rect) + offsetof(RectFields, X) == 48);
static_assert(VORN_FD_AT(Rect) + offsetof(RectFields, Y) == 50);
static_assert(VORN_FD_AT(Rect) + offsetof(RectFields, Width) == 52);
static_assert(VORN_FD_AT(Rect) + offsetof(RectFields, Height) == 54);
static_assert(VORN_FD_AT(Rect) + offsetof(RectFields, Stride1) == 56);
static_assert(VORN_FD_AT(Rect) + offsetof(RectFields, Stride2) == 58);
static_assert(VORN_FD_AT(Rect) + offsetof(RectFields, Plane1) == 60);
static_assert(VORN_FD_AT(Rect) + offsetof(RectFields, Plane2) == 64);
static_assert(VORN_FD_AT(Rect) + offsetof(RectFields, Plane3) == 68);
static_assert(VORN_FD_AT(Rect) + offsetof(RectFields, Format) == 72);
static_assert(VORN_FD_AT(Patch) + offsetof(JpegPatchFields, Width) == 48);
static_assert(VORN_FD_AT(Patch) + offsetof(JpegPatchFields, Height) == 50);
static_assert(VORN_FD_AT(Patch) + offsetof(JpegPatchFields, Stride1) == 52);
static_assert(VORN_FD_AT(Patch) + offsetof(JpegPatchFields, Stride2) == 54);
static_assert(VORN_FD_AT(Patch) + offsetof(JpegPatchFields, Dest1) == 56);
static_assert(VORN_FD_AT(Patch) + offsetof(JpegPatchFields, Dest2) == 60);
static_assert(VORN_FD_AT(Patch) + offsetof(JpegPatchFields, Dest3) == 64);
static_assert(VORN_FD_AT(Patch) + offsetof(JpegPatchFields, Format) == 68);
#undef VORN_FD_AT

enum class FrameDescriptorForm { Full, Rect, Patch, Unknown };

constexpr FrameDescriptorForm FormOfPacketKind(uint32_t kind) {
  switch (kind) {
    case ToWire(FramePacketKind::RectView0):
    case ToWire(FramePacketKind::RectView1): return FrameDescriptorForm::Rect;
    case ToWire(FramePacketKind::FullView0):
    case ToWire(FramePacketKind::FullView1): return FrameDescriptorForm::Full;
    case ToWire(FramePacketKind::JpegPatch): return FrameDescriptorForm::Patch;
    default: return FrameDescriptorForm::Unknown;
  }
}

// Writes |d| as 48 bytes at the start of |out| (pass the message from offset 32). Bytes that
// the packet kind does not name are written as zero. False, with nothing written, when |out|
// is shorter than 48 bytes or the packet kind is not one of 1, 2, 3, 4, 7.
inline bool EncodeFrameDescriptor(const FrameDescriptor& d, MutableByteSpan out) {
  const FrameDescriptorForm form = FormOfPacketKind(d.PacketKind);
  if (out.size() < kFrameDescriptorSize || form == FrameDescriptorForm::Unknown) return false;
  uint8_t* p = out.data();
  std::memset(p, 0, kFrameDescriptorSize);
  StoreLe32(p + 0, d.PacketKind);
  StoreLe32(p + 4, d.PayloadLength);
  StoreLe32(p + 8, d.Sequence);
  StoreLe32(p + 12, d.Layout);
  uint8_t* v = p + 16;
  switch (form) {
    case FrameDescriptorForm::Full:
      StoreLe16(v + 0, d.Full.Stride1);
      StoreLe16(v + 2, d.Full.Stride2);
      StoreLe32(v + 4, d.Full.Plane1);
      StoreLe32(v + 8, d.Full.Plane2);
      StoreLe32(v + 12, d.Full.Plane3);
      StoreLe32(v + 16, d.Full.Format);
      StoreLe16(v + 20, d.Full.OffsetX);
      StoreLe16(v + 22, d.Full.OffsetY);
      StoreLe16(v + 24, d.Full.Width);
      StoreLe16(v + 26, d.Full.Height);
      break;
    case FrameDescriptorForm::Rect:
      StoreLe16(v + 0, d.Rect.X);
      StoreLe16(v + 2, d.Rect.Y);
      StoreLe16(v + 4, d.Rect.Width);
      StoreLe16(v + 6, d.Rect.Height);
      StoreLe16(v + 8, d.Rect.Stride1);
      StoreLe16(v + 10, d.Rect.Stride2);
      StoreLe32(v + 12, d.Rect.Plane1);
      StoreLe32(v + 16, d.Rect.Plane2);
      StoreLe32(v + 20, d.Rect.Plane3);
      StoreLe32(v + 24, d.Rect.Format);
      break;
    case FrameDescriptorForm::Patch:
      StoreLe16(v + 0, d.Patch.Width);
      StoreLe16(v + 2, d.Patch.Height);
      StoreLe16(v + 4, d.Patch.Stride1);
      StoreLe16(v + 6, d.Patch.Stride2);
      StoreLe32(v + 8, d.Patch.Dest1);
      StoreLe32(v + 12, d.Patch.Dest2);
      StoreLe32(v + 16, d.Patch.Dest3);
      StoreLe32(v + 20, d.Patch.Format);
      break;
    case FrameDescriptorForm::Unknown: break;
  }
  p[47] = d.DescriptorFlags;
  return true;
}

// Reads a descriptor from the first 48 bytes of |in| (the message from offset 32), in the form
// its PacketKind selects. False, with |*out| untouched, when |in| is shorter than 48 bytes,
// |out| is null or the packet kind is unknown. Variant bytes the kind does not name are not
// kept; bytes 44-46 are (they should be zero).
inline bool DecodeFrameDescriptor(ByteSpan in, FrameDescriptor* out) {
  if (!out || in.size() < kFrameDescriptorSize) return false;
  const uint8_t* p = in.data();
  const FrameDescriptorForm form = FormOfPacketKind(LoadLe32(p));
  if (form == FrameDescriptorForm::Unknown) return false;
  FrameDescriptor d;
  d.PacketKind = LoadLe32(p + 0);
  d.PayloadLength = LoadLe32(p + 4);
  d.Sequence = LoadLe32(p + 8);
  d.Layout = LoadLe32(p + 12);
  const uint8_t* v = p + 16;
  switch (form) {
    case FrameDescriptorForm::Full:
      d.Full.Stride1 = LoadLe16(v + 0);
      d.Full.Stride2 = LoadLe16(v + 2);
      d.Full.Plane1 = LoadLe32(v + 4);
      d.Full.Plane2 = LoadLe32(v + 8);
      d.Full.Plane3 = LoadLe32(v + 12);
      d.Full.Format = LoadLe32(v + 16);
      d.Full.OffsetX = LoadLe16(v + 20);
      d.Full.OffsetY = LoadLe16(v + 22);
      d.Full.Width = LoadLe16(v + 24);
      d.Full.Height = LoadLe16(v + 26);
      break;
    case FrameDescriptorForm::Rect:
      d.Rect = RectFields{};
      d.Rect.X = LoadLe16(v + 0);
      d.Rect.Y = LoadLe16(v + 2);
      d.Rect.Width = LoadLe16(v + 4);
      d.Rect.Height = LoadLe16(v + 6);
      d.Rect.Stride1 = LoadLe16(v + 8);
      d.Rect.Stride2 = LoadLe16(v + 10);
      d.Rect.Plane1 = LoadLe32(v + 12);
      d.Rect.Plane2 = LoadLe32(v + 16);
      d.Rect.Plane3 = LoadLe32(v + 20);
      d.Rect.Format = LoadLe32(v + 24);
      break;
    case FrameDescriptorForm::Patch:
      d.Patch = JpegPatchFields{};
      d.Patch.Width = LoadLe16(v + 0);
      d.Patch.Height = LoadLe16(v + 2);
      d.Patch.Stride1 = LoadLe16(v + 4);
      d.Patch.Stride2 = LoadLe16(v + 6);
      d.Patch.Dest1 = LoadLe32(v + 8);
      d.Patch.Dest2 = LoadLe32(v + 12);
      d.Patch.Dest3 = LoadLe32(v + 16);
      d.Patch.Format = LoadLe32(v + 20);
      break;
    case FrameDescriptorForm::Unknown: break;
  }
  std::memcpy(d.Reserved, p + 44, sizeof d.Reserved);
  d.DescriptorFlags = p[47];
  *out = d;
  return true;
}

}  // namespace vorn::protocol
