// INT_IN_PACKET: the device's 64-byte message on its interrupt IN endpoint. The plug-in reads
// the display fields (frame acknowledgements, monitor changes, refresh requests); the station
// reads all of them (user events, bulk-IN announcements, jack state, ROM results).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "protocol/byte_order.h"

namespace vorn::protocol {

inline constexpr size_t kIntInPacketSize = 64;

// PacketFlags bits.
inline constexpr uint8_t kPacketFlagDisplay = 1u << 2;      // a display message
inline constexpr uint8_t kPacketFlagStatusValid = 1u << 5;  // StatusWord is valid
inline constexpr uint8_t kPacketFlagSystem = 1u << 7;       // a system message carrying RomStatus

// EventBits bits, in the order the plug-in tests them (the first match wins): frame
// acknowledged, else monitor status of view 0 or 1 changed, else refresh requested. In NS mode
// the station reads bits 0 and 1 as the two user events.
inline constexpr uint8_t kEventFrameAck = 1u << 2;
inline constexpr uint8_t kEventMonitorStatus0 = 1u << 0;
inline constexpr uint8_t kEventMonitorStatus1 = 1u << 1;
inline constexpr uint8_t kEventRefresh = 1u << 4;

// StatusWord: bit 31 announces one waiting bulk-IN message; bits 24-30 masked with 0x47 are the
// audio jack state.
inline constexpr uint32_t kStatusBulkInWaiting = 0x80000000u;
inline constexpr uint8_t kJackStateMask = 0x47;
constexpr uint8_t JackStateOfStatusWord(uint32_t statusWord) {
  return static_cast<uint8_t>((statusWord >> 24) & kJackStateMask);
}

// RomReplyKind of a ROM burn result, and the RomStatus that ends a panel save.
inline constexpr uint8_t kRomReplyBurnResult = 5;
inline constexpr uint8_t kRomStatusPanelSaveDone = 5;

struct INT_IN_PACKET {
  uint8_t PacketFlags = 0;
  uint8_t Reserved1[11] = {};
  uint32_t AckSequence = 0;  // FrameDescriptor::Sequence of the frame the device is done with
  uint8_t Reserved16[3] = {};
  uint8_t EventBits = 0;
  uint8_t Reserved20[12] = {};
  uint32_t StatusWord = 0;
  uint8_t Reserved36[8] = {};
  uint8_t RomStatus = 0;
  uint8_t Reserved45[2] = {};
  uint8_t RomReplyKind = 0;
  uint32_t RomValue = 0;  // ROM bytes processed
  uint8_t Reserved52[12] = {};
};
static_assert(sizeof(INT_IN_PACKET) == kIntInPacketSize);
static_assert(offsetof(INT_IN_PACKET, PacketFlags) == 0);
static_assert(offsetof(INT_IN_PACKET, Reserved1) == 1);
static_assert(offsetof(INT_IN_PACKET, AckSequence) == 12);
static_assert(offsetof(INT_IN_PACKET, Reserved16) == 16);
static_assert(offsetof(INT_IN_PACKET, EventBits) == 19);
static_assert(offsetof(INT_IN_PACKET, Reserved20) == 20);
static_assert(offsetof(INT_IN_PACKET, StatusWord) == 32);
static_assert(offsetof(INT_IN_PACKET, Reserved36) == 36);
static_assert(offsetof(INT_IN_PACKET, RomStatus) == 44);
static_assert(offsetof(INT_IN_PACKET, Reserved45) == 45);
static_assert(offsetof(INT_IN_PACKET, RomReplyKind) == 47);
static_assert(offsetof(INT_IN_PACKET, RomValue) == 48);
static_assert(offsetof(INT_IN_PACKET, Reserved52) == 52);

// Parses one packet. |in| must be exactly the bytes received: a completion of any length
// other than 64 is a fault of the device or the layer below and is not a packet. False, with
// |*out| untouched, in that case or when |out| is null. The bytes this system does not read
// are kept, so a packet re-encodes to the same 64 bytes.
inline bool DecodeIntInPacket(ByteSpan in, INT_IN_PACKET* out) {
  if (!out || in.size() != kIntInPacketSize) return false;
  const uint8_t* p = in.data();
  INT_IN_PACKET k;
  k.PacketFlags = p[0];
  std::memcpy(k.Reserved1, p + 1, sizeof k.Reserved1);
  k.AckSequence = LoadLe32(p + 12);
  std::memcpy(k.Reserved16, p + 16, sizeof k.Reserved16);
  k.EventBits = p[19];
  std::memcpy(k.Reserved20, p + 20, sizeof k.Reserved20);
  k.StatusWord = LoadLe32(p + 32);
  std::memcpy(k.Reserved36, p + 36, sizeof k.Reserved36);
  k.RomStatus = p[44];
  std::memcpy(k.Reserved45, p + 45, sizeof k.Reserved45);
  k.RomReplyKind = p[47];
  k.RomValue = LoadLe32(p + 48);
  std::memcpy(k.Reserved52, p + 52, sizeof k.Reserved52);
  *out = k;
  return true;
}

// Writes |k| as 64 bytes at the start of |out|. False, with nothing written, when |out| is
// shorter than 64 bytes.
inline bool EncodeIntInPacket(const INT_IN_PACKET& k, MutableByteSpan out) {
  if (out.size() < kIntInPacketSize) return false;
  uint8_t* p = out.data();
  p[0] = k.PacketFlags;
  std::memcpy(p + 1, k.Reserved1, sizeof k.Reserved1);
  StoreLe32(p + 12, k.AckSequence);
  std::memcpy(p + 16, k.Reserved16, sizeof k.Reserved16);
  p[19] = k.EventBits;
  std::memcpy(p + 20, k.Reserved20, sizeof k.Reserved20);
  StoreLe32(p + 32, k.StatusWord);
  std::memcpy(p + 36, k.Reserved36, sizeof k.Reserved36);
  p[44] = k.RomStatus;
  std::memcpy(p + 45, k.Reserved45, sizeof k.Reserved45);
  p[47] = k.RomReplyKind;
  StoreLe32(p + 48, k.RomValue);
  std::memcpy(p + 52, k.Reserved52, sizeof k.Reserved52);
  return true;
}

}  // namespace vorn::protocol
