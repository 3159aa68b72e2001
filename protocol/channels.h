// BusChannel: the ten channels the station's bulk pipes sort messages into, and the map from a
// message's BusMessageHeader::Type to its channel. The bulk-OUT and the bulk-IN pipe share it.
#pragma once

#include <cstdint>

#include "protocol/bus_message.h"

namespace vorn::protocol {

inline constexpr uint32_t kBusChannelCount = 10;
// What MessageTypeToChannel gives for a type that no channel carries; every user treats it
// (and any value of kBusChannelCount or more) as no channel.
inline constexpr uint32_t kNoBusChannel = 0x7FFFFFFF;
// A slice size of this value means unlimited: the message goes out whole.
inline constexpr uint32_t kUnlimitedSliceSize = 0x7FFFFFFF;

enum class BusChannel : uint32_t {
  Display = 0,
  Unused1 = 1,
  Network = 2,
  Audio = 3,
  Camera = 4,
  Rom = 5,
  Storage = 6,
  Nv12 = 7,
  Microphone = 8,
  Unused9 = 9,
};

constexpr uint32_t ToWire(BusChannel c) { return static_cast<uint32_t>(c); }

// The channel of a message type. The microphone type 0x83 shares the audio channel unless the
// station runs the microphone as a child of its own (StandaloneMic set).
constexpr uint32_t MessageTypeToChannel(uint32_t type, bool standaloneMic) {
  switch (type) {
    case ToWire(BusMessageType::Display): return ToWire(BusChannel::Display);
    case ToWire(BusMessageType::Network): return ToWire(BusChannel::Network);
    case ToWire(BusMessageType::Audio): return ToWire(BusChannel::Audio);
    case ToWire(BusMessageType::Camera): return ToWire(BusChannel::Camera);
    case ToWire(BusMessageType::Rom):
    case ToWire(BusMessageType::RomReply): return ToWire(BusChannel::Rom);
    case ToWire(BusMessageType::Storage): return ToWire(BusChannel::Storage);
    case ToWire(BusMessageType::TwoPlane): return ToWire(BusChannel::Nv12);
    case ToWire(BusMessageType::Microphone):
      return standaloneMic ? ToWire(BusChannel::Microphone) : ToWire(BusChannel::Audio);
    default: return kNoBusChannel;
  }
}

constexpr bool IsBusChannel(uint32_t channel) { return channel < kBusChannelCount; }

// The per-channel settings a station starts from before its registry values are read.
struct BusChannelDefaults {
  uint32_t MaxSliceSizeHS;  // slice limit below bcdUSB 0x0300
  uint32_t MaxSliceSizeSS;  // slice limit at bcdUSB 0x0300 and above
  uint8_t PriorityLevel;    // queue 0-4; 4 is served first
};

inline constexpr BusChannelDefaults kBusChannelDefaults[kBusChannelCount] = {
    {25600, 102400, 2},                              // 0 display
    {25600, 102400, 1},                              // 1
    {25600, 102400, 1},                              // 2 network
    {kUnlimitedSliceSize, kUnlimitedSliceSize, 4},   // 3 audio
    {25600, 102400, 1},                              // 4 camera
    {kUnlimitedSliceSize, kUnlimitedSliceSize, 1},   // 5 rom
    {kUnlimitedSliceSize, kUnlimitedSliceSize, 1},   // 6 storage
    {kUnlimitedSliceSize, kUnlimitedSliceSize, 3},   // 7 nv12
    {kUnlimitedSliceSize, kUnlimitedSliceSize, 4},   // 8 microphone
    {kUnlimitedSliceSize, kUnlimitedSliceSize, 1},   // 9
};

}  // namespace vorn::protocol
