// The checks a firmware image passes before it is written to the ROM: its 256-byte header,
// its end mark and checksum, and its USB descriptor section. Pure functions over the bytes,
// so the image checks run the same in the driver, the tools and the fuzzer. Every offset an
// image names is bounded by the image before a byte behind it is read.
#pragma once

#include "platform/kernel/base.h"

namespace vorn::station {

constexpr ULONG kRomImageHeaderBytes = 256;
constexpr ULONG kRomBlockBytes = 0x10000;  // images and boot files are whole 64 KiB blocks
constexpr ULONG kMinBootFileBytes = 0x20400;
constexpr ULONG kImageFormat = 1;

// Offsets of the image header's fields.
constexpr ULONG kImageMagicOffset = 0;         // "IMG_"
constexpr ULONG kImageSizeOffset = 4;
constexpr ULONG kImageChecksumOffset = 8;
constexpr ULONG kImageFormatOffset = 12;
constexpr ULONG kImageChecksumStart = 16;      // the checksum covers the words from here on
constexpr ULONG kImageVersionOffset = 20;
constexpr ULONG kImageCodeSizeOffset = 24;
constexpr ULONG kImageDataSizeOffset = 28;
constexpr ULONG kImageUhalOffset = 32;
constexpr ULONG kImageProjectOffset = 80;
constexpr ULONG kImageProjectBytes = 16;
// The five further sections: their header offsets and the bytes each must leave in the image.
struct ImageSectionRule {
  ULONG HeaderOffset;
  ULONG Bytes;
};
constexpr ImageSectionRule kImageSections[] = {{44, 112}, {48, 80}, {52, 112}, {56, 80}, {60, 80}};

// The descriptor section.
constexpr ULONG kUhalMinLength = 96;
constexpr ULONG kUhalAlignment = 16;
constexpr ULONG kUhalLengthOffset = 4;
constexpr ULONG kUhalConfigOffsets[] = {12, 14};
constexpr ULONG kUhalBosOffset = 16;
constexpr ULONG kUhalString0Offset = 18;
constexpr ULONG kUhalStringOffsets[] = {20, 22};
constexpr ULONG kUhalDeviceDescriptors[] = {56, 76};

// The boot file's version block and field.
constexpr ULONG kBootVersionOffset = 20;

inline ULONG LoadU32(const UCHAR* p) {
  return ULONG{p[0]} | ULONG{p[1]} << 8 | ULONG{p[2]} << 16 | ULONG{p[3]} << 24;
}
inline USHORT LoadU16(const UCHAR* p) { return static_cast<USHORT>(p[0] | p[1] << 8); }

// "IMG_", format 1, bytes 13-15 zero, 256 <= image size <= |limit|, the image size and the
// code size (at least 256) whole 64 KiB blocks. STATUS_UNSUCCESSFUL otherwise.
NTSTATUS CheckImageHeader(const UCHAR* header, ULONGLONG limit);

// "ENDI" in the last four bytes, and the 32-bit wrapping sum of the words from byte 16 to
// the end equal to the header's checksum. |size| must be a multiple of 4 and at least 256.
NTSTATUS CheckImageEnd(const UCHAR* image, ULONG size);

// The descriptor section the header names (none: success), and the five further sections,
// each bounded by |size|.
NTSTATUS CheckUhalSection(const UCHAR* image, ULONG size);

// The 32-bit wrapping sum the checksum field must hold.
ULONG ImageChecksum(const UCHAR* image, ULONG size);

// The boot-code version of a boot file: the u32 at 20 of its first 64 KiB block that begins
// "BOOT". False when no block does.
bool FindBootVersion(const UCHAR* file, ULONG size, ULONG* version);

}  // namespace vorn::station
