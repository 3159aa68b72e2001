#include "sim/chip/descriptors.h"

#include "platform/usb/usb_device.h"

namespace vorn::chip {
namespace {

constexpr uint8_t kClassVendor = 0xFF;
constexpr uint8_t kAttrBulk = 0x02;
constexpr uint8_t kAttrInterrupt = 0x03;
constexpr uint8_t kBosCapability = 0x10;
constexpr uint8_t kCapUsb2Extension = 0x02;
constexpr uint8_t kCapSuperSpeed = 0x03;
constexpr size_t kMaxStringChars = 126;  // bLength is one byte

void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(x & 0xFF);
  v.push_back(x >> 8);
}

void AddEndpoint(std::vector<uint8_t>& v, bool usb3, uint8_t address, uint8_t attributes,
                 uint16_t max_packet, uint8_t interval) {
  v.insert(v.end(), {7, usb::kDescriptorEndpoint, address, attributes});
  Put16(v, max_packet);
  v.push_back(interval);
  if (usb3) {
    v.insert(v.end(), {6, usb::kDescriptorSsEndpointCompanion, 0, 0});
    Put16(v, attributes == kAttrInterrupt ? max_packet : 0);
  }
}

std::vector<uint8_t> StringDescriptor(const std::u16string& text) {
  size_t n = text.size() < kMaxStringChars ? text.size() : kMaxStringChars;
  std::vector<uint8_t> v;
  v.push_back(static_cast<uint8_t>(2 + 2 * n));
  v.push_back(usb::kDescriptorString);
  for (size_t i = 0; i < n; ++i) Put16(v, static_cast<uint16_t>(text[i]));
  return v;
}

}  // namespace

DescriptorSet::DescriptorSet(const ChipProfile& p) {
  const bool usb3 = p.bcd_usb >= 0x0300;
  device_ = {18, usb::kDescriptorDevice};
  Put16(device_, p.bcd_usb);
  device_.insert(device_.end(), {kClassVendor, 0, 0, static_cast<uint8_t>(usb3 ? 9 : 64)});
  Put16(device_, p.vendor_id);
  Put16(device_, p.product_id);
  Put16(device_, p.bcd_device);
  device_.insert(device_.end(), {kStringManufacturer,
                                 static_cast<uint8_t>(p.has_product_string ? kStringProduct : 0),
                                 kStringSerial, 1});

  const uint16_t bulk_packet = usb3 ? 1024 : 512;
  std::vector<uint8_t> body;
  uint8_t endpoints = p.has_ip_endpoint ? 4 : 3;
  body.insert(body.end(), {9, usb::kDescriptorInterface, 0, 0, endpoints, kClassVendor, 0, 0, 0});
  AddEndpoint(body, usb3, kEndpointBulkIn, kAttrBulk, bulk_packet, 0);
  AddEndpoint(body, usb3, kEndpointBulkOut, kAttrBulk, bulk_packet, 0);
  AddEndpoint(body, usb3, kEndpointInterrupt, kAttrInterrupt, kInterruptPacketSize, usb3 ? 4 : 4);
  if (p.has_ip_endpoint) AddEndpoint(body, usb3, kEndpointIpBulkOut, kAttrBulk, bulk_packet, 0);
  configuration_ = {9, usb::kDescriptorConfiguration};
  Put16(configuration_, static_cast<uint16_t>(9 + body.size()));
  configuration_.insert(configuration_.end(),
                        {1, 1, 0, static_cast<uint8_t>(p.self_powered ? 0xC0 : 0x80), 0x32});
  configuration_.insert(configuration_.end(), body.begin(), body.end());

  if (usb3) {
    std::vector<uint8_t> caps = {7, kBosCapability, kCapUsb2Extension, 0x02, 0, 0, 0};
    caps.insert(caps.end(), {10, kBosCapability, kCapSuperSpeed, 0});
    Put16(caps, 0x000E);  // full, high and super speed
    caps.insert(caps.end(), {1, 10});
    Put16(caps, 32);
    bos_ = {5, usb::kDescriptorBos};
    Put16(bos_, static_cast<uint16_t>(5 + caps.size()));
    bos_.push_back(2);
    bos_.insert(bos_.end(), caps.begin(), caps.end());
  }

  strings_.push_back({4, usb::kDescriptorString, kLanguageEnglishUs & 0xFF, kLanguageEnglishUs >> 8});
  strings_.push_back(StringDescriptor(p.manufacturer));
  strings_.push_back(p.has_product_string ? StringDescriptor(p.product) : std::vector<uint8_t>{});
  strings_.push_back(StringDescriptor(p.serial));
}

bool DescriptorSet::Get(uint8_t type, uint8_t index, uint16_t language,
                        std::vector<uint8_t>* out) const {
  switch (type) {
    case usb::kDescriptorDevice:
      *out = device_;
      return true;
    case usb::kDescriptorConfiguration:
      if (index != 0) return false;
      *out = configuration_;
      return true;
    case usb::kDescriptorBos:
      if (bos_.empty()) return false;
      *out = bos_;
      return true;
    case usb::kDescriptorString:
      if (index >= strings_.size() || strings_[index].empty()) return false;
      if (index != 0 && language != kLanguageEnglishUs) return false;
      *out = strings_[index];
      return true;
    default:
      return false;
  }
}

}  // namespace vorn::chip
