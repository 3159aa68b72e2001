// What the interrupt-IN pipe tells about itself beyond its operation table: counts of the
// packets it received, kept and dropped, for diagnostics and tests.
#pragma once

#include "platform/kernel/base.h"
#include "station/driver_globals.h"

namespace vorn::station {

// A channel keeps at most this many received packets; the oldest gives way to a new one.
inline constexpr LONG kMaxHeldInterruptPackets = 8;

struct InterruptPipeCounters {
  ULONG Packets;         // 64-byte packets received and parsed
  ULONG ShortReads;      // reads that ended with other than 64 bytes: not a packet, dropped
  ULONG DroppedPackets;  // kept packets that gave way to newer ones on a full channel
  ULONG LostPackets;     // packets that could not be kept (no memory for a job)
  LONG Held[kChannelCount];     // packets kept now, per channel
  LONG Waiting[kChannelCount];  // requests waiting now, per channel
};

// Fills |out| from the pipe object of an interrupt-IN table. STATUS_INVALID_PARAMETER for a
// null pointer.
NTSTATUS QueryInterruptPipeCounters(PVOID pipe, InterruptPipeCounters* out);

}  // namespace vorn::station
