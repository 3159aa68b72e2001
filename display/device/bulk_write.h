// Synchronous bulk OUT writes in chunks, and the pipe reset after a failed frame send.
#pragma once

#include "display/device/device.h"

namespace vorn::display {

constexpr uint32_t kBulkChunkSize = 0xFFC00;
constexpr uint32_t kBulkTimeoutMs = 10000;

// Writes |length| bytes of |buffer| on |pipe|: chunks of kBulkChunkSize (one chunk of the whole
// length in IpMode), each a request of its own with a 10 s time-out. The first failing chunk
// ends the write with its status; a time-out also resets the device's bulk stream. The
// buffer is only read and must stay valid until the call returns.
NTSTATUS BulkWrite(SorvikDevice* device, WDFUSBPIPE pipe, const void* buffer, uint32_t length);
NTSTATUS ResetPipe(SorvikDevice* device, WDFUSBPIPE pipe);

}  // namespace vorn::display
