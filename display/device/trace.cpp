#include "display/device/trace.h"

#include <atomic>
#include <vector>

#include "display/device/trace_messages.h"

namespace vorn::display {
namespace {

struct TraceProvider {
  TRACEHANDLE Registration = 0;
  std::atomic<TRACEHANDLE> Logger{0};
  std::atomic<uint8_t> Level{0};
  std::atomic<uint32_t> Flags{0};
};

TraceProvider g_provider;
TRACE_GUID_REGISTRATION g_guid_entry = {&kTraceControlGuid, nullptr};

}  // namespace

void RegisterTraceProvider() {
  g_provider.Logger = 0;
  g_provider.Level = 0;
  g_provider.Flags = 0;
  RegisterTraceGuidsW(&TraceControlCallback, nullptr, &kTraceControlGuid, 1, &g_guid_entry,
                      nullptr, nullptr, &g_provider.Registration);
}

void UnregisterTraceProvider() {
  if (g_provider.Registration) UnregisterTraceGuids(g_provider.Registration);
  g_provider.Registration = 0;
}

ULONG WINAPI TraceControlCallback(WMIDPREQUESTCODE code, PVOID, ULONG* size, PVOID buffer) {
  if (size) *size = 0;
  switch (code) {
    case WMI_ENABLE_EVENTS: {
      TRACEHANDLE logger = GetTraceLoggerHandle(buffer);
      g_provider.Level = GetTraceEnableLevel(logger);
      g_provider.Flags = GetTraceEnableFlags(logger);
      g_provider.Logger = logger;
      return ERROR_SUCCESS;
    }
    case WMI_DISABLE_EVENTS:
      g_provider.Logger = 0;
      g_provider.Level = 0;
      g_provider.Flags = 0;
      return ERROR_SUCCESS;
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

bool TraceEnabled(uint32_t flag, uint8_t level) {
  return g_provider.Logger != 0 && (g_provider.Flags & flag) != 0 && g_provider.Level >= level;
}

void TracePoint(uint32_t flag, uint8_t level, const GUID& unit, uint16_t number,
                std::initializer_list<uint32_t> arguments) {
  if (!TraceEnabled(flag, level)) return;
  constexpr ULONG kFlags = TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID | TRACE_MESSAGE_TIMESTAMP |
                           TRACE_MESSAGE_SYSTEMINFO;
  uint32_t values[8] = {};
  size_t n = 0;
  for (uint32_t v : arguments)
    if (n < 8) values[n++] = v;
  const size_t w = sizeof(uint32_t);
  // TraceMessage takes (pointer, length) pairs ended by a null pointer.
  switch (n) {
    case 0: ::TraceMessage(g_provider.Logger, kFlags, &unit, number, nullptr); break;
    case 1: ::TraceMessage(g_provider.Logger, kFlags, &unit, number, &values[0], w, nullptr); break;
    case 2:
      ::TraceMessage(g_provider.Logger, kFlags, &unit, number, &values[0], w, &values[1], w, nullptr);
      break;
    case 3:
      ::TraceMessage(g_provider.Logger, kFlags, &unit, number, &values[0], w, &values[1], w,
                   &values[2], w, nullptr);
      break;
    case 4:
      ::TraceMessage(g_provider.Logger, kFlags, &unit, number, &values[0], w, &values[1], w,
                   &values[2], w, &values[3], w, nullptr);
      break;
    default:
      ::TraceMessage(g_provider.Logger, kFlags, &unit, number, &values[0], w, &values[1], w,
                   &values[2], w, &values[3], w, &values[4], w, nullptr);
      break;
  }
}

}  // namespace vorn::display
