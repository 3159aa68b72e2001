#include "display/frames/frame_ack.h"

#include <cstring>

namespace vorn::display {
namespace {

// How far below an acknowledged sequence an entry may stand and still be released by it.
constexpr uint32_t kAckWindow = 10;

constexpr uint32_t Next(uint32_t index) { return (index + 1) % kFrameAckEntries; }

bool Full(const FrameAckRing* ring) { return Next(ring->Write) == ring->Read; }

// Half-open ranges; an empty range overlaps nothing.
bool RangesOverlap(uint32_t a, uint32_t n, uint32_t b, uint32_t m) {
  if (n == 0 || m == 0) return false;
  return uint64_t{a} < uint64_t{b} + m && uint64_t{b} < uint64_t{a} + n;
}

}  // namespace

uint32_t InFlightCount(const FrameAckRing* ring) {
  return (ring->Write + kFrameAckEntries - ring->Read) % kFrameAckEntries;
}

bool OverlapsInFlight(const FrameAckRing* ring, uint32_t address, uint32_t length) {
  if (Full(ring)) return true;
  // Every entry is checked, not only the oldest: a payload placed anywhere but directly
  // behind the newest would otherwise be able to land on a younger one.
  for (uint32_t i = ring->Read; i != ring->Write; i = Next(i)) {
    const FrameAckEntry& e = ring->Entries[i];
    if (e.Valid && RangesOverlap(e.Address, e.Length, address, length)) return true;
  }
  return false;
}

bool AddInFlight(FrameAckRing* ring, uint32_t sequence, uint32_t address, uint32_t length) {
  if (OverlapsInFlight(ring, address, length)) return false;
  ring->Entries[ring->Write] = {sequence, address, length, 1};
  ring->Write = Next(ring->Write);
  return true;
}

bool AckFrames(FrameAckRing* ring, uint32_t sequence) {
  bool released = false;
  // Entries stand in send order. The oldest is released when its sequence is the
  // acknowledged one or at most kAckWindow below it; one that is later, further behind, or
  // equal but already cleared ends the walk.
  while (ring->Read != ring->Write) {
    FrameAckEntry& e = ring->Entries[ring->Read];
    const uint32_t behind = sequence - e.Sequence;
    if (behind > kAckWindow || (behind == 0 && !e.Valid)) break;
    released = released || e.Valid;
    e.Valid = 0;
    ring->Read = Next(ring->Read);
  }
  return released;
}

bool AckFramesLocked(SorvikDevice* device, uint32_t sequence) {
  LockUntimed(device, device->AckRing.Lock);
  const bool released = AckFrames(&device->AckRing, sequence);
  Unlock(device, device->AckRing.Lock);
  return released;
}

void ClearFrameAckRing(FrameAckRing* ring) {
  std::memset(ring->Entries, 0, sizeof ring->Entries);
  ring->Read = ring->Write = 0;
}

}  // namespace vorn::display
