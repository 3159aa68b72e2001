// The panel behind the chip, as the station's panel requests reach it: the camera, touch,
// brightness, panel value and rotation settings, the language index and the language data
// assembled from its 512-byte blocks, the saves (each ends with an interrupt the test
// releases), the night light, the chip resets and the third-party mode; and the values the
// panel answers (its settings, the 16-byte key, the two language-index blocks). A request
// that does not fit its code is refused with a stall and counted as a violation. Every
// request also stands in the chip's request log. Thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "platform/usb/usb_device.h"
#include "sim/chip/violation_log.h"

namespace vorn::chip {

struct PanelState {
  uint8_t camera = 0;
  uint8_t touch = 0;
  uint8_t brightness = 50;
  uint32_t dword = 0;
  uint8_t rotation = 0;
  uint8_t rotation_flag = 0;
  uint16_t language_index = 0;  // the last index set (0x17)
  // Answers of the language-index read (0x8D), for wValue 0 and 1.
  std::array<std::array<uint8_t, 8>, 2> language_index_answer = {
      {{'L', 'I', 'D', 'X', 0, 1, 2, 3}, {'L', 'I', 'D', 'X', 1, 4, 5, 6}}};
  std::array<uint8_t, 16> security_key = {0x5E, 0xC0, 0x4B, 0x11, 0x22, 0x33, 0x44, 0x55,
                                          0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD};
  // Language data by language index, each once all its blocks came in order.
  std::map<uint8_t, std::vector<uint8_t>> languages;
  uint32_t saves = 0;
  uint32_t pending_saves = 0;  // saves whose end the chip has not reported yet
  // Night light per view, as the last 0x1C of mode 1 or 3 set it.
  std::array<uint8_t, 2> night_light_mode = {0, 0};
  std::array<uint8_t, 2> night_light_level = {0, 0};
  uint16_t third_party_mode = 0;
  uint32_t resets = 0;
};

class PanelRequests {
 public:
  explicit PanelRequests(ViolationLog& violations);

  // Whether |s| is a panel request: the panel codes, and the gamma control 0x1C in the night
  // light's own modes 1 and 3 (modes 0 and 2 are the display's gamma off and on).
  static bool Owns(const usb::SetupPacket& s);
  // Answers a request that Owns: fills |data| for IN requests (|actual| bytes).
  usb::TransferStatus Handle(const usb::SetupPacket& s, uint8_t* data, uint32_t length,
                             uint32_t* actual);

  PanelState State() const;
  void SetState(const PanelState& state);
  // Takes one save whose end is still to be reported; false when none is.
  bool TakePendingSave();

 private:
  usb::TransferStatus Refuse(const usb::SetupPacket& s, const char* why);
  usb::TransferStatus LanguageBlock(const usb::SetupPacket& s, const uint8_t* data,
                                    uint32_t length);

  ViolationLog& violations_;
  mutable std::mutex lock_;
  PanelState state_;
  // The language being received: its index, block count and the blocks so far.
  bool receiving_ = false;
  uint8_t receiving_index_ = 0;
  uint16_t receiving_blocks_ = 0;
  uint16_t next_block_ = 0;
  std::vector<uint8_t> received_;
};

}  // namespace vorn::chip
