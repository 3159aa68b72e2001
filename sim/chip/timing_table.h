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
// The table of an adapter that offers the common modes, all at 60 Hz: 2560x1440, 1920x1200,
// 1920x1080, 1680x1050, 1600x900, 1366x768, 1280x1024, 1280x720, 1024x768 and 800x600.
const std::vector<DisplayTiming>& CommonTimings();
// 3840x2160 at 30 Hz, which adapters with the memory for it add (UhdFits).
const DisplayTiming& UhdTiming();
// Whether an adapter of |memory_mib| with |views| views holds three 24-bit RGB frames of
// 3840x2160 in each view's share of its memory (its frame slots).
bool UhdFits(uint32_t memory_mib, int views);
// The common table, with the 3840x2160 record first when |with_uhd|.
std::vector<uint8_t> CommonTimingTable(bool with_uhd);

}  // namespace vorn::chip
