// Bring-up of an adapter with bulk OUT endpoint 0x04 (IpMode): one view, fixed settings in
// place of the registry, device values and capability block, the fixed memory layout, and one
// display information record from the device that carries the EDID and a plain mode list.
//
// The record (little-endian): u32 EDID offset, u32 EDID size, u32 mode list offset, u32 mode
// list size, then the EDID bytes and the mode list (8 bytes a mode: u16 width, u16 height,
// u16 not read, u16 refresh) at their offsets from the start of the record. A record the
// device sends is checked before anything of it is used: both ranges behind the 16-byte head,
// neither wrapping 32 bits, the two not overlapping, the whole no longer than a control
// transfer can carry (0xFFFF bytes), and the answer as long as it says.
#pragma once

#include <cstdint>

#include "display/device/device.h"

namespace vorn::display {

constexpr uint32_t kIpDisplayInfoHeadSize = 16;
constexpr uint32_t kIpModeEntrySize = 8;
// The longest record one control transfer carries (wLength).
constexpr uint32_t kIpDisplayInfoMaxSize = 0xFFFF;
constexpr uint32_t kIpJpegQuality = 95;
constexpr uint8_t kIpJpegSampling = 3;
constexpr uint32_t kIpFlipMode = 1;
constexpr uint32_t kIpVendorCmdVersion = 4;
constexpr uint8_t kIpCursorSlots = 5;

// The head of a display information record.
struct IpDisplayInfoHead {
  uint32_t EdidOffset;
  uint32_t EdidSize;
  uint32_t ModeOffset;
  uint32_t ModeSize;
};

// Decodes and checks the head of a record of |length| bytes (at least the head's 16) and gives
// the record's whole size. STATUS_DATA_ERROR for a short head, a range over the head,
// past 32 bits or over the other range, or a whole above kIpDisplayInfoMaxSize; a mode list of
// size 0 gives STATUS_INSUFFICIENT_RESOURCES, as the device offers nothing to show.
NTSTATUS CheckIpDisplayInfoHead(const uint8_t* bytes, uint32_t length, IpDisplayInfoHead* head,
                                uint32_t* total);

// The bring-up in place of InitDevice on an adapter in IpMode. A display information record
// that fails its checks refuses the adapter with STATUS_DATA_ERROR; one the device does
// not give (a failed request, no modes) leaves view 0 without modes, so Start acquires nothing.
NTSTATUS InitDeviceIpMode(SorvikDevice* device);

// Reads the record (its head, then the whole) and builds view 0's EDID, modes, frame buffers
// and system frame from it. A failed request returns its status; buffers that cannot be had
// give STATUS_UNSUCCESSFUL.
NTSTATUS ReadIpDisplayInfo(SorvikDevice* device);

// Takes the EDID unchanged into the view and builds its mode list from the record's modes:
// duplicates merged, modes that cannot be shown (a zero width, height or refresh, a frame
// larger than the device's view area) left out, the list sorted, the mode maxima computed and
// used as the view's device table maxima. Checks the record as CheckIpDisplayInfoHead does and
// changes nothing when it fails.
NTSTATUS ParseIpDisplayInfo(ViewContext* view, const uint8_t* record, uint32_t length);

// Entry |index| of |entries|: the mode at 32 bits per pixel, offered and valid, with totals of
// 115 % and 105 % of width and height and the pixel rate they give at |refresh|.
void InitIpModeEntry(ModeEntry* entries, uint32_t index, uint32_t width, uint32_t height,
                     uint32_t refresh, uint32_t source);

}  // namespace vorn::display
