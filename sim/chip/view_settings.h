// What the host side has set on one view of the chip through vendor requests: output,
// timing, cursor and gamma. The chip keeps the last value of each.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

namespace vorn::chip {

struct ViewSettings {
  bool output_on = false;
  uint32_t output_requests = 0;

  bool has_timing = false;
  std::array<uint8_t, 32> timing{};
  uint32_t timing_requests = 0;

  uint16_t cursor_x = 0;  // as sent (negative positions arrive as 16-bit values)
  uint16_t cursor_y = 0;
  uint16_t cursor_slot = 0;
  bool cursor_visible = false;
  std::map<uint16_t, std::vector<uint8_t>> cursor_shapes;  // slot -> bytes uploaded

  uint8_t gamma_mode = 0;  // 0 off, 2 on
  uint32_t gamma_control_requests = 0;
  std::map<uint16_t, std::vector<uint8_t>> gamma_tables;  // wIndex -> 256 bytes
};

}  // namespace vorn::chip
