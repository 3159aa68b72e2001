// The hot-plug thread of an adapter: after each monitor-status announcement of the interrupt
// reader (MonitorStatusEvent) it polls the monitor status of every present view once a second
// until each has read the same four times in a row, then stores the settled reading as the
// view's connected flag and, for a view whose monitor detection is on, hands a connected
// monitor to the host (AcquireHostDisplay) or takes a disconnected one away
// (ReleaseHostDisplay). Not run on adapters in IpMode.
#pragma once

#include <cstdint>

#include "display/device/device.h"
#include "platform/win32/types.h"

namespace vorn::display {

// The poll interval, in milliseconds of the stand-in clock.
constexpr uint32_t kHotplugPollMs = 1000;
// Equal readings in a row that settle a view.
constexpr uint8_t kHotplugSettledCount = 4;

// In IpMode, or with the thread already running: 0 and nothing done. Otherwise sets the
// running flag, resets the stop event and starts the thread; STATUS_UNSUCCESSFUL (the flag
// cleared again) when the thread cannot be created. An announcement that came while no thread
// ran is kept, so it is followed once the thread waits.
NTSTATUS StartHotplug(SorvikDevice* device);
// When running: clears the flag and sets the stop event (a poll in progress ends at its next
// wait); then waits for the thread without limit and closes its handle.
void StopHotplug(SorvikDevice* device);
// The thread body; |parameter| is the SorvikDevice.
DWORD WINAPI HotplugThread(LPVOID parameter);

}  // namespace vorn::display
