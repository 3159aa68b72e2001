// The chip's functions as the station discovers them: one 132-byte function descriptor per
// function index (vendor request 0xB1, wIndex the index) and one jack record per audio jack
// (0xA1 the jack information, 0xA4 the jack state, wIndex the jack). Every entry can be
// changed while the station runs; failures of the requests are scripted with the chip's
// request script. Thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/usb/usb_device.h"
#include "protocol/vendor_request.h"

namespace vorn::chip {

constexpr uint32_t kFunctionDescriptorBytes = 132;
constexpr uint32_t kJackReplyBytes = 16;
constexpr uint32_t kFunctionSlots = 10;

class StationFunctions {
 public:
  // Every function absent (vendor id 0), no jack.
  StationFunctions();

  // Function |index|: vendor and product id, then the wide device text from byte 4 (and a
  // third u16 at byte 4 is the text's first character, which discovery tests non-zero).
  void SetFunction(uint32_t index, uint16_t vendor, uint16_t product, const std::u16string& text);
  // The raw 132 bytes of function |index| (for ids such as 0xFFFF).
  void SetFunctionBytes(uint32_t index, const std::array<uint8_t, kFunctionDescriptorBytes>& b);
  void ClearFunction(uint32_t index);

  // Jack |jack| (0 or 1): present with |can_report| (byte 1 bit 0) and a non-zero kind at byte
  // 4; absent answers with a zero kind. |state| is byte 1 of the state reply.
  void SetJack(uint32_t jack, bool present, bool can_report, uint8_t state);
  void SetJackPlugged(uint32_t jack, uint8_t state);

  // True when |s| is one of the three (IN) requests; then |*status| and |*actual| are its answer.
  bool Answer(const usb::SetupPacket& s, uint8_t* data, uint32_t length, uint32_t* actual,
              usb::TransferStatus* status) const;

 private:
  mutable std::mutex lock_;
  std::array<std::array<uint8_t, kFunctionDescriptorBytes>, kFunctionSlots> functions_{};
  std::array<std::array<uint8_t, kJackReplyBytes>, 2> jack_info_{};
  std::array<std::array<uint8_t, kJackReplyBytes>, 2> jack_state_{};
};

}  // namespace vorn::chip
