// The plug-in's trace provider: one process-wide control record, registered when the library
// is loaded and unregistered when it is unloaded. Each trace point names its area (one of the
// flags below), its level and its message (a GUID per source unit and a number, see
// trace_messages.h), and carries 4-byte arguments. A point is logged only while a session has
// the provider enabled with its flag set and at a level of at least the point's.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "platform/win32/trace.h"

namespace vorn::display {

enum TraceFlag : uint32_t {
  kTraceOutputEnable = 0x0001,
  kTraceEntry = 0x0004,
  kTraceHost = 0x0008,
  kTraceBringUp = 0x0020,
  kTraceVendor = 0x0040,
  kTraceEdid = 0x0080,
  kTraceInterrupt = 0x0100,
  kTraceUsb = 0x0400,
  kTraceCallbacks = 0x1000,
};

enum TraceLevel : uint8_t {
  kTraceError = 2,
  kTraceWarning = 3,
  kTraceInfo = 4,
};

// Library load and unload.
void RegisterTraceProvider();
void UnregisterTraceProvider();

ULONG WINAPI TraceControlCallback(WMIDPREQUESTCODE code, PVOID context, ULONG* size, PVOID buffer);

bool TraceEnabled(uint32_t flag, uint8_t level);
// Logs one point with its 4-byte arguments.
void TracePoint(uint32_t flag, uint8_t level, const GUID& unit, uint16_t number,
                std::initializer_list<uint32_t> arguments = {});

}  // namespace vorn::display
