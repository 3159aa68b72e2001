// Synthetic monitor EDIDs for profiles, so an adapter model has a monitor without reading
// files: a valid base block with a monitor name and a detailed timing; the monitor of the
// common modes announces them all at 60 Hz (established 640x480, 800x600 and 1024x768;
// standard 1280x720, 1280x1024, 1600x900, 1680x1050 and 1920x1200; detailed 1920x1080,
// 2560x1440 and 1366x768), and as a 4K monitor adds a CEA-861 extension whose video data
// block names 3840x2160 at 30 and 60 Hz.
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
// descriptor, |timing| as the first detailed timing, established 640x480, 800x600 and
// 1024x768 at 60 Hz, no extension, and a valid checksum.
std::vector<uint8_t> MakeEdid(const std::string& name, const EdidTiming& timing = {});
// The monitor of the common modes (1920x1080 preferred); with |uhd| 256 bytes, the
// CEA-861 extension behind the base block.
std::vector<uint8_t> MakeCommonEdid(const std::string& name, bool uhd);

// Reads an EDID file; empty on any failure.
std::vector<uint8_t> LoadEdidFile(const std::string& path);

}  // namespace vorn::chip
