// TimingRecord: the 32-byte display timing the device accepts with ReqSetTiming and lists in
// its timing table (ReqReadTimings); TargetMode: the 48-byte mode record handed to the display
// host by GetModes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/byte_order.h"

namespace vorn::protocol {

inline constexpr size_t kTimingRecordSize = 32;
inline constexpr uint16_t kPllDenominator = 1000;

// The form the plug-in holds and sends. The device's own table lists the sync starts one lower
// and the sync widths one higher (see FromDeviceTableForm).
struct TimingRecord {
  uint32_t PixelClockKhz = 0;
  uint8_t RefreshHz = 0;
  uint8_t Reserved5 = 0;
  uint16_t HorizontalTotal = 0;
  uint16_t Width = 0;              // horizontal active
  uint16_t HSyncStart = 0;         // width + front porch + 1
  uint16_t HSyncWidthMinus1 = 0;
  uint16_t VerticalTotal = 0;
  uint16_t Height = 0;             // vertical active
  uint16_t VSyncStart = 0;         // height + front porch + 1
  uint16_t VSyncWidthMinus1 = 0;
  uint16_t PllFraction = 0;        // thousandths
  uint16_t PllDenominator = 0;     // kPllDenominator
  uint8_t PllMultiplier = 0;
  uint8_t PllDividerCode = 0;
  uint8_t HSyncPositive = 0;
  uint8_t VSyncPositive = 0;
  uint8_t Reserved30 = 0;
  uint8_t WidthFlag = 0;           // 2 when the width is 1680 or 1360, else 0
};
static_assert(sizeof(TimingRecord) == kTimingRecordSize);
static_assert(offsetof(TimingRecord, PixelClockKhz) == 0);
static_assert(offsetof(TimingRecord, RefreshHz) == 4);
static_assert(offsetof(TimingRecord, Reserved5) == 5);
static_assert(offsetof(TimingRecord, HorizontalTotal) == 6);
static_assert(offsetof(TimingRecord, Width) == 8);
static_assert(offsetof(TimingRecord, HSyncStart) == 10);
static_assert(offsetof(TimingRecord, HSyncWidthMinus1) == 12);
static_assert(offsetof(TimingRecord, VerticalTotal) == 14);
static_assert(offsetof(TimingRecord, Height) == 16);
static_assert(offsetof(TimingRecord, VSyncStart) == 18);
static_assert(offsetof(TimingRecord, VSyncWidthMinus1) == 20);
static_assert(offsetof(TimingRecord, PllFraction) == 22);
static_assert(offsetof(TimingRecord, PllDenominator) == 24);
static_assert(offsetof(TimingRecord, PllMultiplier) == 26);
static_assert(offsetof(TimingRecord, PllDividerCode) == 27);
static_assert(offsetof(TimingRecord, HSyncPositive) == 28);
static_assert(offsetof(TimingRecord, VSyncPositive) == 29);
static_assert(offsetof(TimingRecord, Reserved30) == 30);
static_assert(offsetof(TimingRecord, WidthFlag) == 31);

constexpr uint8_t TimingWidthFlag(uint16_t width) {
  return (width == 1680 || width == 1360) ? 2 : 0;
}

// Converts a record as the device's table lists it into the form above, and back.
constexpr TimingRecord FromDeviceTableForm(TimingRecord r) {
  r.HSyncStart = static_cast<uint16_t>(r.HSyncStart + 1);
  r.VSyncStart = static_cast<uint16_t>(r.VSyncStart + 1);
  r.HSyncWidthMinus1 = static_cast<uint16_t>(r.HSyncWidthMinus1 - 1);
  r.VSyncWidthMinus1 = static_cast<uint16_t>(r.VSyncWidthMinus1 - 1);
  return r;
}
constexpr TimingRecord ToDeviceTableForm(TimingRecord r) {
  r.HSyncStart = static_cast<uint16_t>(r.HSyncStart - 1);
  r.VSyncStart = static_cast<uint16_t>(r.VSyncStart - 1);
  r.HSyncWidthMinus1 = static_cast<uint16_t>(r.HSyncWidthMinus1 + 1);
  r.VSyncWidthMinus1 = static_cast<uint16_t>(r.VSyncWidthMinus1 + 1);
  return r;
}

inline bool EncodeTimingRecord(const TimingRecord& t, MutableByteSpan out) {
  if (out.size() < kTimingRecordSize) return false;
  uint8_t* p = out.data();
  StoreLe32(p + 0, t.PixelClockKhz);
  p[4] = t.RefreshHz;
  p[5] = t.Reserved5;
  StoreLe16(p + 6, t.HorizontalTotal);
  StoreLe16(p + 8, t.Width);
  StoreLe16(p + 10, t.HSyncStart);
  StoreLe16(p + 12, t.HSyncWidthMinus1);
  StoreLe16(p + 14, t.VerticalTotal);
  StoreLe16(p + 16, t.Height);
  StoreLe16(p + 18, t.VSyncStart);
  StoreLe16(p + 20, t.VSyncWidthMinus1);
  StoreLe16(p + 22, t.PllFraction);
  StoreLe16(p + 24, t.PllDenominator);
  p[26] = t.PllMultiplier;
  p[27] = t.PllDividerCode;
  p[28] = t.HSyncPositive;
  p[29] = t.VSyncPositive;
  p[30] = t.Reserved30;
  p[31] = t.WidthFlag;
  return true;
}

// Reads a record from the first 32 bytes of |in|; false, with |*out| untouched, when |in| is
// shorter or |out| is null.
inline bool DecodeTimingRecord(ByteSpan in, TimingRecord* out) {
  if (!out || in.size() < kTimingRecordSize) return false;
  const uint8_t* p = in.data();
  TimingRecord t;
  t.PixelClockKhz = LoadLe32(p + 0);
  t.RefreshHz = p[4];
  t.Reserved5 = p[5];
  t.HorizontalTotal = LoadLe16(p + 6);
  t.Width = LoadLe16(p + 8);
  t.HSyncStart = LoadLe16(p + 10);
  t.HSyncWidthMinus1 = LoadLe16(p + 12);
  t.VerticalTotal = LoadLe16(p + 14);
  t.Height = LoadLe16(p + 16);
  t.VSyncStart = LoadLe16(p + 18);
  t.VSyncWidthMinus1 = LoadLe16(p + 20);
  t.PllFraction = LoadLe16(p + 22);
  t.PllDenominator = LoadLe16(p + 24);
  t.PllMultiplier = p[26];
  t.PllDividerCode = p[27];
  t.HSyncPositive = p[28];
  t.VSyncPositive = p[29];
  t.Reserved30 = p[30];
  t.WidthFlag = p[31];
  *out = t;
  return true;
}

inline constexpr size_t kTargetModeSize = 48;

// One entry of the mode array the plug-in hands to the host. The array is shared in memory
// with the host, so this layout is the interface (the same on 32-bit and 64-bit builds).
struct TargetMode {
  uint64_t PixelRateHz = 0;
  uint32_t Width = 0;
  uint32_t Height = 0;
  uint32_t HorizontalTotal = 0;
  uint32_t VerticalTotal = 0;
  uint16_t RefreshHz = 0;
  uint8_t BitsPerPixel = 0;  // 32
  uint8_t Valid = 0;         // always 1
  uint8_t Reserved[20] = {};
};
static_assert(sizeof(TargetMode) == kTargetModeSize);
static_assert(offsetof(TargetMode, PixelRateHz) == 0);
static_assert(offsetof(TargetMode, Width) == 8);
static_assert(offsetof(TargetMode, Height) == 12);
static_assert(offsetof(TargetMode, HorizontalTotal) == 16);
static_assert(offsetof(TargetMode, VerticalTotal) == 20);
static_assert(offsetof(TargetMode, RefreshHz) == 24);
static_assert(offsetof(TargetMode, BitsPerPixel) == 26);
static_assert(offsetof(TargetMode, Valid) == 27);
static_assert(offsetof(TargetMode, Reserved) == 28);

}  // namespace vorn::protocol
