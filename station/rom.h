// The ROM module: automatic update from the firmware files named in the registry, the ROM
// write and burn, the ROM read-back and the burn result, and the flags and paths the control
// codes read and change.
#pragma once

#include "platform/kernel/base.h"

namespace vorn::station {

struct StationExtension;

// ROM targets of a write and of a ROM path.
constexpr UCHAR kRomTargetImage = 0;
constexpr UCHAR kRomTargetBoot = 2;

// Automatic-update flags (control code 0x222404): |global| non-zero also changes the
// driver-wide flags and their Parameters value.
NTSTATUS SetRomAutoUpdateFlags(StationExtension* station, UCHAR global, UCHAR value);
NTSTATUS GetRomAutoUpdateFlags(StationExtension* station, UCHAR global, UCHAR* value);

// The firmware path of |target| (boot or image) under the firmware key of the 16-byte
// |project_code| (control code 0x22240C). |path| holds |path_bytes| bytes of UTF-16.
NTSTATUS SetRomPath(StationExtension* station, UCHAR target, const UCHAR* project_code,
                    const WCHAR* path, ULONG path_bytes);
NTSTATUS GetRomPath(StationExtension* station, UCHAR target, const UCHAR* project_code,
                    WCHAR* path, ULONG path_bytes);

// The 16-byte burn result (control code 0x222408).
NTSTATUS GetRomResult(StationExtension* station, UCHAR* output);

// Writes |length| bytes of |buffer| to the ROM |target| and waits for the burn result.
NTSTATUS RomWriteImage(StationExtension* station, UCHAR target, BOOLEAN reset, ULONG version,
                       const void* buffer, ULONG length);

// Reads |size| bytes of the ROM from |offset| into |output| (control code 0x22241C);
// |*bytes| is the count read.
NTSTATUS RomRead(StationExtension* station, PVOID output, ULONG offset, ULONG size,
                 USHORT sequence, ULONG* bytes);

}  // namespace vorn::station
