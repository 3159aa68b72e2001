// The send thread: one per adapter. It takes the packets both views' encode threads hand off,
// builds and writes each with the builder its kind and format call for, releases the staging
// space, turns failures into full refreshes of the view, resynchronises both views after the
// rectangle ring overran, and can hold itself to a bandwidth limit.
#pragma once

#include <cstdint>

#include "display/device/device.h"
#include "platform/win32/types.h"

namespace vorn::display {

// The thread routine; its parameter is the SorvikDevice.
DWORD WINAPI SendThread(LPVOID parameter);

// Builds and sends one hand-off of |view| from its staging ring (|staging|, |stagingSize|
// bytes). STATUS_UNSUCCESSFUL for a kind or format no builder takes and for a packet that
// does not lie inside the staging ring; else the builder's status.
NTSTATUS SendHandoff(ViewContext* view, uint8_t* staging, uint32_t stagingSize,
                     const FrameHandoff& handoff, uint8_t flags);

// Milliseconds to sleep after a pass that took |elapsedTicks| of a |frequency| counter and
// handled last a packet of |lastLength| bytes, under a limit of |limit| x 1,000,000 bytes a
// second (0 and 255: no limit).
uint32_t PacingSleepMs(uint8_t limit, uint64_t elapsedTicks, uint64_t frequency,
                       uint32_t lastLength);

}  // namespace vorn::display
