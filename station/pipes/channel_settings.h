// Per-channel settings of the bulk pipes: the slice size on USB 2 and USB 3 and the queue
// priority of each of the ten bus channels, read once at load.
#pragma once

#include "station/driver_globals.h"

namespace vorn::station {

// Priorities run 0 (lowest) to 4 (highest), one queue each.
constexpr UCHAR kPriorityQueueCount = 5;

// Stores the channel defaults in |globals|, then reads the Parameters values
// MaxSliceSizeHS<i>, MaxSliceSizeSS<i> (4 bytes) and PriorityLevel<i> (1 byte) over them.
// A slice size of 0 or a priority above 4 keeps the default: the first would leave the
// slicing without progress, the second names no queue, so its requests would never be sent.
void LoadChannelSettings(StationGlobals* globals);

}  // namespace vorn::station
