// What the chip tells the station driver beyond what the display plug-in asks for: the
// firmware identity items of the device value request that only the station reads (boot code
// version, project code, device id, third-party version), the ROM size, the device id write
// and the NS computer-information block.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "platform/usb/usb_device.h"
#include "sim/chip/station_passthrough.h"

namespace vorn::chip {

constexpr uint32_t kComputerInfoBytes = 104;

// A computer-information block as the NS read returns it: version |version| at byte 0, the
// 8-byte host id at 4-11 and a non-zero u16 at 32. The station accepts it when the version is
// at least 0x0102, the id is not zero and the u16 at 32 is not zero.
std::vector<uint8_t> MakeComputerInfo(uint16_t version, uint64_t host_id = 0x1122334455667788ull,
                                      uint16_t monitors = 2);

struct StationIdentity {
  uint32_t boot_code_version = 0x0203;
  std::array<uint8_t, 16> prj_code = {'V', 'S', '3', '0', '0', '0'};
  uint64_t device_id = 0x0012345678ABCDEFull;
  uint32_t third_party_version = 0x00010004;  // device value item 6
  uint8_t rom_size_mib = 8;                   // answered as byte 0 of the ROM size request
  // A device id write stores the written id XOR this: non-zero makes the chip read back an id
  // other than the one written, as a chip whose id store failed would.
  uint64_t device_id_write_skew = 0;
  // The NS read's answer (wValue 1); empty (the default: no NS host) stalls it.
  std::vector<uint8_t> computer_info;
  // What the NS reads and writes of other values reach (sim/chip/station_passthrough.h).
  NsRegisters ns_registers;
};

// Answers a device value item the profile's device_values do not hold: items 1, 3, 5 and 6.
// kStall for any other item.
usb::TransferStatus AnswerStationDeviceValue(const StationIdentity& id, const usb::SetupPacket& s,
                                             uint8_t* data, uint32_t length, uint32_t* actual);

// Answers an IN vendor request of the station's own (the ROM size, the NS read); kStall for
// other codes.
usb::TransferStatus AnswerStationRequestIn(const StationIdentity& id, const usb::SetupPacket& s,
                                           uint8_t* data, uint32_t length, uint32_t* actual);

// Takes an OUT vendor request of the station's own (the device id write, exactly 8 bytes);
// kStall for other codes or a write of another length.
usb::TransferStatus AnswerStationRequestOut(StationIdentity& id, const usb::SetupPacket& s,
                                            const uint8_t* data, uint32_t length);

}  // namespace vorn::chip
