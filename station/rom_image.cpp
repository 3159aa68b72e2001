#include "station/rom_image.h"

#include <cstring>

namespace vorn::station {
namespace {

constexpr UCHAR kImageMagic[4] = {'I', 'M', 'G', '_'};
constexpr UCHAR kEndMark[4] = {'E', 'N', 'D', 'I'};
constexpr UCHAR kUhalMagic[4] = {'U', 'H', 'A', 'L'};
constexpr UCHAR kBootMagic[4] = {'B', 'O', 'O', 'T'};

constexpr UCHAR kDeviceDescriptorLength = 18;
constexpr UCHAR kDeviceDescriptorType = 1;
constexpr UCHAR kConfigurationType = 2;
constexpr UCHAR kStringType = 3;
constexpr UCHAR kBosType = 15;
constexpr UCHAR kMinConfigurationLength = 9;  // more than 8
constexpr UCHAR kMinBosLength = 5;            // more than 4
constexpr UCHAR kString0Length = 4;
constexpr UCHAR kMinStringLength = 5;         // more than 4
constexpr ULONG kDescriptorAlignment = 4;

// A descriptor |offset| bytes into the section at |section|: its offset a multiple of 4, its
// head (and, for a configuration, its whole length) inside the image, its type and length as
// the rule asks.
bool DescriptorFits(const UCHAR* image, ULONG size, ULONG section, ULONG offset, UCHAR type,
                    UCHAR min_length, bool exact_length) {
  if (offset % kDescriptorAlignment) return false;
  const ULONGLONG at = ULONGLONG{section} + offset;
  if (at + 2 > size) return false;
  const UCHAR length = image[at];
  if (image[at + 1] != type) return false;
  if (exact_length ? length != min_length : length < min_length) return false;
  if (at + length > size) return false;
  if (type == kConfigurationType) {
    if (at + 4 > size) return false;
    if (at + LoadU16(image + at + 2) > size) return false;
  }
  return true;
}

}  // namespace

NTSTATUS CheckImageHeader(const UCHAR* header, ULONGLONG limit) {
  if (!header) return STATUS_UNSUCCESSFUL;
  const ULONG image_size = LoadU32(header + kImageSizeOffset);
  const ULONG code_size = LoadU32(header + kImageCodeSizeOffset);
  const bool ok = std::memcmp(header + kImageMagicOffset, kImageMagic, 4) == 0 &&
                  header[kImageFormatOffset] == kImageFormat && header[13] == 0 &&
                  header[14] == 0 && header[15] == 0 && image_size >= kRomImageHeaderBytes &&
                  image_size <= limit && image_size % kRomBlockBytes == 0 &&
                  code_size >= kRomImageHeaderBytes && code_size % kRomBlockBytes == 0;
  return ok ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

ULONG ImageChecksum(const UCHAR* image, ULONG size) {
  ULONG sum = 0;
  for (ULONG at = kImageChecksumStart; at + 4 <= size; at += 4) sum += LoadU32(image + at);
  return sum;
}

NTSTATUS CheckImageEnd(const UCHAR* image, ULONG size) {
  if (!image || size < kRomImageHeaderBytes || size % 4) return STATUS_UNSUCCESSFUL;
  if (std::memcmp(image + size - 4, kEndMark, 4) != 0) return STATUS_UNSUCCESSFUL;
  return ImageChecksum(image, size) == LoadU32(image + kImageChecksumOffset) ? STATUS_SUCCESS
                                                                             : STATUS_UNSUCCESSFUL;
}

NTSTATUS CheckUhalSection(const UCHAR* image, ULONG size) {
  if (!image || size < kRomImageHeaderBytes) return STATUS_UNSUCCESSFUL;
  const ULONG section = LoadU32(image + kImageUhalOffset);
  if (section != 0) {
    if (section % kUhalAlignment || ULONGLONG{section} + kRomImageHeaderBytes > size)
      return STATUS_UNSUCCESSFUL;
    const UCHAR* s = image + section;  // at least 256 bytes of the section are in the image
    if (std::memcmp(s, kUhalMagic, 4) != 0) return STATUS_UNSUCCESSFUL;
    const ULONG length = LoadU32(s + kUhalLengthOffset);
    if (length < kUhalMinLength || ULONGLONG{section} + length > size) return STATUS_UNSUCCESSFUL;
    for (ULONG at : kUhalDeviceDescriptors)
      if (s[at] != kDeviceDescriptorLength || s[at + 1] != kDeviceDescriptorType)
        return STATUS_UNSUCCESSFUL;
    for (ULONG at : kUhalConfigOffsets) {
      const ULONG offset = LoadU16(s + at);
      if (offset == 0 || !DescriptorFits(image, size, section, offset, kConfigurationType,
                                         kMinConfigurationLength, false))
        return STATUS_UNSUCCESSFUL;
    }
    if (ULONG bos = LoadU16(s + kUhalBosOffset);
        bos && !DescriptorFits(image, size, section, bos, kBosType, kMinBosLength, false))
      return STATUS_UNSUCCESSFUL;
    if (ULONG string0 = LoadU16(s + kUhalString0Offset);
        string0 && !DescriptorFits(image, size, section, string0, kStringType, kString0Length, true))
      return STATUS_UNSUCCESSFUL;
    for (ULONG at : kUhalStringOffsets)
      if (ULONG offset = LoadU16(s + at);
          offset && !DescriptorFits(image, size, section, offset, kStringType, kMinStringLength,
                                    false))
        return STATUS_UNSUCCESSFUL;
  }
  for (const ImageSectionRule& rule : kImageSections) {
    const ULONG offset = LoadU32(image + rule.HeaderOffset);
    if (offset == 0) continue;
    if (offset % kUhalAlignment || ULONGLONG{offset} + rule.Bytes > size) return STATUS_UNSUCCESSFUL;
  }
  return STATUS_SUCCESS;
}

bool FindBootVersion(const UCHAR* file, ULONG size, ULONG* version) {
  *version = 0;
  if (!file) return false;
  for (ULONGLONG at = 0; at + kRomBlockBytes <= size; at += kRomBlockBytes)
    if (std::memcmp(file + at, kBootMagic, 4) == 0) {
      *version = LoadU32(file + at + kBootVersionOffset);
      return true;
    }
  return false;
}

}  // namespace vorn::station
