// BusMessageHeader: the 32-byte header in front of every message on the bulk pipes, in both
// directions and from every producer (display frames and patches, audio, ROM blocks and
// replies, messages from user mode).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "protocol/byte_order.h"

namespace vorn::protocol {

// The values of BusMessageHeader::Type in use. Types 1 and 8 exist in the code space but no
// channel carries them (see channels.h).
enum class BusMessageType : uint32_t {
  Display = 0,       // a FrameDescriptor follows, then the pixel or JPEG payload
  Network = 2,
  Audio = 3,         // PCM render data to the device, captured data from it
  Camera = 4,
  Rom = 5,           // a ROM image block; the ROM fields ride in the type-specific bytes
  Storage = 6,
  TwoPlane = 7,      // a two-plane rectangle write into a frame already in device memory
  Microphone = 0x83,
  RomReply = 0x85,   // a ROM read reply from the device
};

constexpr uint32_t ToWire(BusMessageType t) { return static_cast<uint32_t>(t); }

inline constexpr size_t kBusMessageHeaderSize = 32;

// Bytes 12-23 of a header of any type but 7: the slice a header describes. The two forms of
// bytes 12-23 are plain structs so that they can share a union; BusMessageHeader zero-fills it.
struct BusSliceFields {
  uint32_t SliceLength;  // payload bytes carried by this slice
  uint32_t SliceOffset;  // offset of this slice in the payload
  uint8_t MoreSlices;    // 1 while further slices follow, 0 on the last
  uint8_t Reserved[3];   // zero; the slicing below a producer passes them on untouched
};
static_assert(sizeof(BusSliceFields) == 12);
static_assert(offsetof(BusSliceFields, SliceLength) == 0);
static_assert(offsetof(BusSliceFields, SliceOffset) == 4);
static_assert(offsetof(BusSliceFields, MoreSlices) == 8);
static_assert(offsetof(BusSliceFields, Reserved) == 9);

// Bytes 12-23 of a type-7 header: where plane B starts and how both planes are laid out.
// The payload is Height rows of Width bytes for plane A, then Height / 2 rows for plane B.
struct BusTwoPlaneFields {
  uint32_t AddressB;  // device address of plane B's first row
  uint16_t StrideA;   // row stride of plane A in device memory
  uint16_t StrideB;   // row stride of plane B in device memory
  uint16_t Width;     // bytes per row of both planes
  uint16_t Height;    // rows of plane A
};
static_assert(sizeof(BusTwoPlaneFields) == 12);
static_assert(offsetof(BusTwoPlaneFields, AddressB) == 0);
static_assert(offsetof(BusTwoPlaneFields, StrideA) == 4);
static_assert(offsetof(BusTwoPlaneFields, StrideB) == 6);
static_assert(offsetof(BusTwoPlaneFields, Width) == 8);
static_assert(offsetof(BusTwoPlaneFields, Height) == 10);

// Only type 7 carries the two-plane form; every other type, known or not, the slice form.
constexpr bool IsTwoPlaneType(uint32_t type) { return type == ToWire(BusMessageType::TwoPlane); }

struct BusMessageHeader {
  uint32_t Type = 0;         // a BusMessageType value
  uint32_t TotalLength = 0;  // payload bytes of the whole message after the header
  uint32_t Address = 0;      // device frame-memory address (0 in ROM messages)
  union {
    BusSliceFields Slice{};      // every type but 7
    BusTwoPlaneFields TwoPlane;  // type 7
  };
  uint8_t TypeSpecific[8] = {};  // zero for types 0 and 7; the ROM fields for types 5, 0x85
};
static_assert(sizeof(BusMessageHeader) == kBusMessageHeaderSize);
static_assert(offsetof(BusMessageHeader, Type) == 0);
static_assert(offsetof(BusMessageHeader, TotalLength) == 4);
static_assert(offsetof(BusMessageHeader, Address) == 8);
static_assert(offsetof(BusMessageHeader, Slice) + offsetof(BusSliceFields, SliceLength) == 12);
static_assert(offsetof(BusMessageHeader, Slice) + offsetof(BusSliceFields, SliceOffset) == 16);
static_assert(offsetof(BusMessageHeader, Slice) + offsetof(BusSliceFields, MoreSlices) == 20);
static_assert(offsetof(BusMessageHeader, Slice) + offsetof(BusSliceFields, Reserved) == 21);
static_assert(offsetof(BusMessageHeader, TwoPlane) + offsetof(BusTwoPlaneFields, AddressB) == 12);
static_assert(offsetof(BusMessageHeader, TwoPlane) + offsetof(BusTwoPlaneFields, StrideA) == 16);
static_assert(offsetof(BusMessageHeader, TwoPlane) + offsetof(BusTwoPlaneFields, StrideB) == 18);
static_assert(offsetof(BusMessageHeader, TwoPlane) + offsetof(BusTwoPlaneFields, Width) == 20);
static_assert(offsetof(BusMessageHeader, TwoPlane) + offsetof(BusTwoPlaneFields, Height) == 22);
static_assert(offsetof(BusMessageHeader, TypeSpecific) == 24);

// Writes |h| as the 32 wire bytes at the start of |out|; the form of bytes 12-23 follows
// h.Type. False, with nothing written, when |out| is shorter than 32 bytes.
inline bool EncodeBusMessageHeader(const BusMessageHeader& h, MutableByteSpan out) {
  if (out.size() < kBusMessageHeaderSize) return false;
  uint8_t* p = out.data();
  StoreLe32(p + 0, h.Type);
  StoreLe32(p + 4, h.TotalLength);
  StoreLe32(p + 8, h.Address);
  if (IsTwoPlaneType(h.Type)) {
    StoreLe32(p + 12, h.TwoPlane.AddressB);
    StoreLe16(p + 16, h.TwoPlane.StrideA);
    StoreLe16(p + 18, h.TwoPlane.StrideB);
    StoreLe16(p + 20, h.TwoPlane.Width);
    StoreLe16(p + 22, h.TwoPlane.Height);
  } else {
    StoreLe32(p + 12, h.Slice.SliceLength);
    StoreLe32(p + 16, h.Slice.SliceOffset);
    p[20] = h.Slice.MoreSlices;
    std::memcpy(p + 21, h.Slice.Reserved, sizeof h.Slice.Reserved);
  }
  std::memcpy(p + 24, h.TypeSpecific, sizeof h.TypeSpecific);
  return true;
}

// Reads a header from the first 32 bytes of |in|, in the form its Type selects. False, with
// |*out| untouched, when |in| is shorter than 32 bytes or |out| is null.
inline bool DecodeBusMessageHeader(ByteSpan in, BusMessageHeader* out) {
  if (!out || in.size() < kBusMessageHeaderSize) return false;
  const uint8_t* p = in.data();
  BusMessageHeader h;
  h.Type = LoadLe32(p + 0);
  h.TotalLength = LoadLe32(p + 4);
  h.Address = LoadLe32(p + 8);
  if (IsTwoPlaneType(h.Type)) {
    h.TwoPlane = BusTwoPlaneFields{};
    h.TwoPlane.AddressB = LoadLe32(p + 12);
    h.TwoPlane.StrideA = LoadLe16(p + 16);
    h.TwoPlane.StrideB = LoadLe16(p + 18);
    h.TwoPlane.Width = LoadLe16(p + 20);
    h.TwoPlane.Height = LoadLe16(p + 22);
  } else {
    h.Slice.SliceLength = LoadLe32(p + 12);
    h.Slice.SliceOffset = LoadLe32(p + 16);
    h.Slice.MoreSlices = p[20];
    std::memcpy(h.Slice.Reserved, p + 21, sizeof h.Slice.Reserved);
  }
  std::memcpy(h.TypeSpecific, p + 24, sizeof h.TypeSpecific);
  *out = h;
  return true;
}

}  // namespace vorn::protocol
