// Trace messages of the encode and send threads: their own source unit, so the numbers do not
// meet those of the other units.
#pragma once

#include <cstdint>

#include "platform/nt/types.h"

namespace vorn::display {

inline constexpr GUID kTraceUnitPipeline = {
    0x8d41c2e7, 0x57a9, 0x4b3e, {0xa1, 0x6c, 0x0f, 0x93, 0xd2, 0x48, 0x7b, 0x25}};

enum PipelineTraceId : uint16_t {
  // Send thread (flag kTraceBringUp).
  kMsgNoSlot = 1,          // view, status
  kMsgNoRingSpace = 2,     // view, length, status
  kMsgSendFailed = 3,      // view, length, status (header and payload written apart)
  kMsgSingleFailed = 4,    // view, length, status (one write)
  kMsgBadHandoff = 5,      // view, PacketKind, format, length
  kMsgBuildFailed = 6,     // view, PacketKind, format, status
  kMsgResync = 7,          // view
  kMsgBadPatch = 8,        // view, width, height
  // Encode thread (flag kTraceEntry).
  kMsgEncodeFailed = 20,   // view, format, status
  kMsgAdaptive = 21,       // timed encodes, ms per encode
  kMsgStagingShort = 22,   // view, need, staging size
  kMsgBlankFailed = 23,    // view, status
  kMsgDropped = 24,        // view, PacketKind
};

}  // namespace vorn::display
