// The payloads the device has not yet acknowledged. Each compressed payload placed in the
// rectangle ring is recorded here with the sequence of the message that carried it; the
// interrupt reader releases entries as the device reports sequences back, and the ring may
// not overwrite a recorded payload until then. Every operation on a FrameAckRing is made
// with its Lock held (AckFramesLocked takes it itself).
#pragma once

#include <cstdint>

#include "display/device/device.h"

namespace vorn::display {

// True when sequence |a| comes before |b| or equals it, counting modulo 2^32: sequences
// wrap, and a difference below 2^31 is taken as "later".
constexpr bool SequenceAtOrBefore(uint32_t a, uint32_t b) {
  return static_cast<int32_t>(b - a) >= 0;
}

// True when the ring is full or [address, address + length) overlaps any recorded payload.
bool OverlapsInFlight(const FrameAckRing* ring, uint32_t address, uint32_t length);
// Records a payload; false, with nothing stored, when the ring is full or the range overlaps
// a recorded payload.
bool AddInFlight(FrameAckRing* ring, uint32_t sequence, uint32_t address, uint32_t length);
// Releases, from the oldest, every entry whose sequence is at or before |sequence|; true when
// at least one was released. The caller holds ring->Lock.
bool AckFrames(FrameAckRing* ring, uint32_t sequence);
// The same, taking and releasing the device's acknowledgement lock around it.
bool AckFramesLocked(SorvikDevice* device, uint32_t sequence);
// Empties the ring. The caller holds ring->Lock.
void ClearFrameAckRing(FrameAckRing* ring);
// Entries recorded and not yet released.
uint32_t InFlightCount(const FrameAckRing* ring);

}  // namespace vorn::display
