#include "sim/chip/edid_blob.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace vorn::chip {
namespace {

// An 18-byte detailed timing descriptor, digital separate sync with both polarities positive.
void WriteDetailedTiming(uint8_t* d, const EdidTiming& t) {
  const uint16_t clock = static_cast<uint16_t>(t.pixel_clock_khz / 10);
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
  d[17] = 0x1E;
}

void Checksum(uint8_t* block) {
  uint8_t sum = 0;
  for (int i = 0; i < 127; ++i) sum = static_cast<uint8_t>(sum + block[i]);
  block[127] = static_cast<uint8_t>(0x100 - sum);
}

// A standard timing entry of a 60 Hz mode; |aspect| 0 = 16:10, 1 = 4:3, 2 = 5:4, 3 = 16:9.
void WriteStandardTiming(uint8_t* e, uint16_t width, uint8_t aspect) {
  e[0] = static_cast<uint8_t>(width / 8 - 31);
  e[1] = static_cast<uint8_t>(aspect << 6);  // refresh 60 + 0
}

}  // namespace

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

  // Descriptor 1: the preferred timing.
  WriteDetailedTiming(&e[54], t);

  // Descriptor 2: monitor name.
  uint8_t* n = &e[72];
  n[3] = 0xFC;
  size_t len = name.size() < 13 ? name.size() : 13;
  for (size_t i = 0; i < 13; ++i) n[5 + i] = i < len ? static_cast<uint8_t>(name[i]) : (i == len ? 0x0A : 0x20);
  // Descriptors 3 and 4: dummies.
  e[90 + 3] = 0x10;
  e[108 + 3] = 0x10;
  Checksum(e.data());
  return e;
}

std::vector<uint8_t> MakeCommonEdid(const std::string& name, bool uhd) {
  std::vector<uint8_t> e = MakeEdid(name);
  WriteStandardTiming(&e[38], 1280, 3);
  WriteStandardTiming(&e[40], 1280, 2);
  WriteStandardTiming(&e[42], 1600, 3);
  WriteStandardTiming(&e[44], 1680, 0);
  WriteStandardTiming(&e[46], 1920, 0);
  // Descriptors 3 and 4: 2560x1440 (reduced blanking) and 1366x768, both at 60 Hz.
  std::fill(e.begin() + 90, e.begin() + 126, uint8_t{0});
  WriteDetailedTiming(&e[90], {241500, 2560, 1440, 160, 41, 48, 32, 3, 5});
  WriteDetailedTiming(&e[108], {85500, 1366, 768, 426, 30, 70, 143, 3, 3});
  if (uhd) {
    e[126] = 1;
    std::vector<uint8_t> cea(128, 0);
    cea[0] = 2;  // CEA-861 extension, revision 3
    cea[1] = 3;
    const uint8_t codes[] = {95, 97, 16};  // 3840x2160 at 30 and 60, 1920x1080 at 60
    cea[4] = static_cast<uint8_t>((2 << 5) | sizeof codes);  // video data block
    for (size_t i = 0; i < sizeof codes; ++i) cea[5 + i] = codes[i];
    cea[2] = static_cast<uint8_t>(5 + sizeof codes);  // no detailed timings follow
    Checksum(cea.data());
    Checksum(e.data());
    e.insert(e.end(), cea.begin(), cea.end());
    return e;
  }
  Checksum(e.data());
  return e;
}

std::vector<uint8_t> LoadEdidFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace vorn::chip
