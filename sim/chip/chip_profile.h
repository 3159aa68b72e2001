// What a simulated adapter is: its USB face, the values its firmware reports, its memory and
// the monitors on its outputs. Tests start from one of the standard profiles and change the
// fields their case needs.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/chip/station_requests.h"

namespace vorn::chip {

constexpr uint32_t kCapabilityMagic = 0x50534944;  // "DISP"

// Items of the device value request.
constexpr uint16_t kDeviceValueHwPlatform = 0;
constexpr uint16_t kDeviceValueImageCode = 2;
constexpr uint16_t kDeviceValueCmdVersion = 4;

// A view descriptor: low nibble the view type (0 = no view), bits 8-15 the number of timing
// records the chip holds for the view.
constexpr uint32_t MakeViewDescriptor(uint32_t type, uint32_t timing_count) {
  return (type & 0xF) | ((timing_count & 0xFF) << 8);
}

struct MonitorProfile {
  bool connected = false;
  std::vector<uint8_t> edid;  // whole EDID, 128 bytes per block
};

struct ChipProfile {
  std::string name;

  // USB face.
  uint16_t bcd_usb = 0x0300;
  uint16_t vendor_id = 0x3A5C;
  uint16_t product_id = 0x0101;
  uint16_t bcd_device = 0x0100;
  std::u16string manufacturer = u"Vorn";
  std::u16string product = u"Vorn Station";
  std::u16string serial = u"VS0000001";
  bool has_product_string = true;  // false: iProduct 0
  bool has_ip_endpoint = false;    // bulk OUT endpoint 0x04
  bool self_powered = true;

  // Capability block fields (the rest of the 112 bytes are zero).
  uint32_t capability_magic = kCapabilityMagic;
  uint32_t capability_flags = 0;
  std::array<uint32_t, 2> view_descriptor{};
  uint8_t quality_override = 0;
  uint8_t bandwidth_limit = 0;

  // Device values by item; a missing item stalls its request.
  std::map<uint16_t, uint32_t> device_values;

  uint8_t memory_mib = 64;

  // Per view: the chip's timing table (32-byte records as the chip stores them) and the
  // monitor on that output.
  std::array<std::vector<uint8_t>, 2> timing_tables;
  std::array<MonitorProfile, 2> monitors;

  // Adapters with endpoint 0x04: the 8-byte device information and the display information
  // record (EDID and mode list at the offsets its 16-byte head gives). Empty: the request
  // stalls.
  std::vector<uint8_t> ip_device_info;
  std::vector<uint8_t> ip_display_info;

  // The identity items only the station driver reads.
  StationIdentity station;

  int ViewCount() const;
};

struct ProfileOptions {
  int views = 2;         // 1 (view 0 only) or 2
  uint8_t memory_mib = 64;
  bool usb3 = true;
  // The common modes (CommonTimings, MakeCommonEdid) instead of the standard table and a
  // 1920 x 1080 monitor.
  bool common_modes = false;
};

// A complete adapter: views as asked, each with the standard timing table and a connected
// monitor with a synthetic 1920 x 1080 EDID, or with common_modes the common table and a
// monitor that offers it all, 3840 x 2160 in both where the memory holds it (UhdFits);
// command-set version 8, detection on for every view, quality and bandwidth left to the host.
ChipProfile MakeProfile(const ProfileOptions& options);

// The profiles the tests and the main program run: every mix of one or two views and USB 2 or
// 3 at 64 MiB. (MakeProfile with memory_mib 19 gives the adapter the plug-in must refuse.)
std::vector<ChipProfile> StandardProfiles();

}  // namespace vorn::chip
