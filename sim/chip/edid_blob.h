// Synthetic monitor EDIDs for profiles: one valid base block with a monitor name and one
// detailed timing, so an adapter model has a monitor without reading files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn::chip {

struct EdidTiming {
  uint32_t pixel_clock_khz = 148500;
  uint16_t width = 1920, height = 1080;
  uint16_t h_blank = 280, v_blank = 45;
  uint16_t h_front = 88, h_sync = 44;
  uint16_t v_front = 4, v_sync = 5;
};

// A 128-byte EDID 1.3 block with the header, |name| (at most 13 characters) in a 0xFC
// descriptor, |timing| as the first detailed timing, no extension, and a valid checksum.
std::vector<uint8_t> MakeEdid(const std::string& name, const EdidTiming& timing = {});

// Reads an EDID file; empty on any failure.
std::vector<uint8_t> LoadEdidFile(const std::string& path);

}  // namespace vorn::chip
