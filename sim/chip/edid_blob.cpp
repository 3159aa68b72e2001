#include "sim/chip/edid_blob.h"

#include <fstream>
#include <iterator>

namespace vorn::chip {

std::vector<uint8_t> MakeEdid(const std::string& name, const EdidTiming& t) {
  std::vector<uint8_t> e(128, 0);
  const uint8_t header[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  for (int i = 0; i < 8; ++i) e[i] = header[i];
  e[8] = 0x5B;  // manufacturer "VRN" packed in five-bit letters
  e[9] = 0x2E;
  e[10] = 0x01;  // product code
  e[16] = 1;     // week
  e[17] = 34;    // year - 1990
  e[18] = 1;     // EDID 1.3
  e[19] = 3;
  e[20] = 0x80;  // digital input
  e[21] = 53;    // 53 x 30 cm
  e[22] = 30;
  e[23] = 120;   // gamma 2.2
  e[24] = 0x0A;  // RGB, preferred timing in descriptor 1
  e[35] = 0x21;  // established timings: 640x480@60, 800x600@60
  e[36] = 0x08;  // 1024x768@60
  for (int i = 38; i < 54; ++i) e[i] = 0x01;  // no standard timings

  // Detailed timing descriptor 1.
  uint8_t* d = &e[54];
  uint16_t clock = static_cast<uint16_t>(t.pixel_clock_khz / 10);
  d[0] = clock & 0xFF;
  d[1] = clock >> 8;
  d[2] = t.width & 0xFF;
  d[3] = t.h_blank & 0xFF;
  d[4] = static_cast<uint8_t>(((t.width >> 8) << 4) | (t.h_blank >> 8));
  d[5] = t.height & 0xFF;
  d[6] = t.v_blank & 0xFF;
  d[7] = static_cast<uint8_t>(((t.height >> 8) << 4) | (t.v_blank >> 8));
  d[8] = t.h_front & 0xFF;
  d[9] = t.h_sync & 0xFF;
  d[10] = static_cast<uint8_t>(((t.v_front & 0xF) << 4) | (t.v_sync & 0xF));
  d[11] = static_cast<uint8_t>(((t.h_front >> 8) << 6) | ((t.h_sync >> 8) << 4) |
                               ((t.v_front >> 4) << 2) | (t.v_sync >> 4));
  d[12] = 0x10;  // 531 x 298 mm
  d[13] = 0x2A;
  d[14] = 0x21;
  d[17] = 0x1E;  // digital separate sync, both positive

  // Descriptor 2: monitor name.
  uint8_t* n = &e[72];
  n[3] = 0xFC;
  size_t len = name.size() < 13 ? name.size() : 13;
  for (size_t i = 0; i < 13; ++i) n[5 + i] = i < len ? static_cast<uint8_t>(name[i]) : (i == len ? 0x0A : 0x20);
  // Descriptors 3 and 4: dummies.
  e[90 + 3] = 0x10;
  e[108 + 3] = 0x10;

  uint8_t sum = 0;
  for (int i = 0; i < 127; ++i) sum = static_cast<uint8_t>(sum + e[i]);
  e[127] = static_cast<uint8_t>(0x100 - sum);
  return e;
}

std::vector<uint8_t> LoadEdidFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace vorn::chip
