// Little-endian access to wire buffers. Every field the device, the station driver and the
// plug-in exchange is little-endian, and no reader here ever touches a byte outside the
// buffer it is given: the bounded forms take a span and an offset and return false, writing
// nothing, when the field does not fit.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace vorn::protocol {

static_assert(std::endian::native == std::endian::little,
              "the records below are laid out for a little-endian host");

using ByteSpan = std::span<const uint8_t>;
using MutableByteSpan = std::span<uint8_t>;

// Views of a raw buffer for the platform code, which hands out pointers and lengths.
inline ByteSpan AsBytes(const void* data, size_t length) {
  return data ? ByteSpan(static_cast<const uint8_t*>(data), length) : ByteSpan();
}
inline MutableByteSpan AsWritableBytes(void* data, size_t length) {
  return data ? MutableByteSpan(static_cast<uint8_t*>(data), length) : MutableByteSpan();
}

// True when |count| bytes starting at |offset| lie inside a buffer of |size| bytes (written so
// that a huge offset cannot wrap around).
constexpr bool Fits(size_t size, size_t offset, size_t count) {
  return offset <= size && count <= size - offset;
}

// Unchecked loads and stores, for code that has checked the length of a fixed record once.
constexpr uint16_t LoadLe16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
constexpr uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
constexpr uint64_t LoadLe64(const uint8_t* p) {
  return static_cast<uint64_t>(LoadLe32(p)) | (static_cast<uint64_t>(LoadLe32(p + 4)) << 32);
}
constexpr void StoreLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
constexpr void StoreLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
constexpr void StoreLe64(uint8_t* p, uint64_t v) {
  StoreLe32(p, static_cast<uint32_t>(v));
  StoreLe32(p + 4, static_cast<uint32_t>(v >> 32));
}

// Bounded reads: false (and |*out| untouched) when the field lies outside |in| or |out| is null.
constexpr bool ReadU8(ByteSpan in, size_t offset, uint8_t* out) {
  if (!out || !Fits(in.size(), offset, 1)) return false;
  *out = in[offset];
  return true;
}
constexpr bool ReadU16(ByteSpan in, size_t offset, uint16_t* out) {
  if (!out || !Fits(in.size(), offset, 2)) return false;
  *out = LoadLe16(in.data() + offset);
  return true;
}
constexpr bool ReadU32(ByteSpan in, size_t offset, uint32_t* out) {
  if (!out || !Fits(in.size(), offset, 4)) return false;
  *out = LoadLe32(in.data() + offset);
  return true;
}
constexpr bool ReadU64(ByteSpan in, size_t offset, uint64_t* out) {
  if (!out || !Fits(in.size(), offset, 8)) return false;
  *out = LoadLe64(in.data() + offset);
  return true;
}
inline bool ReadBytes(ByteSpan in, size_t offset, void* out, size_t count) {
  if ((!out && count) || !Fits(in.size(), offset, count)) return false;
  if (count) std::memcpy(out, in.data() + offset, count);
  return true;
}

// Bounded writes: false (and nothing written) when the field lies outside |out|.
constexpr bool WriteU8(MutableByteSpan out, size_t offset, uint8_t v) {
  if (!Fits(out.size(), offset, 1)) return false;
  out[offset] = v;
  return true;
}
constexpr bool WriteU16(MutableByteSpan out, size_t offset, uint16_t v) {
  if (!Fits(out.size(), offset, 2)) return false;
  StoreLe16(out.data() + offset, v);
  return true;
}
constexpr bool WriteU32(MutableByteSpan out, size_t offset, uint32_t v) {
  if (!Fits(out.size(), offset, 4)) return false;
  StoreLe32(out.data() + offset, v);
  return true;
}
constexpr bool WriteU64(MutableByteSpan out, size_t offset, uint64_t v) {
  if (!Fits(out.size(), offset, 8)) return false;
  StoreLe64(out.data() + offset, v);
  return true;
}
inline bool WriteBytes(MutableByteSpan out, size_t offset, const void* in, size_t count) {
  if ((!in && count) || !Fits(out.size(), offset, count)) return false;
  if (count) std::memcpy(out.data() + offset, in, count);
  return true;
}

}  // namespace vorn::protocol
