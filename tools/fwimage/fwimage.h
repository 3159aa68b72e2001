// Firmware image files as the station reads them, built to order for tests and the simulator:
// an image file (256-byte header, code, data, an optional USB descriptor section, the "ENDI"
// end mark and the checksum), the same image split into the two files of a two-part update,
// and a boot file of whole 64 KiB blocks with its BOOT block. Every field can be set, and
// Break() turns a sound image into one that fails exactly one of the checks.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vorn::fwimage {

inline constexpr uint32_t kBlock = 0x10000;
inline constexpr uint32_t kHeaderBytes = 256;

struct ImageOptions {
  uint32_t code_size = kBlock;       // header and first part; a whole number of blocks
  uint32_t data_size = 0x1000;       // second part
  uint32_t image_size = 0;           // 0: the code and data and the end mark, rounded up
  uint32_t version = 0x16090000;
  std::array<uint8_t, 16> project = {'V', 'S', '3', '0', '0', '0'};
  uint8_t format = 1;
  uint32_t uhal_offset = 0x1000;     // 0: no descriptor section
  std::array<uint32_t, 5> sections{};  // offsets at header bytes 44, 48, 52, 56, 60
  uint32_t seed = 1;                 // the code and data bytes' pattern
};

std::vector<uint8_t> BuildImage(const ImageOptions& options);

// Writes "ENDI" into the last four bytes and the checksum into the header.
void Seal(std::vector<uint8_t>& image);
uint32_t Checksum(const std::vector<uint8_t>& image);

// The two files of a two-part update: the data file holds the header and the first part
// (code_size bytes), the code file the second part (data_size bytes).
struct TwoPartFiles {
  std::vector<uint8_t> data_file;
  std::vector<uint8_t> code_file;
};
TwoPartFiles SplitImage(const std::vector<uint8_t>& image);

struct BootOptions {
  uint32_t size = 0x30000;           // a whole number of blocks, at least 0x20400
  uint32_t version = 0x0204;
  int boot_block = 0;                // the block that begins "BOOT"; -1: none
  uint32_t seed = 2;
};
std::vector<uint8_t> BuildBoot(const BootOptions& options);

// The ways a sound image can be broken, each failing one check of the station.
enum class Break {
  kMagic,               // header: not "IMG_"
  kFormat,              // header: format 2
  kReservedByte,        // header: byte 13 not zero
  kImageSizeNotBlock,   // header: image size not a whole number of blocks
  kImageSizeBeyond,     // header: image size beyond the file
  kCodeSizeSmall,       // header: code size below 256
  kProject,             // header: another project code
  kEndMark,             // no "ENDI"
  kChecksum,            // checksum off by one
  kUhalMagic,           // section: not "UHAL"
  kUhalUnaligned,       // section offset not a multiple of 16
  kUhalBeyond,          // section offset too close to the end of the image
  kUhalLength,          // section length below 96
  kUhalLengthBeyond,    // section length past the end of the image
  kDeviceDescriptor,    // section: the second device descriptor's type is not 1
  kConfigMissing,       // section: the first configuration offset is 0
  kConfigBeyond,        // section: a configuration offset far past the image
  kConfigTotalBeyond,   // section: a configuration's total length past the image
  kBosType,             // section: the BOS descriptor's type is not 15
  kString0Length,       // section: string descriptor 0 not 4 bytes
  kStringUnaligned,     // section: a string offset not a multiple of 4
  kSectionUnaligned,    // a further section offset not a multiple of 16
  kSectionBeyond,       // a further section that does not fit the image
};
struct BreakInfo {
  Break kind;
  const char* name;
  uint32_t rom_error;  // the RomError the station reports for it
};
const std::vector<BreakInfo>& Breaks();
// A copy of |image| broken as |kind| says, sealed again unless the seal itself is broken.
std::vector<uint8_t> BreakImage(const std::vector<uint8_t>& image, Break kind);

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace vorn::fwimage
