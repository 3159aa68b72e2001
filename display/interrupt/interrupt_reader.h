// The interrupt reader: a WDF continuous reader of 64-byte packets on the adapter's interrupt
// pipe, configured once at the end of bring-up and started and stopped with the device. Each
// 64-byte INT_IN_PACKET with the display flag is dispatched on the reader's thread, the first
// matching event bit winning: a frame acknowledgement releases the payloads up to its
// sequence, a monitor change wakes the hot-plug thread, a refresh request flushes the views.
// Reads that fail are retried with a growing pause, except once the device is gone or the
// station is not started: then the reader stays stopped until it is stopped and started again.
#pragma once

#include "display/device/device.h"

namespace vorn::display {

// Without an interrupt pipe: 0, nothing configured.
NTSTATUS ConfigInterruptReader(SorvikDevice* device);
void StartInterruptReader(SorvikDevice* device);
// Stops the pipe's I/O target: the reads in flight are cancelled, and no completion or failure
// routine is running once this returns.
void StopInterruptReader(SorvikDevice* device);

// The device asked for a refresh: every present view sends its whole screen next, and a view
// whose cursor holds a shape uploads it and sends its position again: the device may have lost
// its cursor images, so every cached one is sent again when next shown.
void FlushViews(SorvikDevice* device);

}  // namespace vorn::display
