// An adapter whose descriptors differ from the chip model's standard ones: the station
// driver's tests put other configurations (more pipes, gaps in the interface numbers, remote
// wake-up) and malformed string descriptors in front of a real chip. Descriptor reads that
// have a replacement are answered here; everything else goes to the chip.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "platform/usb/usb_device.h"

namespace vorn::chip {

class StationDevice : public usb::UsbDevice {
 public:
  explicit StationDevice(usb::UsbDevice& chip) : chip_(chip) {}

  // Replacements, keyed by descriptor type << 8 | index. Set them before the device is
  // attached.
  void ReplaceDescriptor(uint8_t type, uint8_t index, std::vector<uint8_t> bytes);

  // A configuration descriptor set of one vendor interface per entry of |interfaces| (its
  // interface number and its endpoints as address, attributes pairs), bmAttributes
  // |attributes|. bNumInterfaces is the number of entries.
  struct Interface {
    uint8_t number;
    std::vector<std::pair<uint8_t, uint8_t>> endpoints;
  };
  static std::vector<uint8_t> MakeConfiguration(const std::vector<Interface>& interfaces,
                                                uint8_t attributes = 0x80);

  void Submit(usb::Transfer& t) override;
  bool Cancel(usb::Transfer& t) override { return chip_.Cancel(t); }
  void ResetEndpoint(uint8_t endpoint) override { chip_.ResetEndpoint(endpoint); }
  bool Connected() const override { return chip_.Connected(); }

 private:
  usb::UsbDevice& chip_;
  std::mutex lock_;
  std::map<uint16_t, std::vector<uint8_t>> replaced_;
};

}  // namespace vorn::chip
