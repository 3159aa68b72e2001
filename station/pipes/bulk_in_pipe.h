// What the bulk-IN pipe tells about itself beyond its operation table: its read credits and
// state, and counts of the messages it read and dropped, for diagnostics and tests.
#pragma once

#include "platform/kernel/base.h"

namespace vorn::station {

// The largest message the pipe hands to a read handler: room for a whole ROM of the largest
// size the chip can report (255 MiB). A header announcing more is read to its end and dropped.
inline constexpr ULONG kMaxBulkInMessageBytes = 256u << 20;

struct BulkInPipeCounters {
  LONG Credits;              // read credits not yet spent
  UCHAR State;               // 0 idle, 1 reading a header, 2 reading a payload
  UCHAR ByInterrupt;         // the BulkInByInterrupt setting the pipe was created with
  ULONG Messages;            // headers read whole
  ULONG DroppedMessages;     // messages read with no channel, or no handler when their header came
  ULONG OversizedMessages;   // messages read and dropped: longer than kMaxBulkInMessageBytes
  ULONG ProtocolErrors;      // reads longer than the header or the payload asked for
};

// Fills |out| from the pipe object of a bulk-IN table. STATUS_INVALID_PARAMETER for a null
// pointer.
NTSTATUS QueryBulkInPipeCounters(PVOID pipe, BulkInPipeCounters* out);

}  // namespace vorn::station
