// The encode thread's side of a view's staging ring: finding room for the next packet without
// touching the one the send thread may still be reading, and handing a finished packet over.
#pragma once

#include <cstdint>

#include "display/device/device.h"

namespace vorn::display {

enum class StagingResult : uint8_t { Ready, Stopped, TooSmall };

struct StagingSpace {
  uint8_t* Packet;
  uint32_t Space;  // bytes the packet may take from Packet on
};

// Room for a packet of up to |need| bytes at the write position, or at the start of the ring
// when the rest is too short. The packet in flight is never inside the room: after a wrap the
// room ends where it starts, and when that is still too short the call waits until the send
// thread has taken it (or the view's StopEvent is set: Stopped). TooSmall when the ring
// itself is smaller than |need|.
StagingResult ReserveStaging(ViewContext* view, uint64_t need, StagingSpace* out);

// Waits for the view's StopEvent or its ConsumedEvent; false when stopped.
bool WaitConsumed(ViewContext* view);

// Hands the packet at the write position to the send thread: |handoff| gets its offset, the
// write position moves past it (at most to the end of the ring) and ReadyEvent is set. The
// caller has waited for ConsumedEvent.
void HandOff(ViewContext* view, FrameHandoff handoff);

}  // namespace vorn::display
