#include "sim/chip/station_passthrough.h"

#include <algorithm>
#include <cstring>

namespace vorn::chip {
namespace {

uint32_t Key(uint16_t value, uint16_t index) { return uint32_t{value} << 16 | index; }

}  // namespace

std::vector<uint8_t> NsRegisterBytes(const NsRegisters& registers, uint16_t value, uint16_t index,
                                     uint32_t length) {
  auto it = registers.find(Key(value, index));
  if (it != registers.end()) {
    std::vector<uint8_t> bytes = it->second;
    bytes.resize(std::min<size_t>(bytes.size(), length));
    return bytes;
  }
  std::vector<uint8_t> bytes(length);
  for (uint32_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>((value ^ index) + i);
  return bytes;
}

usb::TransferStatus AnswerNsRead(const NsRegisters& registers, const usb::SetupPacket& s,
                                 uint8_t* data, uint32_t length, uint32_t* actual) {
  std::vector<uint8_t> bytes = NsRegisterBytes(registers, s.wValue, s.wIndex, length);
  if (data && !bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  *actual = data ? static_cast<uint32_t>(bytes.size()) : 0;
  return usb::TransferStatus::kSuccess;
}

usb::TransferStatus TakeNsWrite(NsRegisters& registers, const usb::SetupPacket& s,
                                const uint8_t* data, uint32_t length) {
  if (length && !data) return usb::TransferStatus::kStall;
  registers[Key(s.wValue, s.wIndex)].assign(data, data + length);
  return usb::TransferStatus::kSuccess;
}

}  // namespace vorn::chip
