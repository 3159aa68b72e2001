// A view's mode list: the device's timing table read at Start, the ModeEntry list built from
// it (filtered by USB speed and rotation, de-duplicated, sorted), the TargetMode array handed
// to the host, the PLL values of a new timing, and the mode set from the host's SetMode.
#pragma once

#include <cstdint>

#include "display/device/device.h"

namespace vorn::display {

// Device tables of widths above this are not shown over USB 2 (bcdUSB below 0x300).
constexpr uint32_t kUsb2MaxWidth = 2048;
constexpr uint32_t kUsb2MaxHeight = 1200;
constexpr uint16_t kUsb3BcdUsb = 0x300;
// Modes wider than this are encoded as YUV.
constexpr uint32_t kYuvPreferredWidth = 2048;

struct PllParameters {
  uint16_t Fraction;     // thousandths
  uint16_t Denominator;  // protocol::kPllDenominator
  uint8_t Multiplier;
  uint8_t DividerCode;
};
// The PLL reference of the device's platform: 48 MHz (platform 0), 40 MHz (1), else 0.
uint32_t PllReferenceMhz(uint32_t hw_platform);
// Clocks outside 25000..400000 kHz, and a reference of 0, fail.
bool ComputePllParameters(uint32_t clock_khz, uint32_t reference_mhz, PllParameters* out);

// Reads the device table and builds the mode list, then allocates the view's staging buffers
// and system frame for its largest offered mode. Any failure gives STATUS_UNSUCCESSFUL.
NTSTATUS RebuildModes(ViewContext* view);
NTSTATUS ReadDeviceTimings(ViewContext* view);
// The device table maxima, over DeviceTimingCount records of view->Modes.DeviceTimings.
void ComputeTimingLimits(ViewContext* view);
NTSTATUS BuildModeList(ViewContext* view);
void SortModes(ModeEntry* modes, uint32_t count);
void ComputeModeLimits(ViewContext* view);
uint32_t CountOfferedModes(const ViewContext* view);
NTSTATUS BuildTargetModes(ViewContext* view);
// The view's mode lock: held while the mode list, the timing cache or the TargetMode array is
// rebuilt, and while GetModes and SetMode read them. Taken before the device lock.
void LockModes(ViewContext* view);
void UnlockModes(ViewContext* view);
// Frees the device table, the mode list and the TargetMode array.
void ReleaseModes(ViewContext* view);

// Bytes of a frame of width x height: rows rounded up to 32 pixels of 4 bytes. Sizes from the
// device or a monitor can be anything: a frame beyond 4 GiB reads as 0xFFFFFFFF, never less.
constexpr uint32_t ModeFrameBytes(uint32_t width, uint32_t height) {
  const uint64_t bytes = uint64_t{height} * ((uint64_t{width} + 31) / 32) * 128;
  return bytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(bytes);
}

// The entry a request of width x height at refresh and bpp is shown in, or null.
const ModeEntry* FindMode(const ViewContext* view, uint32_t width, uint32_t height,
                          uint32_t refresh, uint32_t bpp);
// Stops the view's threads and sets the mode for the request; false when no mode fits (the
// threads then stay stopped).
bool SelectModeAndStart(ViewContext* view, uint32_t width, uint32_t height, uint32_t refresh,
                        uint32_t bpp);

}  // namespace vorn::display
