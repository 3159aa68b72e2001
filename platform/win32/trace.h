// The classic event-tracing provider interface: a provider registers a control callback under
// its control GUID, is told through it when a trace session enables or disables it (with
// the session's logger handle, enable level and enable flags) and logs messages, each named
// by a message GUID and number, with TraceMessage. Which trace points fire for a given level
// and flags is the provider's own rule; the session records every message sent to it.
//
// Here the one session is an in-memory sink that tests read and control (trace_sink.h).
#pragma once

#include <cstdarg>

#include "platform/win32/types.h"

using TRACEHANDLE = ULONGLONG;
using PTRACEHANDLE = TRACEHANDLE*;

enum WMIDPREQUESTCODE : uint32_t {
  WMI_ENABLE_EVENTS = 4,
  WMI_DISABLE_EVENTS = 5,
};

// The block the control callback gets as |buffer| on enable and disable; the provider reads
// it through GetTraceLoggerHandle.
struct WNODE_HEADER {
  ULONG BufferSize;
  ULONG ProviderId;
  ULONGLONG HistoricalContext;  // the session's logger handle
  LARGE_INTEGER TimeStamp;
  GUID Guid;  // the provider's control GUID
  ULONG ClientContext;
  ULONG Flags;
};
static_assert(sizeof(WNODE_HEADER) == 48);
static_assert(offsetof(WNODE_HEADER, HistoricalContext) == 8);
static_assert(offsetof(WNODE_HEADER, Guid) == 24);

// The provider's control callback; its result goes back to whoever sent the request.
using WMIDPREQUEST = ULONG(WINAPI*)(WMIDPREQUESTCODE requestCode, PVOID requestContext,
                                    ULONG* bufferSize, PVOID buffer);

struct TRACE_GUID_REGISTRATION {
  LPCGUID Guid;
  HANDLE RegHandle;  // filled in by the registration
};

// Registers the provider: |guidCount| >= 1 entries, resource names may be null and are not
// read. Returns ERROR_SUCCESS and the registration handle, or ERROR_INVALID_PARAMETER (null
// callback, GUID or handle pointer, no entries, or the control GUID registered already).
// When the session has enabled the control GUID already, the callback is told so (enable)
// before the call returns.
ULONG RegisterTraceGuidsW(WMIDPREQUEST requestAddress, PVOID requestContext,
                          LPCGUID controlGuid, ULONG guidCount,
                          TRACE_GUID_REGISTRATION* traceGuidReg, LPCWSTR mofImagePath,
                          LPCWSTR mofResourceName, PTRACEHANDLE registrationHandle);
// ERROR_SUCCESS, or ERROR_INVALID_PARAMETER for an unknown handle. The callback is not called
// again afterwards.
ULONG UnregisterTraceGuids(TRACEHANDLE registrationHandle);

// From the enable or disable block: the session's logger handle (INVALID_HANDLE_VALUE as a
// TRACEHANDLE, with ERROR_INVALID_PARAMETER, for a block that is none).
TRACEHANDLE GetTraceLoggerHandle(PVOID buffer);
// The level and flags the session enabled the provider with; 0 (ERROR_INVALID_HANDLE) for a
// logger handle that is not enabled now.
UCHAR GetTraceEnableLevel(TRACEHANDLE loggerHandle);
ULONG GetTraceEnableFlags(TRACEHANDLE loggerHandle);

// What TraceMessage adds to a message besides its arguments.
constexpr ULONG TRACE_MESSAGE_SEQUENCE = 0x0001;
constexpr ULONG TRACE_MESSAGE_GUID = 0x0002;
constexpr ULONG TRACE_MESSAGE_COMPONENTID = 0x0004;
constexpr ULONG TRACE_MESSAGE_TIMESTAMP = 0x0008;
constexpr ULONG TRACE_MESSAGE_SYSTEMINFO = 0x0020;

// The arguments are pairs (const void* data, size_t length) ended by a null data pointer.
// Returns ERROR_SUCCESS; ERROR_INVALID_HANDLE when |loggerHandle| is not an enabled session
// (nothing is recorded); ERROR_INVALID_PARAMETER for a null message GUID or arguments of
// more than kMaxTraceArgumentBytes in all.
// The message number is taken as a ULONG: the last named parameter before "..." must not be
// of a type that promotes, or reading the arguments is undefined. Numbers above 0xFFFF are
// cut to 16 bits as the record holds them.
ULONG TraceMessage(TRACEHANDLE loggerHandle, ULONG messageFlags, LPCGUID messageGuid,
                   ULONG messageNumber, ...);
ULONG TraceMessageVa(TRACEHANDLE loggerHandle, ULONG messageFlags, LPCGUID messageGuid,
                     USHORT messageNumber, va_list arguments);

namespace vorn::win32 {
constexpr size_t kMaxTraceArgumentBytes = 8 * 1024;
}  // namespace vorn::win32
