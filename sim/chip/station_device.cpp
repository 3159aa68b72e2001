#include "sim/chip/station_device.h"

#include <algorithm>
#include <cstring>

namespace vorn::chip {

void StationDevice::ReplaceDescriptor(uint8_t type, uint8_t index, std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> guard(lock_);
  replaced_[static_cast<uint16_t>(type << 8 | index)] = std::move(bytes);
}

std::vector<uint8_t> StationDevice::MakeConfiguration(const std::vector<Interface>& interfaces,
                                                      uint8_t attributes) {
  constexpr uint8_t kClassVendor = 0xFF;
  std::vector<uint8_t> body;
  for (const Interface& i : interfaces) {
    body.insert(body.end(), {9, usb::kDescriptorInterface, i.number, 0,
                             static_cast<uint8_t>(i.endpoints.size()), kClassVendor, 0, 0, 0});
    for (auto [address, type] : i.endpoints) {
      uint16_t packet = type == 3 ? 64 : 512;
      body.insert(body.end(), {7, usb::kDescriptorEndpoint, address, type,
                               static_cast<uint8_t>(packet & 0xFF), static_cast<uint8_t>(packet >> 8),
                               static_cast<uint8_t>(type == 3 ? 4 : 0)});
    }
  }
  uint16_t total = static_cast<uint16_t>(9 + body.size());
  const uint8_t head[9] = {9, usb::kDescriptorConfiguration, static_cast<uint8_t>(total & 0xFF),
                           static_cast<uint8_t>(total >> 8),
                           static_cast<uint8_t>(interfaces.size()), 1, 0, attributes, 0x32};
  std::vector<uint8_t> out(total);
  std::copy(head, head + 9, out.begin());
  std::copy(body.begin(), body.end(), out.begin() + 9);
  return out;
}

void StationDevice::Submit(usb::Transfer& t) {
  const usb::SetupPacket& s = t.setup;
  if (t.endpoint == 0 && s.bmRequestType == (usb::kDirIn | usb::kTypeStandard) &&
      s.bRequest == usb::kRequestGetDescriptor) {
    std::vector<uint8_t> bytes;
    bool found = false;
    {
      std::lock_guard<std::mutex> guard(lock_);
      auto it = replaced_.find(s.wValue);
      if (it != replaced_.end()) {
        bytes = it->second;
        found = true;
      }
    }
    if (found && chip_.Connected()) {
      uint32_t n = std::min<uint32_t>({t.length, s.wLength, static_cast<uint32_t>(bytes.size())});
      if (t.buffer && n) std::memcpy(t.buffer, bytes.data(), n);
      t.actual = t.buffer ? n : 0;
      t.status = usb::TransferStatus::kSuccess;
      t.complete(t);
      return;
    }
  }
  chip_.Submit(t);
}

}  // namespace vorn::chip
