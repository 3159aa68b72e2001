// The trace session of the process, as tests see it: it enables and disables providers by
// control GUID (calling their control callbacks as a real session would) and keeps every
// message sent to it, in order, in memory.
#pragma once

#include <string>
#include <vector>

#include "platform/win32/trace.h"

namespace vorn::win32 {

struct TraceRecord {
  TRACEHANDLE loggerHandle;
  ULONG messageFlags;
  ULONG sequence;      // with TRACE_MESSAGE_SEQUENCE: 1, 2, ... across the session, else 0
  GUID messageGuid;
  USHORT messageNumber;
  int64_t timestamp;   // with TRACE_MESSAGE_TIMESTAMP: performance-counter ticks, else 0
  DWORD threadId;      // with TRACE_MESSAGE_SYSTEMINFO: the calling thread, else 0
  std::vector<std::vector<uint8_t>> arguments;

  // Argument |i| read as a little-endian value of its first (up to) 4 bytes; 0 if absent.
  uint32_t ArgumentU32(size_t i) const;
  // Argument |i| as text, up to its first zero byte; empty if absent.
  std::string ArgumentString(size_t i) const;
};

// Enables (or re-enables with new level and flags) the provider of |controlGuid|. A provider
// registered now is called at once with WMI_ENABLE_EVENTS and the result is its callback's;
// one registered later is called at its registration, and the result is then
// ERROR_WMI_GUID_NOT_FOUND. The logger handle stays the same until the provider is disabled.
ULONG EnableTraceProvider(const GUID& controlGuid, UCHAR level, ULONG flags);
// Disables it: the logger handle becomes invalid, the callback gets WMI_DISABLE_EVENTS.
// ERROR_WMI_GUID_NOT_FOUND when no provider of that GUID is registered.
ULONG DisableTraceProvider(const GUID& controlGuid);
// Sends any other request code to the provider's callback (with the current enable block)
// and returns its result; ERROR_WMI_GUID_NOT_FOUND when none is registered.
ULONG SendTraceRequest(const GUID& controlGuid, WMIDPREQUESTCODE requestCode);
bool IsTraceProviderRegistered(const GUID& controlGuid);

// The sink keeps the latest kMaxTraceRecords messages and counts the ones it dropped.
constexpr size_t kMaxTraceRecords = 65536;
std::vector<TraceRecord> TraceRecords();
size_t DroppedTraceRecords();
void ClearTraceRecords();

}  // namespace vorn::win32
