// The plug-in's own threads per adapter (send thread; the hot-plug thread is in
// display/hotplug/) and per view (encode and cursor threads). Starts and stops are idempotent by the running flags: a start of a
// running thread returns 0 and does nothing; a stop signals the stop event only when the
// thread runs, waits for it without limit, closes its handle and clears it.
#pragma once

#include "display/device/device.h"
#include "display/hotplug/hotplug.h"
#include "platform/win32/thread.h"

namespace vorn::display {

NTSTATUS StartSendThread(SorvikDevice* device);
void StopSendThread(SorvikDevice* device);
// The view's encode thread: started when a mode is set, stopped when it is cleared, at device
// stop and at clean-up. STATUS_UNSUCCESSFUL when the view has no staging buffers or the
// thread cannot be created.
NTSTATUS StartViewThreads(ViewContext* view);
void StopViewThreads(ViewContext* view);
// After the view's encode thread stopped: waits until the send thread took the packet the
// view handed off last; with the send thread stopped, drops that packet (and asks for a full
// refresh) so that no later start sends it.
void SettleViewPacket(ViewContext* view);

// Generic form used by the above.
NTSTATUS StartDeviceThread(DeviceThread* thread, LPTHREAD_START_ROUTINE routine, void* parameter);
void StopDeviceThread(DeviceThread* thread);

}  // namespace vorn::display
