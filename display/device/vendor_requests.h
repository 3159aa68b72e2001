// Vendor control requests to the chip: the two transfer primitives, the device lock that
// serialises every request of an adapter, and one wrapper per request the plug-in sends. Each
// wrapper takes the device lock (5 s at most; without it nothing is sent and the wrapper
// returns STATUS_UNSUCCESSFUL), sends its request or fixed sequence, releases the lock on every
// path and traces a failure. No wrapper retries.
//
// On adapters in IpMode some requests are answered here without touching the device
// (SetOutputEnable, SetTiming, QueryMonitorStatus), and the cursor requests travel as
// IpCommandPackets on bulk OUT endpoint 0x04 without the device lock.
#pragma once

#include <cstdint>

#include "display/device/device.h"

namespace vorn::display {

constexpr uint32_t kVendorTimeoutMs = 2000;
constexpr uint32_t kDeviceLockTimeoutMs = 5000;
constexpr uint32_t kTimingChunkBytes = 512;
constexpr uint32_t kEdidBlockSize = 128;
constexpr uint32_t kEdidMaxBlocks = 8;
constexpr uint32_t kEdidAreaSize = kEdidBlockSize * kEdidMaxBlocks;
constexpr uint32_t kEdidExtensionCountOffset = 126;
constexpr uint32_t kGammaTableSize = 256;
constexpr uint32_t kIpDeviceInfoSize = 8;
// SetOutputEnable's answer in IpMode: a success that tells the caller nothing was sent.
constexpr NTSTATUS kOutputEnableLocal = 1;

NTSTATUS VendorRequestIn(SorvikDevice* device, WDFUSBDEVICE target, uint8_t code, uint16_t value,
                         uint16_t index, void* buffer, uint32_t length, ULONG* transferred);
NTSTATUS VendorRequestOut(SorvikDevice* device, WDFUSBDEVICE target, uint8_t code,
                          uint16_t value, uint16_t index, const void* buffer, uint32_t length);

// The lock is held only when this returns STATUS_SUCCESS.
NTSTATUS AcquireDeviceLock(SorvikDevice* device);
void ReleaseDeviceLock(SorvikDevice* device);

// Bring-up.
NTSTATUS ReadDeviceValue(SorvikDevice* device, uint16_t item, void* buffer, uint16_t length);
NTSTATUS ReadCapabilityBlock(SorvikDevice* device, void* buffer, uint16_t index, uint16_t length);
// One byte, the device's frame memory in MiB. An answer without it fails.
NTSTATUS QueryMemorySize(SorvikDevice* device, uint8_t* mib);
NTSTATUS ResetBulkStream(SorvikDevice* device);
NTSTATUS StartDisplay(SorvikDevice* device);

// One byte, non-zero when a monitor is connected to |view|. An answer without it fails and
// leaves |*connected| as it was. IpMode: 1, without a request.
NTSTATUS QueryMonitorStatus(SorvikDevice* device, uint16_t view, uint8_t* connected);

// Reads |count| records of |record_size| bytes of the view's device timing table into
// |buffer| (count x record_size bytes, zeroed first): one request when the table fits 512
// bytes, else requests of as many whole records as fit 512 bytes, wIndex the byte offset so
// far, stopping at the first failure. A request that moves fewer bytes than asked fails with
// STATUS_DEVICE_DATA_ERROR. A record size of 0 or above 512, or a table whose offsets do not
// fit wIndex, is refused with STATUS_INVALID_PARAMETER before any request.
NTSTATUS ReadTimingTable(SorvikDevice* device, uint16_t view, uint32_t count, void* buffer,
                         uint32_t record_size);

// Reads the EDID of |view|: block 0 (all 128 bytes, summing to 0 modulo 256, else
// STATUS_UNSUCCESSFUL), then extension blocks 1 .. min(byte 126, 7). When block 0 starts with
// the EDID header, min(*size, total) bytes go to |buffer| and *size becomes the total, so a
// caller learns the size it needs; without the header both stay as they were. A failed or
// short extension read fails the call with nothing copied. Returns the last request's status.
NTSTATUS ReadEdidBlocks(SorvikDevice* device, uint16_t view, void* buffer, uint32_t* size);

// Mode set and output. IpMode: SetTiming returns 0 and SetOutputEnable kOutputEnableLocal,
// neither sending anything.
NTSTATUS SetTiming(SorvikDevice* device, uint16_t view, const void* record, uint32_t length);
NTSTATUS SetOutputEnable(SorvikDevice* device, uint16_t view, bool on);

// Gamma: the control (mode 2 on, 0 off) and one 256-byte table (wIndex 0x100, 0x200 or 0x400).
NTSTATUS SendGammaControl(SorvikDevice* device, uint16_t view, uint8_t mode);
NTSTATUS SendGammaTable(SorvikDevice* device, uint16_t view, uint16_t table, const void* bytes);

// Cursor requests of view 0 or 1. Normal mode: vendor requests under the device lock, a shape
// in chunks of at most the control chunk size (wIndex the byte offset) with the lock held for
// the whole upload. IpMode: IpCommandPackets, a shape as one packet with its record behind it,
// or, when the record is too long for the packet's 16-bit length (a 128-pixel image), as two
// packets whose index is the byte offset of their piece (0 and 0x8000).
// A negative coordinate travels as the 16-bit value of c - 1. In normal mode a last chunk whose
// offset would pass 16 bits goes as the last full chunk of the record instead (a 128-pixel
// image's last 512 bytes at offset 65032). A shape whose offsets (normal mode) or pieces
// (IpMode) still do not fit 16 bits is refused with STATUS_INVALID_PARAMETER.
NTSTATUS SendCursorPosition(SorvikDevice* device, uint16_t view, int32_t x, int32_t y);
NTSTATUS SendCursorShow(SorvikDevice* device, uint16_t view, uint16_t slot, uint16_t show);
NTSTATUS SendCursorShape(SorvikDevice* device, uint16_t view, uint16_t slot, const void* record,
                         uint32_t size);

// IpMode bring-up: the 8-byte device information (null buffer: STATUS_INVALID_PARAMETER) and
// the display information record, |length| bytes of it.
NTSTATUS ReadIpDeviceInfo(SorvikDevice* device, void* buffer);
NTSTATUS ReadIpDisplayInfoBytes(SorvikDevice* device, void* buffer, uint32_t length,
                                ULONG* transferred);

}  // namespace vorn::display
