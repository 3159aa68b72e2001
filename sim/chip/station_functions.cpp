#include "sim/chip/station_functions.h"

#include <algorithm>
#include <cstring>

namespace vorn::chip {

StationFunctions::StationFunctions() {
  for (uint32_t j = 0; j < 2; ++j) jack_info_[j][0] = static_cast<uint8_t>(j);
}

void StationFunctions::SetFunction(uint32_t index, uint16_t vendor, uint16_t product,
                                   const std::u16string& text) {
  std::array<uint8_t, kFunctionDescriptorBytes> b{};
  b[0] = vendor & 0xFF;
  b[1] = vendor >> 8;
  b[2] = product & 0xFF;
  b[3] = product >> 8;
  size_t chars = std::min<size_t>(text.size(), (kFunctionDescriptorBytes - 6) / 2);
  for (size_t i = 0; i < chars; ++i) {
    b[4 + 2 * i] = text[i] & 0xFF;
    b[5 + 2 * i] = text[i] >> 8;
  }
  SetFunctionBytes(index, b);
}

void StationFunctions::SetFunctionBytes(uint32_t index,
                                        const std::array<uint8_t, kFunctionDescriptorBytes>& b) {
  std::lock_guard<std::mutex> guard(lock_);
  if (index < kFunctionSlots) functions_[index] = b;
}

void StationFunctions::ClearFunction(uint32_t index) { SetFunctionBytes(index, {}); }

void StationFunctions::SetJack(uint32_t jack, bool present, bool can_report, uint8_t state) {
  std::lock_guard<std::mutex> guard(lock_);
  if (jack > 1) return;
  jack_info_[jack] = {};
  jack_info_[jack][0] = static_cast<uint8_t>(jack);
  jack_info_[jack][1] = can_report ? 1 : 0;
  jack_info_[jack][4] = present ? 1 : 0;
  jack_state_[jack] = {};
  jack_state_[jack][1] = state;
}

void StationFunctions::SetJackPlugged(uint32_t jack, uint8_t state) {
  std::lock_guard<std::mutex> guard(lock_);
  if (jack <= 1) jack_state_[jack][1] = state;
}

bool StationFunctions::Answer(const usb::SetupPacket& s, uint8_t* data, uint32_t length,
                              uint32_t* actual, usb::TransferStatus* status) const {
  const uint8_t* source = nullptr;
  uint32_t size = 0;
  std::lock_guard<std::mutex> guard(lock_);
  switch (s.bRequest) {
    case protocol::ReqReadFunctionInfo:
      if (s.wIndex < kFunctionSlots) source = functions_[s.wIndex].data();
      size = kFunctionDescriptorBytes;
      break;
    case protocol::ReqReadJackInfo:
      if (s.wIndex < 2) source = jack_info_[s.wIndex].data();
      size = kJackReplyBytes;
      break;
    case protocol::ReqReadJackState:
      if (s.wIndex < 2) source = jack_state_[s.wIndex].data();
      size = kJackReplyBytes;
      break;
    default:
      return false;
  }
  if (!source) {
    *status = usb::TransferStatus::kStall;
    *actual = 0;
    return true;
  }
  uint32_t n = std::min(length, size);
  if (data && n) std::memcpy(data, source, n);
  *actual = data ? n : 0;
  *status = usb::TransferStatus::kSuccess;
  return true;
}

}  // namespace vorn::chip
