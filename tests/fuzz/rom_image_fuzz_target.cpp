#include "tests/fuzz/rom_image_fuzz_target.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "station/rom_image.h"

namespace vorn::fuzz {
namespace {

using namespace vorn::station;

void Require(bool rule) {
  if (!rule) std::abort();
}

void CheckAll(const UCHAR* image, ULONG size) {
  if (size >= kRomImageHeaderBytes) {
    if (NT_SUCCESS(CheckImageHeader(image, size))) {
      const ULONG image_size = LoadU32(image + kImageSizeOffset);
      Require(image_size <= size && image_size >= kRomImageHeaderBytes &&
              image_size % kRomBlockBytes == 0);
    }
    CheckImageEnd(image, size);
    if (NT_SUCCESS(CheckUhalSection(image, size))) {
      const ULONG section = LoadU32(image + kImageUhalOffset);
      Require(section == 0 ||
              (section % 16 == 0 && ULONGLONG{section} + kRomImageHeaderBytes <= size));
    }
  }
  ULONG version = 0;
  if (FindBootVersion(image, size, &version)) Require(size >= kRomBlockBytes);
}

}  // namespace

int RunRomImageInput(const uint8_t* data, size_t size) {
  if (size > 0x400000) return 0;
  const ULONG n = static_cast<ULONG>(size);
  // A buffer of exactly the input's length, so any read past it is caught.
  std::unique_ptr<UCHAR[]> image(new UCHAR[n ? n : 1]);
  if (n) std::memcpy(image.get(), data, n);
  CheckAll(image.get(), n);
  // Sealed: the end mark and checksum right, so the other checks see their own inputs.
  if (n >= kRomImageHeaderBytes && n % 4 == 0) {
    std::memcpy(image.get() + n - 4, "ENDI", 4);
    std::memset(image.get() + kImageChecksumOffset, 0, 4);
    const ULONG sum = ImageChecksum(image.get(), n);
    for (int i = 0; i < 4; ++i) image[kImageChecksumOffset + i] = static_cast<UCHAR>(sum >> (8 * i));
    Require(NT_SUCCESS(CheckImageEnd(image.get(), n)));
    CheckAll(image.get(), n);
  }
  return 0;
}

}  // namespace vorn::fuzz
