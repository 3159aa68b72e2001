// The two driver-wide records of the station driver. Entry fills both; every other module
// reads them. There is one of each per loaded driver, in the driver's static data, each
// reached through one pointer that entry sets and nothing changes afterwards.
#pragma once

#include <cstddef>

#include "platform/kernel/base.h"
#include "platform/kernel/sync.h"
#include "protocol/channels.h"

struct DRIVER_OBJECT;

namespace vorn::station {

constexpr size_t kChannelCount = protocol::kBusChannelCount;

struct StationGlobals {
  KMUTEX AddDeviceMutex;          // serialises StationAddDevice
  LONGLONG PerformanceFrequency;  // performance counter ticks per second, taken at entry
  ULONG USBDIVersion;             // USBDI version reported by the USB stack
  ULONG USBSVersion;              // highest USB version the stack supports
  ULONG DriverModel;              // 1: discover functions at the worker's first run; 2: on request
  ULONG MaximumTransferSize;      // largest single bulk transfer
  ULONG BulkDebugLevel;           // WMI data item
  ULONG RomMaxBlockSize;          // 0: the whole image in one block
  ULONG RomXferTimeout;           // milliseconds per MiB for a ROM transfer
  ULONG RomBurnTimeout;           // milliseconds per MiB for the burn result
  ULONG Dummy;                    // read at entry only
  ULONG SupportPDOs;              // ChildFunctionMask of the child devices to create
  ULONG MmAddressMask;            // ORed into the page priority of caller-buffer mappings
  ULONG MaxSliceSizeHS[kChannelCount];  // per-channel slice size on USB 2
  ULONG MaxSliceSizeSS[kChannelCount];  // per-channel slice size on USB 3
  UCHAR PriorityLevel[kChannelCount];   // per-channel queue priority
  UCHAR ForcedSlicing;            // slice even when only one function is active
  UCHAR RomAutoUpdateFlags;       // driver-wide automatic-update flags
  UCHAR ForcedUpdateFW;           // write an image that is not newer than the chip's
  UCHAR ValidateRomSection;       // check an image's descriptor section
  UCHAR CEPM_RetryCount;          // control transfer attempts
  UCHAR DeviceNamePolicy;         // bit 1 DeviceDesc, bit 0 FriendlyName
  UCHAR AudioJackDetection;       // bit j: detection on jack j
  UCHAR StandaloneMic;            // separate microphone child and channel
  UCHAR SupportNS;                // NS mode allowed
  UCHAR VirtualNS;                // read at entry only
};
static_assert(kChannelCount == 10);
static_assert(offsetof(StationGlobals, PerformanceFrequency) == sizeof(KMUTEX));
static_assert(offsetof(StationGlobals, USBDIVersion) == sizeof(KMUTEX) + 8);
static_assert(offsetof(StationGlobals, MmAddressMask) == offsetof(StationGlobals, USBDIVersion) + 40);
static_assert(offsetof(StationGlobals, MaxSliceSizeHS) == offsetof(StationGlobals, MmAddressMask) + 4);
static_assert(offsetof(StationGlobals, MaxSliceSizeSS) == offsetof(StationGlobals, MaxSliceSizeHS) + 40);
static_assert(offsetof(StationGlobals, PriorityLevel) == offsetof(StationGlobals, MaxSliceSizeSS) + 40);
static_assert(offsetof(StationGlobals, VirtualNS) == offsetof(StationGlobals, PriorityLevel) + 19);

// OS version word: major << 24 | minor << 16 | low 16 bits of the build number.
constexpr ULONG kOsVersionUnknown = 0;      // not yet determined
constexpr ULONG kOsVersionNone = 0xFFFFFFFF;  // no probe answered
constexpr ULONG MakeOsVersion(ULONG major, ULONG minor, ULONG build) {
  return (major << 24) | ((minor & 0xFF) << 16) | (build & 0xFFFF);
}

struct DriverServices {
  DRIVER_OBJECT* DriverObject;
  UNICODE_STRING RegistryPath;  // private copy; the root of every registry access
  ULONG DebugLevel;             // with DebugLevel2 the 64-bit debug word of the control interface
  ULONG DebugLevel2;
  ULONG AssertLevel;            // read at entry only
  ULONG AssertLevel2;
  ULONG OsVersion;              // kOsVersionUnknown until first determined
};
static_assert(offsetof(DriverServices, RegistryPath) == 8);
static_assert(offsetof(DriverServices, DebugLevel) == 24);
static_assert(offsetof(DriverServices, OsVersion) == 40);
static_assert(sizeof(DriverServices) == 48);

// Set by DriverEntry before anything else runs.
extern StationGlobals* g_StationGlobals;
extern DriverServices* g_DriverServices;

}  // namespace vorn::station
