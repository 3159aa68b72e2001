// The chip's NS registers as the station's NS vendor requests reach them: a write (0x4C)
// stores its bytes under its wValue and wIndex; a read (0xCC) of any wValue but the
// computer-information block's answers the bytes last written there, and for a pair never
// written counts up from the low byte of wValue ^ wIndex, so every read shows where it went.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "platform/usb/usb_device.h"

namespace vorn::chip {

using NsRegisters = std::map<uint32_t, std::vector<uint8_t>>;

// The bytes a read of |length| at |value|/|index| answers.
std::vector<uint8_t> NsRegisterBytes(const NsRegisters& registers, uint16_t value, uint16_t index,
                                     uint32_t length);

usb::TransferStatus AnswerNsRead(const NsRegisters& registers, const usb::SetupPacket& s,
                                 uint8_t* data, uint32_t length, uint32_t* actual);
usb::TransferStatus TakeNsWrite(NsRegisters& registers, const usb::SetupPacket& s,
                                const uint8_t* data, uint32_t length);

}  // namespace vorn::chip
