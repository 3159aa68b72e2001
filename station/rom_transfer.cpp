// The ROM write, burn result and read-back. The ROM module is not part of this build: every
// call fails loudly.
#include "station/kernel_utils.h"
#include "station/rom.h"

namespace vorn::station {

NTSTATUS SetRomAutoUpdateFlags(StationExtension*, UCHAR, UCHAR) {
  return NotBuilt("SetRomAutoUpdateFlags");
}

NTSTATUS GetRomAutoUpdateFlags(StationExtension*, UCHAR, UCHAR*) {
  return NotBuilt("GetRomAutoUpdateFlags");
}

NTSTATUS SetRomPath(StationExtension*, UCHAR, const UCHAR*, const WCHAR*, ULONG) {
  return NotBuilt("SetRomPath");
}

NTSTATUS GetRomPath(StationExtension*, UCHAR, const UCHAR*, WCHAR*, ULONG) {
  return NotBuilt("GetRomPath");
}

NTSTATUS GetRomResult(StationExtension*, UCHAR*) { return NotBuilt("GetRomResult"); }

NTSTATUS RomWriteImage(StationExtension*, UCHAR, BOOLEAN, ULONG, const void*, ULONG) {
  return NotBuilt("RomWriteImage");
}

NTSTATUS RomRead(StationExtension*, PVOID, ULONG, ULONG, USHORT, ULONG* bytes) {
  if (bytes) *bytes = 0;
  return NotBuilt("RomRead");
}

}  // namespace vorn::station
