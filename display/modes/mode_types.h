// A view's modes: the device's timing table, the mode list built from it and marked by the
// monitor's EDID, the EDID's exact timings (the timing cache), the TargetMode array handed to
// the host, and the mode that is set.
#pragma once

#include <cstdint>

#include "protocol/timing.h"

// The host's mode record, as the view callbacks name it.
struct TargetMode : vorn::protocol::TargetMode {};
static_assert(sizeof(TargetMode) == vorn::protocol::kTargetModeSize);

namespace vorn::display {

constexpr uint32_t kTimingCacheEntries = 8;
// Room in the mode array beyond the device's own records, for modes the EDID adds.
constexpr uint32_t kExtraModeEntries = 10;
// The source of a mode the EDID added: it has no device record.
constexpr uint32_t kEdidModeSource = 255;
constexpr uint16_t kModeBitsPerPixel = 32;
constexpr uint32_t kMonitorNameSize = 16;

struct TimingCacheEntry {
  uint8_t Valid;
  uint16_t Width;
  uint16_t Height;
  uint16_t Refresh;
  protocol::TimingRecord Record;
};

struct ModeEntry {
  uint32_t Source;  // index of the device timing record, kEdidModeSource for an EDID timing
  uint16_t Width;   // host side
  uint16_t Height;
  uint16_t BitsPerPixel;
  uint16_t Refresh;
  uint32_t Offered;  // the host will see it
  uint32_t Zero[2];
  uint8_t Valid;     // the entry exists
  uint64_t PixelRateHz;
  uint32_t HorizontalTotal;
  uint32_t VerticalTotal;
};

// One TargetMode array as handed to the host. The host may go on reading an array after the
// list was rebuilt (a monitor plugged in meanwhile), so no array it was given is freed before
// the device closes: every array of the view stays on its list, and a rebuild that yields the
// same modes hands out the existing array again instead of a new one, so the list grows only
// with lists the view has not offered before.
struct alignas(8) HandedModes {
  HandedModes* Next;
  uint32_t Count;
  TargetMode* Modes() { return reinterpret_cast<TargetMode*>(this + 1); }
};
static_assert(sizeof(HandedModes) % alignof(TargetMode) == 0);

struct ViewModes {
  char MonitorName[kMonitorNameSize];  // from the EDID, for tracing only
  TimingCacheEntry TimingCache[kTimingCacheEntries];

  protocol::TimingRecord* DeviceTimings;  // DeviceTimingCount records, held in sending form
  uint16_t TableMaxWidth;                  // after the rotation swap and the USB 2 clamp
  uint16_t TableMaxHeight;

  ModeEntry* Modes;
  uint32_t ModeCount;
  uint32_t ModeCapacity;
  uint32_t OfferedCount;
  uint32_t ModeMaxWidth;  // over the offered entries
  uint32_t ModeMaxHeight;
  uint32_t ModeMaxFrameBytes;
  uint32_t BufferFrameBytes;  // the largest frame the view's buffers were sized for at Start

  TargetMode* Targets;  // the array of the last build, within one of HandedLists
  uint32_t TargetCount;
  HandedModes* HandedLists;  // every array the view has handed out, newest first

  // The mode set last.
  uint32_t Width;
  uint32_t Height;
  uint32_t BitsPerPixel;
  uint32_t DeviceWidth;
  uint32_t DeviceHeight;
  uint8_t Rotation;
  uint32_t OffsetX;
  uint32_t OffsetY;
  uint32_t SystemFramePitch;
  uint8_t OutputWanted;
};

}  // namespace vorn::display
