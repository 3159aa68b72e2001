// What the chip tells the station driver beyond what the display plug-in asks for: the
// firmware identity items of the device value request that only the station reads (boot code
// version, project code, device id) and the ROM size.
#pragma once

#include <array>
#include <cstdint>

#include "platform/usb/usb_device.h"

namespace vorn::chip {

struct StationIdentity {
  uint32_t boot_code_version = 0x0203;
  std::array<uint8_t, 16> prj_code = {'V', 'S', '3', '0', '0', '0'};
  uint64_t device_id = 0x0012345678ABCDEFull;
  uint8_t rom_size_mib = 8;  // answered as byte 0 of the ROM size request
};

// Answers a device value item the profile's device_values do not hold: items 1, 3 and 5.
// kStall for any other item.
usb::TransferStatus AnswerStationDeviceValue(const StationIdentity& id, const usb::SetupPacket& s,
                                             uint8_t* data, uint32_t length, uint32_t* actual);

// Answers an IN vendor request of the station's own (the ROM size); kStall for other codes.
usb::TransferStatus AnswerStationRequestIn(const StationIdentity& id, const usb::SetupPacket& s,
                                           uint8_t* data, uint32_t length, uint32_t* actual);

}  // namespace vorn::chip
