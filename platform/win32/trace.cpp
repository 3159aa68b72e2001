#include "platform/win32/trace.h"

#include <deque>
#include <mutex>
#include <unordered_map>

#include "platform/nt/clock.h"
#include "platform/win32/thread.h"
#include "platform/win32/trace_sink.h"

namespace vorn::win32 {
namespace {

// A provider the session knows of: registered, enabled, or both.
struct Provider {
  GUID controlGuid{};
  // Registration; callback null when not registered.
  WMIDPREQUEST callback = nullptr;
  PVOID context = nullptr;
  TRACEHANDLE registration = 0;
  // Enable state; logger 0 when not enabled.
  TRACEHANDLE logger = 0;
  UCHAR level = 0;
  ULONG flags = 0;
};

struct Session {
  std::mutex lock;
  std::deque<Provider> providers;  // few, looked up by GUID or handle
  TRACEHANDLE nextHandle = 1;
  ULONG nextSequence = 1;
  std::deque<TraceRecord> records;
  size_t dropped = 0;
};

Session& GetSession() {
  static Session* session = new Session;
  return *session;
}

Provider* FindByGuid(Session& s, const GUID& guid) {
  for (Provider& p : s.providers) {
    if (p.controlGuid == guid) return &p;
  }
  return nullptr;
}

Provider* FindByLogger(Session& s, TRACEHANDLE logger) {
  if (logger == 0) return nullptr;
  for (Provider& p : s.providers) {
    if (p.logger == logger) return &p;
  }
  return nullptr;
}

Provider& FindOrAdd(Session& s, const GUID& guid) {
  if (Provider* p = FindByGuid(s, guid)) return *p;
  s.providers.push_back(Provider{});
  s.providers.back().controlGuid = guid;
  return s.providers.back();
}

// Calls a provider's callback outside the session lock (it calls back into the session).
struct PendingCall {
  WMIDPREQUEST callback = nullptr;
  PVOID context = nullptr;
  WNODE_HEADER block{};
};

PendingCall MakeCall(const Provider& p) {
  PendingCall call;
  call.callback = p.callback;
  call.context = p.context;
  call.block.BufferSize = sizeof(WNODE_HEADER);
  call.block.HistoricalContext = p.logger;
  call.block.TimeStamp.QuadPart = clock::PerformanceCounter();
  call.block.Guid = p.controlGuid;
  return call;
}

ULONG Run(PendingCall& call, WMIDPREQUESTCODE code) {
  ULONG size = call.block.BufferSize;
  return call.callback(code, call.context, &size, &call.block);
}

}  // namespace

ULONG EnableTraceProvider(const GUID& controlGuid, UCHAR level, ULONG flags) {
  Session& s = GetSession();
  PendingCall call;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    Provider& p = FindOrAdd(s, controlGuid);
    if (p.logger == 0) p.logger = s.nextHandle++;
    p.level = level;
    p.flags = flags;
    if (p.callback == nullptr) return ERROR_WMI_GUID_NOT_FOUND;
    call = MakeCall(p);
  }
  return Run(call, WMI_ENABLE_EVENTS);
}

ULONG DisableTraceProvider(const GUID& controlGuid) {
  Session& s = GetSession();
  PendingCall call;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    Provider* p = FindByGuid(s, controlGuid);
    if (p == nullptr) return ERROR_WMI_GUID_NOT_FOUND;
    call = MakeCall(*p);
    p->logger = 0;
    p->level = 0;
    p->flags = 0;
    if (p->callback == nullptr) return ERROR_WMI_GUID_NOT_FOUND;
  }
  return Run(call, WMI_DISABLE_EVENTS);
}

ULONG SendTraceRequest(const GUID& controlGuid, WMIDPREQUESTCODE requestCode) {
  Session& s = GetSession();
  PendingCall call;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    Provider* p = FindByGuid(s, controlGuid);
    if (p == nullptr || p->callback == nullptr) return ERROR_WMI_GUID_NOT_FOUND;
    call = MakeCall(*p);
  }
  return Run(call, requestCode);
}

bool IsTraceProviderRegistered(const GUID& controlGuid) {
  Session& s = GetSession();
  std::lock_guard<std::mutex> guard(s.lock);
  Provider* p = FindByGuid(s, controlGuid);
  return p != nullptr && p->callback != nullptr;
}

std::vector<TraceRecord> TraceRecords() {
  Session& s = GetSession();
  std::lock_guard<std::mutex> guard(s.lock);
  return std::vector<TraceRecord>(s.records.begin(), s.records.end());
}

size_t DroppedTraceRecords() {
  Session& s = GetSession();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.dropped;
}

void ClearTraceRecords() {
  Session& s = GetSession();
  std::lock_guard<std::mutex> guard(s.lock);
  s.records.clear();
  s.dropped = 0;
}

uint32_t TraceRecord::ArgumentU32(size_t i) const {
  if (i >= arguments.size()) return 0;
  uint32_t value = 0;
  const std::vector<uint8_t>& a = arguments[i];
  for (size_t b = 0; b < a.size() && b < 4; ++b) value |= uint32_t{a[b]} << (8 * b);
  return value;
}

std::string TraceRecord::ArgumentString(size_t i) const {
  if (i >= arguments.size()) return {};
  const std::vector<uint8_t>& a = arguments[i];
  size_t n = 0;
  while (n < a.size() && a[n] != 0) ++n;
  return std::string(a.begin(), a.begin() + static_cast<ptrdiff_t>(n));
}

}  // namespace vorn::win32

using namespace vorn::win32;

ULONG RegisterTraceGuidsW(WMIDPREQUEST requestAddress, PVOID requestContext,
                          LPCGUID controlGuid, ULONG guidCount,
                          TRACE_GUID_REGISTRATION* traceGuidReg, LPCWSTR, LPCWSTR,
                          PTRACEHANDLE registrationHandle) {
  if (requestAddress == nullptr || controlGuid == nullptr || guidCount == 0 ||
      traceGuidReg == nullptr || registrationHandle == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  Session& s = GetSession();
  PendingCall call;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    Provider& p = FindOrAdd(s, *controlGuid);
    if (p.callback != nullptr) return ERROR_INVALID_PARAMETER;
    p.callback = requestAddress;
    p.context = requestContext;
    p.registration = s.nextHandle++;
    *registrationHandle = p.registration;
    for (ULONG i = 0; i < guidCount; ++i) {
      traceGuidReg[i].RegHandle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(p.registration));
    }
    if (p.logger == 0) return ERROR_SUCCESS;
    call = MakeCall(p);
  }
  Run(call, WMI_ENABLE_EVENTS);
  return ERROR_SUCCESS;
}

ULONG UnregisterTraceGuids(TRACEHANDLE registrationHandle) {
  Session& s = GetSession();
  std::lock_guard<std::mutex> guard(s.lock);
  for (Provider& p : s.providers) {
    if (p.callback != nullptr && p.registration == registrationHandle) {
      p.callback = nullptr;
      p.context = nullptr;
      p.registration = 0;
      return ERROR_SUCCESS;
    }
  }
  return ERROR_INVALID_PARAMETER;
}

TRACEHANDLE GetTraceLoggerHandle(PVOID buffer) {
  auto* block = static_cast<const WNODE_HEADER*>(buffer);
  if (block == nullptr || block->BufferSize < sizeof(WNODE_HEADER)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return static_cast<TRACEHANDLE>(reinterpret_cast<uintptr_t>(INVALID_HANDLE_VALUE));
  }
  return block->HistoricalContext;
}

UCHAR GetTraceEnableLevel(TRACEHANDLE loggerHandle) {
  Session& s = GetSession();
  std::lock_guard<std::mutex> guard(s.lock);
  Provider* p = FindByLogger(s, loggerHandle);
  if (p == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return p->level;
}

ULONG GetTraceEnableFlags(TRACEHANDLE loggerHandle) {
  Session& s = GetSession();
  std::lock_guard<std::mutex> guard(s.lock);
  Provider* p = FindByLogger(s, loggerHandle);
  if (p == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return p->flags;
}

ULONG TraceMessageVa(TRACEHANDLE loggerHandle, ULONG messageFlags, LPCGUID messageGuid,
                     USHORT messageNumber, va_list arguments) {
  if (messageGuid == nullptr) return ERROR_INVALID_PARAMETER;
  TraceRecord record{};
  record.loggerHandle = loggerHandle;
  record.messageFlags = messageFlags;
  record.messageGuid = *messageGuid;
  record.messageNumber = messageNumber;
  size_t total = 0;
  for (;;) {
    const void* data = va_arg(arguments, const void*);
    if (data == nullptr) break;
    size_t length = va_arg(arguments, size_t);
    if (length > kMaxTraceArgumentBytes - total) return ERROR_INVALID_PARAMETER;
    total += length;
    const auto* bytes = static_cast<const uint8_t*>(data);
    record.arguments.emplace_back(bytes, bytes + length);
  }
  if ((messageFlags & TRACE_MESSAGE_TIMESTAMP) != 0) {
    record.timestamp = vorn::clock::PerformanceCounter();
  }
  if ((messageFlags & TRACE_MESSAGE_SYSTEMINFO) != 0) record.threadId = GetCurrentThreadId();

  Session& s = GetSession();
  std::lock_guard<std::mutex> guard(s.lock);
  if (FindByLogger(s, loggerHandle) == nullptr) return ERROR_INVALID_HANDLE;
  if ((messageFlags & TRACE_MESSAGE_SEQUENCE) != 0) record.sequence = s.nextSequence++;
  if (s.records.size() == kMaxTraceRecords) {
    s.records.pop_front();
    ++s.dropped;
  }
  s.records.push_back(std::move(record));
  return ERROR_SUCCESS;
}

ULONG TraceMessage(TRACEHANDLE loggerHandle, ULONG messageFlags, LPCGUID messageGuid,
                   ULONG messageNumber, ...) {
  va_list arguments;
  va_start(arguments, messageNumber);
  ULONG result = TraceMessageVa(loggerHandle, messageFlags, messageGuid,
                                static_cast<USHORT>(messageNumber), arguments);
  va_end(arguments);
  return result;
}
