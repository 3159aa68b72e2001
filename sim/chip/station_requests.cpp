#include "sim/chip/station_requests.h"

#include <algorithm>
#include <cstring>

#include "protocol/byte_order.h"
#include "protocol/vendor_request.h"

namespace vorn::chip {
namespace {

constexpr uint16_t kComputerInfoValue = 1;

uint32_t Copy(uint8_t* data, uint32_t length, const uint8_t* from, size_t size) {
  uint32_t n = static_cast<uint32_t>(std::min<size_t>(length, size));
  if (n && data) std::memcpy(data, from, n);
  return data ? n : 0;
}

}  // namespace

std::vector<uint8_t> MakeComputerInfo(uint16_t version, uint64_t host_id, uint16_t monitors) {
  std::vector<uint8_t> block(kComputerInfoBytes, 0);
  protocol::StoreLe16(block.data(), version);
  protocol::StoreLe64(block.data() + 4, host_id);
  protocol::StoreLe16(block.data() + 32, monitors);
  return block;
}

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
      protocol::StoreLe64(bytes, id.device_id);
      *actual = Copy(data, length, bytes, sizeof bytes);
      return usb::TransferStatus::kSuccess;
    case protocol::DeviceValueThirdPartyVersion:
      protocol::StoreLe32(bytes, id.third_party_version);
      *actual = Copy(data, length, bytes, 4);
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
  if (s.bRequest == protocol::ReqNsRead && s.wValue == kComputerInfoValue &&
      !id.computer_info.empty()) {
    *actual = Copy(data, length, id.computer_info.data(), id.computer_info.size());
    return usb::TransferStatus::kSuccess;
  }
  if (s.bRequest == protocol::ReqNsRead && s.wValue != kComputerInfoValue)
    return AnswerNsRead(id.ns_registers, s, data, length, actual);
  return usb::TransferStatus::kStall;
}

usb::TransferStatus AnswerStationRequestOut(StationIdentity& id, const usb::SetupPacket& s,
                                            const uint8_t* data, uint32_t length) {
  if (s.bRequest == protocol::ReqWriteDeviceId && data && length == 8) {
    uint64_t written = 0;
    for (int i = 0; i < 8; ++i) written |= uint64_t{data[i]} << (8 * i);
    id.device_id = written ^ id.device_id_write_skew;
    return usb::TransferStatus::kSuccess;
  }
  if (s.bRequest == protocol::ReqNsWrite) return TakeNsWrite(id.ns_registers, s, data, length);
  return usb::TransferStatus::kStall;
}

}  // namespace vorn::chip
