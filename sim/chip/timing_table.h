// The chip's own timing tables: 32-byte records in the form the chip stores them (sync starts
// one lower and sync widths one higher than the form the host programs).
#pragma once

#include <cstdint>
#include <vector>

namespace vorn::chip {

struct DisplayTiming {
  uint32_t pixel_clock_khz;
  uint8_t refresh;
  uint16_t width, h_front, h_sync, h_total;
  uint16_t height, v_front, v_sync, v_total;
  bool h_positive, v_positive;
};

// One record of a chip timing table.
std::vector<uint8_t> EncodeChipTiming(const DisplayTiming& t);

// The standard table: 1920x1080, 1680x1050, 1280x1024, 1280x720, 1024x768 and 800x600 at 60 Hz.
const std::vector<DisplayTiming>& StandardTimings();
std::vector<uint8_t> StandardTimingTable();

}  // namespace vorn::chip
