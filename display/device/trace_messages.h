// The plug-in's trace messages: a GUID per source unit and the numbered messages of each, with
// the meaning of their arguments. A trace reader (the simulator's console, a test) formats
// messages with this table.
#pragma once

#include <cstdint>

#include "platform/nt/types.h"

namespace vorn::display {

// Control GUID of the provider.
inline constexpr GUID kTraceControlGuid = {
    0x98f03b06, 0xe5de, 0x4cad, {0x9f, 0xf7, 0x6d, 0x2a, 0xd7, 0xb6, 0x65, 0x25}};

// Library entry, OpenSorvikDevice and the device callbacks.
inline constexpr GUID kTraceUnitEntry = {
    0x3f6c2a81, 0x0d47, 0x4e3b, {0x91, 0x5a, 0x27, 0xc4, 0x8e, 0x60, 0x1b, 0xd2}};
// Device bring-up and settings.
inline constexpr GUID kTraceUnitBringUp = {
    0x7a1e9c54, 0x62b0, 0x4d19, {0xa8, 0x3f, 0x5c, 0x02, 0xe7, 0x94, 0x3d, 0x6b}};
// Vendor requests and bulk transfers.
inline constexpr GUID kTraceUnitTransfers = {
    0xc4d85f02, 0x3b7e, 0x4a61, {0x8e, 0x29, 0xf1, 0x6a, 0x0c, 0x53, 0xb7, 0x48}};
// Views, device memory and the host hand-shake.
inline constexpr GUID kTraceUnitViews = {
    0x1b93e7d6, 0xa45c, 0x4f02, {0xb7, 0x61, 0x9d, 0x3e, 0x28, 0xc0, 0x5f, 0x14}};
// Interrupt reader and plug-in threads.
inline constexpr GUID kTraceUnitThreads = {
    0x5e27b1c9, 0x8f03, 0x46d4, {0x9c, 0x12, 0x4a, 0xb5, 0x76, 0xe8, 0x21, 0x9f}};

enum TraceMessageId : uint16_t {
  // kTraceUnitEntry
  kMsgOpenVersion = 1,        // host VersionMajor, VersionMinor
  kMsgOpenNoTable = 2,        // (none)
  kMsgOpenFailed = 3,         // status
  kMsgOpened = 4,             // ViewCount, GammaSupported
  kMsgStart = 5,              // (none)
  kMsgStartFailed = 6,        // status
  kMsgClose = 7,              // (none)
  kMsgPowerEvent = 8,         // type

  // kTraceUnitBringUp
  kMsgUsbTargetFailed = 20,   // status
  kMsgUsbInfo = 21,           // traits, high speed (0/1), self powered (0/1)
  kMsgUsbInfoFailed = 22,     // status
  kMsgDescriptor = 23,        // bcdUSB, iProduct
  kMsgSelectConfigFailed = 24,  // status
  kMsgNoInterface = 25,       // (none)
  kMsgPipe = 26,              // index, type, endpoint address
  kMsgInitFailed = 27,        // status
  kMsgDeviceValues = 28,      // image code version, HwPlatform, VendorCmdVersion
  kMsgCapabilities = 29,      // CapabilityFlags, descriptor 0, descriptor 1, ViewCount
  kMsgCapabilityFailed = 30,  // status
  kMsgSettings = 31,          // JpegQuality, FlipMode, FormatMode, DetectMonitor
  kMsgMemory = 32,            // FrameMemorySize, view end, ring start, ring end
  kMsgMemoryFailed = 33,      // MiB reported (or 0), status
  kMsgCreateFailed = 34,      // what (kCreate...), status
  kMsgProductString = 35,     // characters published
  kMsgIpDisplayInfo = 36,     // EDID size, mode entries, status (IpMode display information)

  // kTraceUnitTransfers
  kMsgVendorFailed = 40,      // code, wValue, wIndex, status
  kMsgLockTimeout = 41,       // code
  kMsgBulkFailed = 42,        // chunk, length, status
  kMsgResetBulkStream = 43,   // (none)
  kMsgPipeReset = 44,         // status
  kMsgRingSpace = 45,         // length, next allocation, last allocation start, status
  kMsgOutputEnable = 46,      // view, on (0/1)

  // kTraceUnitViews
  kMsgViewAcquired = 60,      // view index, ViewCount, ViewIndex, hDisplayContext, TargetID
  kMsgViewNoMonitor = 61,     // view index
  kMsgLayoutFailed = 62,      // status
  kMsgDirtyRingFull = 63,     // view index, left, top, right, bottom folded into the newest
  kMsgViewReleased = 64,      // view index, hDisplayContext
  kMsgFrameLockTimeout = 65,  // view index
  kMsgEdidFetched = 66,       // view index, EDID size, status
  kMsgAcquireFailed = 67,     // view index, status

  // kTraceUnitThreads
  kMsgReaderFailed = 80,      // status, USBD status
  kMsgReaderEmpty = 81,       // (none)
  kMsgReaderBadLength = 82,   // bytes
  kMsgThreadFailed = 83,      // which
  kMsgMonitorEvent = 84,      // EventBits
  kMsgRefreshEvent = 85,      // (none)
  kMsgReaderGone = 86,        // status: the reader is not restarted
};

// What a kMsgCreateFailed names.
enum TraceCreateWhat : uint32_t {
  kCreateHeap = 1,
  kCreateDeviceLock = 2,
  kCreateViewContext = 3,
  kCreateEvent = 4,
  kCreateAckLock = 5,
};

}  // namespace vorn::display
