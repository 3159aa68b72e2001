// The monitor's EDID: which device modes a view offers, the monitor's exact timings kept in
// the view's timing cache, and monitor timings the device table lacks appended as modes.
// The EDID is processed in place: an EDID announcing more extensions than it holds is
// rewritten as a base block alone.
#pragma once

#include <cstdint>

#include "display/device/device.h"
#include "display/device/vendor_requests.h"

namespace vorn::display {

// Timings faster than this are never cached or appended.
constexpr uint32_t kMaxEdidPixelClockHz = 300000000;

// Marks the offered modes from |edid| (null or short: the default offer up to 1920 x 1080).
// Never fails; returns 0.
NTSTATUS ProcessEdid(ViewContext* view, uint8_t* edid, uint32_t size);

// The steps of ProcessEdid.
void ParseEdidBlocks(ViewContext* view, uint8_t* edid, uint32_t size);
// Extension |k| is block k + 1 of |edid|, which must hold it.
NTSTATUS ParseCeaExtension(ViewContext* view, const uint8_t* edid, uint32_t k);
// 0 for a good CEA block, STATUS_NOT_SUPPORTED for one of another kind (skipped),
// STATUS_UNSUCCESSFUL for a bad checksum.
NTSTATUS CheckCeaBlock(const uint8_t* block);
void ParseDetailedTiming(ViewContext* view, uint32_t index, const uint8_t* descriptor,
                         bool from_extension);
// |block| points at the data block's header byte; |length| is the payload length.
NTSTATUS HdmiVsdb4kModes(ViewContext* view, const uint8_t* block, uint32_t length);

bool AddTiming(ViewContext* view, uint32_t width, uint32_t height, uint32_t refresh);
bool AddDetailedTiming(ViewContext* view, uint32_t clock_hz, uint32_t width, uint32_t height,
                       uint32_t refresh, uint32_t hblank, uint32_t vblank, uint32_t hfront,
                       uint32_t hsync, uint32_t vfront, uint32_t vsync, uint32_t borders,
                       uint8_t hpol, uint8_t vpol);
void AddDefaultTimings(ViewContext* view);
// The largest offered width and, at that width, the largest height; 0 x 0 when none is.
void PickBestMode(const ViewContext* view, uint32_t* width, uint32_t* height);
void ResetTimingLimits(ViewContext* view);

// The valid cache entry for width x height at refresh, or null.
const TimingCacheEntry* FindCachedTiming(const ViewContext* view, uint32_t width,
                                         uint32_t height, uint32_t refresh);

}  // namespace vorn::display
