// The standard descriptors of a simulated adapter, built once from its profile and served to
// GET_DESCRIPTOR requests: device, configuration (one vendor-class interface with bulk IN 0x81,
// bulk OUT 0x02, interrupt IN 0x83 of 64 bytes and optionally bulk OUT 0x04; SuperSpeed
// companions on USB 3), BOS on USB 3, and the string descriptors.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/chip/chip_profile.h"

namespace vorn::chip {

constexpr uint8_t kEndpointBulkIn = 0x81;
constexpr uint8_t kEndpointBulkOut = 0x02;
constexpr uint8_t kEndpointInterrupt = 0x83;
constexpr uint8_t kEndpointIpBulkOut = 0x04;
constexpr uint16_t kInterruptPacketSize = 64;
constexpr uint16_t kLanguageEnglishUs = 0x0409;

constexpr uint8_t kStringManufacturer = 1;
constexpr uint8_t kStringProduct = 2;
constexpr uint8_t kStringSerial = 3;

class DescriptorSet {
 public:
  explicit DescriptorSet(const ChipProfile& profile);

  // The descriptor for GET_DESCRIPTOR (wValue high byte |type|, low byte |index|, wIndex
  // |language|); false when the chip has none (the request stalls).
  bool Get(uint8_t type, uint8_t index, uint16_t language, std::vector<uint8_t>* out) const;

  const std::vector<uint8_t>& device() const { return device_; }
  const std::vector<uint8_t>& configuration() const { return configuration_; }

 private:
  std::vector<uint8_t> device_;
  std::vector<uint8_t> configuration_;
  std::vector<uint8_t> bos_;
  std::vector<std::vector<uint8_t>> strings_;  // index 0 is the language list
};

}  // namespace vorn::chip
