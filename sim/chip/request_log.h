// Every transfer the chip model has answered, in the order it completed them. Tests read it to
// check what the host side sent (request codes, values, data) and how each one ended.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/usb/usb_device.h"

namespace vorn::chip {

struct LoggedRequest {
  uint64_t serial = 0;    // order of submission, from 1
  uint8_t endpoint = 0;   // 0 for the default pipe
  usb::SetupPacket setup{};
  uint32_t length = 0;    // bytes asked for or offered
  uint32_t actual = 0;    // bytes moved
  usb::TransferStatus status = usb::TransferStatus::kPending;
  // OUT control data in full; for bulk transfers only the first kBulkHeadBytes.
  std::vector<uint8_t> data;

  bool IsVendor() const { return endpoint == 0 && (setup.bmRequestType & 0x60) == usb::kTypeVendor; }
};

class RequestLog {
 public:
  static constexpr uint32_t kBulkHeadBytes = 80;

  void Add(LoggedRequest entry);
  std::vector<LoggedRequest> Snapshot() const;
  // Vendor control requests only, in order.
  std::vector<LoggedRequest> VendorRequests() const;
  // The bRequest codes of the vendor control requests, in order.
  std::vector<uint8_t> VendorCodes() const;
  size_t CountVendor(uint8_t code) const;
  size_t CountEndpoint(uint8_t endpoint) const;
  void Clear();

 private:
  mutable std::mutex lock_;
  std::vector<LoggedRequest> entries_;
};

}  // namespace vorn::chip
