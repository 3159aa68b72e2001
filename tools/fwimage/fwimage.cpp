#include "tools/fwimage/fwimage.h"

#include <algorithm>
#include <cstring>
#include <fstream>

namespace vorn::fwimage {
namespace {

constexpr uint32_t kUhalLength = 0x100;
// Offsets of the section's descriptors, within the section.
constexpr uint16_t kConfig0 = 0x60, kConfig1 = 0x80, kBos = 0xA0, kString0 = 0xC0,
                   kString1 = 0xC4, kString2 = 0xE0;
constexpr uint32_t kSectionHeaderOffsets[5] = {44, 48, 52, 56, 60};

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
         uint32_t{b[at + 3]} << 24;
}

uint32_t RoundUp(uint64_t n) { return static_cast<uint32_t>((n + kBlock - 1) / kBlock * kBlock); }

void Pattern(std::vector<uint8_t>& b, size_t from, size_t to, uint32_t seed) {
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = from; i < to && i < b.size(); ++i) {
    x = x * 1103515245u + 12345u;
    b[i] = static_cast<uint8_t>(x >> 16);
  }
}

void Descriptor(std::vector<uint8_t>& b, size_t at, uint8_t length, uint8_t type) {
  if (at + 2 > b.size()) return;
  b[at] = length;
  b[at + 1] = type;
}

void WriteUhal(std::vector<uint8_t>& b, uint32_t at) {
  std::memcpy(&b[at], "UHAL", 4);
  Put32(b, at + 4, kUhalLength);
  Put16(b, at + 12, kConfig0);
  Put16(b, at + 14, kConfig1);
  Put16(b, at + 16, kBos);
  Put16(b, at + 18, kString0);
  Put16(b, at + 20, kString1);
  Put16(b, at + 22, kString2);
  for (uint32_t device : {56u, 76u}) {
    std::memset(&b[at + device], 0, 18);
    Descriptor(b, at + device, 18, 1);
  }
  for (uint16_t config : {kConfig0, kConfig1}) {
    std::memset(&b[at + config], 0, 32);
    Descriptor(b, at + config, 9, 2);
    Put16(b, at + config + 2, 32);
  }
  Descriptor(b, at + kBos, 5, 15);
  Descriptor(b, at + kString0, 4, 3);
  Descriptor(b, at + kString1, 10, 3);
  Descriptor(b, at + kString2, 10, 3);
}

}  // namespace

uint32_t Checksum(const std::vector<uint8_t>& image) {
  uint32_t sum = 0;
  for (size_t at = 16; at + 4 <= image.size(); at += 4) sum += Get32(image, at);
  return sum;
}

void Seal(std::vector<uint8_t>& image) {
  if (image.size() < kHeaderBytes) return;
  std::memcpy(&image[image.size() - 4], "ENDI", 4);
  Put32(image, 8, Checksum(image));
}

std::vector<uint8_t> BuildImage(const ImageOptions& o) {
  const uint32_t size =
      o.image_size ? o.image_size : RoundUp(uint64_t{o.code_size} + o.data_size + 4);
  std::vector<uint8_t> b(size, 0);
  if (size < kHeaderBytes) return b;
  Pattern(b, kHeaderBytes, o.code_size, o.seed);
  Pattern(b, o.code_size, uint64_t{o.code_size} + o.data_size, o.seed + 1);
  std::memcpy(&b[0], "IMG_", 4);
  Put32(b, 4, size);
  b[12] = o.format;
  b[13] = b[14] = b[15] = 0;
  Put32(b, 16, 0);
  Put32(b, 20, o.version);
  Put32(b, 24, o.code_size);
  Put32(b, 28, o.data_size);
  std::memset(&b[32], 0, kHeaderBytes - 32);
  if (o.uhal_offset && uint64_t{o.uhal_offset} + kUhalLength <= size) {
    Put32(b, 32, o.uhal_offset);
    WriteUhal(b, o.uhal_offset);
  }
  for (int i = 0; i < 5; ++i) Put32(b, kSectionHeaderOffsets[i], o.sections[i]);
  std::memcpy(&b[80], o.project.data(), o.project.size());
  Seal(b);
  return b;
}

TwoPartFiles SplitImage(const std::vector<uint8_t>& image) {
  TwoPartFiles f;
  if (image.size() < kHeaderBytes) return f;
  const uint32_t code = Get32(image, 24), data = Get32(image, 28);
  const size_t first = std::min<size_t>(code, image.size());
  const size_t second = std::min<size_t>(uint64_t{data}, image.size() - first);
  f.data_file.assign(image.begin(), image.begin() + first);
  f.code_file.assign(image.begin() + first, image.begin() + first + second);
  return f;
}

std::vector<uint8_t> BuildBoot(const BootOptions& o) {
  std::vector<uint8_t> b(o.size, 0);
  Pattern(b, 0, b.size(), o.seed);
  // No block begins "BOOT" by chance.
  for (size_t at = 0; at + 4 <= b.size(); at += kBlock) b[at] = 0;
  if (o.boot_block >= 0 && (uint64_t{static_cast<uint32_t>(o.boot_block)} + 1) * kBlock <= b.size()) {
    const size_t at = size_t{static_cast<uint32_t>(o.boot_block)} * kBlock;
    std::memcpy(&b[at], "BOOT", 4);
    Put32(b, at + 20, o.version);
  }
  return b;
}

const std::vector<BreakInfo>& Breaks() {
  static const std::vector<BreakInfo> all = {
      {Break::kMagic, "Magic", 10},
      {Break::kFormat, "Format", 10},
      {Break::kReservedByte, "ReservedByte", 10},
      {Break::kImageSizeNotBlock, "ImageSizeNotBlock", 10},
      {Break::kImageSizeBeyond, "ImageSizeBeyond", 10},
      {Break::kCodeSizeSmall, "CodeSizeSmall", 10},
      {Break::kProject, "Project", 8},
      {Break::kEndMark, "EndMark", 13},
      {Break::kChecksum, "Checksum", 13},
      {Break::kUhalMagic, "UhalMagic", 14},
      {Break::kUhalUnaligned, "UhalUnaligned", 14},
      {Break::kUhalBeyond, "UhalBeyond", 14},
      {Break::kUhalLength, "UhalLength", 14},
      {Break::kUhalLengthBeyond, "UhalLengthBeyond", 14},
      {Break::kDeviceDescriptor, "DeviceDescriptor", 14},
      {Break::kConfigMissing, "ConfigMissing", 14},
      {Break::kConfigBeyond, "ConfigBeyond", 14},
      {Break::kConfigTotalBeyond, "ConfigTotalBeyond", 14},
      {Break::kBosType, "BosType", 14},
      {Break::kString0Length, "String0Length", 14},
      {Break::kStringUnaligned, "StringUnaligned", 14},
      {Break::kSectionUnaligned, "SectionUnaligned", 14},
      {Break::kSectionBeyond, "SectionBeyond", 14},
  };
  return all;
}

std::vector<uint8_t> BreakImage(const std::vector<uint8_t>& image, Break kind) {
  std::vector<uint8_t> b = image;
  if (b.size() < kHeaderBytes) return b;
  const uint32_t size = static_cast<uint32_t>(b.size());
  const uint32_t uhal = Get32(b, 32);
  auto in_uhal = [&](uint32_t at) -> uint8_t& { return b[uhal + at]; };
  bool reseal = true;
  switch (kind) {
    case Break::kMagic: b[0] = 'X'; break;
    case Break::kFormat: b[12] = 2; break;
    case Break::kReservedByte: b[13] = 1; break;
    case Break::kImageSizeNotBlock: Put32(b, 4, size - 4); break;
    case Break::kImageSizeBeyond: Put32(b, 4, size + kBlock); break;
    case Break::kCodeSizeSmall: Put32(b, 24, 0x80); break;
    case Break::kProject: b[80] ^= 0x20; break;
    case Break::kEndMark: b[size - 1] = 'X'; reseal = false; Put32(b, 8, Checksum(b)); break;
    case Break::kChecksum: Put32(b, 8, Checksum(b) + 1); reseal = false; break;
    case Break::kUhalMagic: in_uhal(0) = 'X'; break;
    case Break::kUhalUnaligned: Put32(b, 32, uhal + 4); break;
    case Break::kUhalBeyond: Put32(b, 32, size - 128); break;
    case Break::kUhalLength: Put32(b, uhal + 4, 95); break;
    case Break::kUhalLengthBeyond: Put32(b, uhal + 4, size - uhal + 1); break;
    case Break::kDeviceDescriptor: in_uhal(77) = 2; break;
    case Break::kConfigMissing: Put16(b, uhal + 12, 0); break;
    case Break::kConfigBeyond:
    case Break::kConfigTotalBeyond: {
      // The section moves to the image's last 256 bytes; then its second configuration
      // offset points far past the end, or its first configuration's total length runs past.
      const uint32_t last = size - kHeaderBytes;
      std::memmove(&b[last], &b[uhal], kUhalLength);
      Put32(b, 32, last);
      if (kind == Break::kConfigBeyond)
        Put16(b, last + 14, 0xFFFC);
      else
        Put16(b, last + kConfig0 + 2, 0x100);
      break;
    }
    case Break::kBosType: in_uhal(kBos + 1) = 16; break;
    case Break::kString0Length: in_uhal(kString0) = 6; break;
    case Break::kStringUnaligned: Put16(b, uhal + 20, kString1 + 2); break;
    case Break::kSectionUnaligned: Put32(b, 44, 0x2008); break;
    case Break::kSectionBeyond: Put32(b, 48, size - 64); break;
  }
  if (reseal) Seal(b);
  return b;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace vorn::fwimage
