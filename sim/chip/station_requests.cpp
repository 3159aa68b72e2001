#include "sim/chip/station_requests.h"

#include <algorithm>
#include <cstring>

#include "protocol/byte_order.h"
#include "protocol/vendor_request.h"

namespace vorn::chip {
namespace {

uint32_t Copy(uint8_t* data, uint32_t length, const uint8_t* from, size_t size) {
  uint32_t n = static_cast<uint32_t>(std::min<size_t>(length, size));
  if (n && data) std::memcpy(data, from, n);
  return data ? n : 0;
}

}  // namespace

usb::TransferStatus AnswerStationDeviceValue(const StationIdentity& id, const usb::SetupPacket& s,
                                             uint8_t* data, uint32_t length, uint32_t* actual) {
  uint8_t bytes[8];
  switch (s.wIndex) {
    case protocol::DeviceValueBootCodeVersion:
      protocol::StoreLe32(bytes, id.boot_code_version);
      *actual = Copy(data, length, bytes, 4);
      return usb::TransferStatus::kSuccess;
    case protocol::DeviceValuePrjCode:
      *actual = Copy(data, length, id.prj_code.data(), id.prj_code.size());
      return usb::TransferStatus::kSuccess;
    case protocol::DeviceValueDeviceId:
      for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(id.device_id >> (8 * i));
      *actual = Copy(data, length, bytes, sizeof bytes);
      return usb::TransferStatus::kSuccess;
    default:
      return usb::TransferStatus::kStall;
  }
}

usb::TransferStatus AnswerStationRequestIn(const StationIdentity& id, const usb::SetupPacket& s,
                                           uint8_t* data, uint32_t length, uint32_t* actual) {
  if (s.bRequest == protocol::ReqReadRomSize) {
    uint8_t answer[4] = {id.rom_size_mib, 0, 0, 0};
    *actual = Copy(data, length, answer, sizeof answer);
    return usb::TransferStatus::kSuccess;
  }
  return usb::TransferStatus::kStall;
}

}  // namespace vorn::chip
