// The chip's side of bulk OUT endpoint 0x04: each transfer is one 16-byte command packet (u16
// request code, u16 value, u16 index, u16 data length, eight zero bytes) with its data behind
// it, and the chip executes it as the cursor vendor request of the same code: position (0x04,
// 0x06: x, y), select and show (0x05, 0x07: slot, show) and shape (0x10, 0x11: slot, byte
// offset, the header and pixels), view 0 by the first code of each pair and view 1 by the
// second. A packet that does not hold together (short, a length that is not the data behind
// it, reserved bytes set, data on a code that takes none, a code the chip does not know) is
// refused: the transfer stalls and the violation log names it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "sim/chip/view_settings.h"
#include "sim/chip/violation_log.h"

namespace vorn::chip {

constexpr uint32_t kIpPacketHeadSize = 16;

class IpCommands {
 public:
  explicit IpCommands(ViolationLog& violations);

  // Executes one transfer of endpoint 0x04; false when it is refused.
  bool Execute(const uint8_t* bytes, uint32_t length);

  // The cursor of |view| as the packets left it, written over the cursor fields of |settings|.
  void OverlayCursor(int view, ViewSettings* settings) const;

  uint64_t Executed() const;
  uint64_t Refused() const;

 private:
  struct Cursor {
    uint16_t x = 0, y = 0;  // as sent
    uint16_t slot = 0;
    bool visible = false;
    std::map<uint16_t, std::vector<uint8_t>> shapes;  // slot -> bytes
  };

  bool Refuse(uint16_t code, const char* why);

  ViolationLog& violations_;
  mutable std::mutex lock_;
  std::array<Cursor, 2> cursors_;
  uint64_t executed_ = 0;
  uint64_t refused_ = 0;
};

}  // namespace vorn::chip
