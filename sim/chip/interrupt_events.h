// The display events the chip raises on its interrupt IN endpoint, as INT_IN_PACKETs with the
// display flag: a frame acknowledgement echoing a FrameDescriptor sequence, a monitor status
// change of a view, and a refresh request.
#pragma once

#include <cstdint>

#include "sim/chip/interrupt_queue.h"

namespace vorn::chip {

// A display packet carrying |event_bits| (and |sequence| as AckSequence).
InterruptQueue::Packet DisplayEventPacket(uint8_t event_bits, uint32_t sequence = 0);
InterruptQueue::Packet FrameAckPacket(uint32_t sequence);
InterruptQueue::Packet MonitorChangePacket(int view);
InterruptQueue::Packet RefreshPacket();

}  // namespace vorn::chip
