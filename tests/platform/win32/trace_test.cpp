#include "platform/win32/trace.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/win32/performance_counter.h"
#include "platform/win32/thread.h"
#include "platform/win32/trace_sink.h"

namespace vorn::win32 {
namespace {

constexpr GUID kControlGuid = {0x98f03b06, 0xe5de, 0x4cad,
                               {0x9f, 0xf7, 0x6d, 0x2a, 0xd7, 0xb6, 0x65, 0x25}};
constexpr GUID kMessageGuid = {0x11111111, 0x2222, 0x3333,
                               {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
constexpr ULONG kAllInfo = TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID |
                           TRACE_MESSAGE_TIMESTAMP | TRACE_MESSAGE_SYSTEMINFO;

// A provider built the way a traced library builds one: a control record the callback keeps,
// and trace points that fire when their flag is enabled at a level at least theirs.
struct Provider {
  TRACEHANDLE registration = 0;
  TRACEHANDLE logger = 0;
  UCHAR level = 0;
  ULONG flags = 0;
  int calls = 0;

  static ULONG WINAPI Control(WMIDPREQUESTCODE code, PVOID context, ULONG* size, PVOID buffer) {
    auto* self = static_cast<Provider*>(context);
    ++self->calls;
    *size = 0;
    if (code == WMI_ENABLE_EVENTS) {
      self->logger = GetTraceLoggerHandle(buffer);
      self->level = GetTraceEnableLevel(self->logger);
      self->flags = GetTraceEnableFlags(self->logger);
    } else if (code == WMI_DISABLE_EVENTS) {
      self->logger = 0;
      self->level = 0;
      self->flags = 0;
    } else {
      return ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
  }

  ULONG Register() {
    TRACE_GUID_REGISTRATION entry{&kControlGuid, nullptr};
    return RegisterTraceGuidsW(Control, this, &kControlGuid, 1, &entry, nullptr, nullptr,
                               &registration);
  }

  bool Point(ULONG flag, UCHAR pointLevel, USHORT number, uint32_t value) {
    if (logger == 0 || (flags & flag) == 0 || level < pointLevel) return false;
    return TraceMessage(logger, kAllInfo, &kMessageGuid, number, &value, sizeof value,
                        nullptr) == ERROR_SUCCESS;
  }
};

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearTraceRecords(); }
  void TearDown() override {
    DisableTraceProvider(kControlGuid);
    if (provider_.registration != 0) UnregisterTraceGuids(provider_.registration);
    ClearTraceRecords();
  }
  Provider provider_;
};

TEST_F(TraceTest, TracePointsFireByEnableFlagsAndLevel) {
  ASSERT_EQ(provider_.Register(), ERROR_SUCCESS);
  struct Case {
    UCHAR enableLevel;
    ULONG enableFlags;
    ULONG pointFlag;
    UCHAR pointLevel;
    bool recorded;
  };
  const Case cases[] = {
      {4, 0x0001, 0x0001, 2, true},  {4, 0x0001, 0x0001, 4, true},
      {3, 0x0100, 0x0100, 4, false}, {3, 0x0100, 0x0100, 3, true},
      {2, 0x1FFF, 0x1000, 3, false}, {2, 0x1FFF, 0x1000, 2, true},
      {4, 0x0020, 0x0040, 2, false}, {4, 0x0424, 0x0400, 4, true},
      {0, 0x1FFF, 0x0008, 2, false},
  };
  USHORT number = 10;
  for (const Case& c : cases) {
    ASSERT_EQ(EnableTraceProvider(kControlGuid, c.enableLevel, c.enableFlags), ERROR_SUCCESS);
    EXPECT_EQ(provider_.level, c.enableLevel);
    EXPECT_EQ(provider_.flags, c.enableFlags);
    size_t before = TraceRecords().size();
    EXPECT_EQ(provider_.Point(c.pointFlag, c.pointLevel, ++number, c.pointFlag), c.recorded);
    std::vector<TraceRecord> records = TraceRecords();
    ASSERT_EQ(records.size(), before + (c.recorded ? 1 : 0)) << "point " << number;
    if (c.recorded) {
      EXPECT_EQ(records.back().messageNumber, number);
      EXPECT_EQ(records.back().ArgumentU32(0), c.pointFlag);
    }
  }
}

TEST_F(TraceTest, DisableInvalidatesTheLoggerHandleAndReEnableGivesANewOne) {
  ASSERT_EQ(provider_.Register(), ERROR_SUCCESS);
  ASSERT_EQ(EnableTraceProvider(kControlGuid, 4, 0x1), ERROR_SUCCESS);
  TRACEHANDLE first = provider_.logger;
  ASSERT_NE(first, 0u);
  ASSERT_EQ(EnableTraceProvider(kControlGuid, 2, 0x4), ERROR_SUCCESS);
  EXPECT_EQ(provider_.logger, first) << "a new level and flags keep the session's handle";
  EXPECT_EQ(provider_.level, 2);

  ASSERT_EQ(DisableTraceProvider(kControlGuid), ERROR_SUCCESS);
  EXPECT_EQ(provider_.logger, 0u);
  EXPECT_FALSE(provider_.Point(0x1, 2, 1, 0));
  uint32_t value = 1;
  EXPECT_EQ(TraceMessage(first, kAllInfo, &kMessageGuid, 1, &value, sizeof value, nullptr),
            ERROR_INVALID_HANDLE) << "a provider that kept the old handle logs nothing";
  EXPECT_EQ(GetTraceEnableLevel(first), 0);
  EXPECT_EQ(GetTraceEnableFlags(first), 0u);
  EXPECT_TRUE(TraceRecords().empty());

  ASSERT_EQ(EnableTraceProvider(kControlGuid, 4, 0x1), ERROR_SUCCESS);
  EXPECT_NE(provider_.logger, first);
  EXPECT_TRUE(provider_.Point(0x1, 4, 2, 0));
  // Any other request goes to the callback; its answer comes back and nothing changes.
  EXPECT_EQ(SendTraceRequest(kControlGuid, static_cast<WMIDPREQUESTCODE>(1)),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(provider_.level, 4);
}

TEST_F(TraceTest, RegistrationLifecycle) {
  // Enabled before the provider registers: the registration itself enables it.
  EXPECT_EQ(EnableTraceProvider(kControlGuid, 3, 0x100), ERROR_WMI_GUID_NOT_FOUND);
  EXPECT_FALSE(IsTraceProviderRegistered(kControlGuid));
  ASSERT_EQ(provider_.Register(), ERROR_SUCCESS);
  EXPECT_TRUE(IsTraceProviderRegistered(kControlGuid));
  EXPECT_EQ(provider_.calls, 1);
  EXPECT_EQ(provider_.level, 3);
  EXPECT_EQ(provider_.flags, 0x100u);

  Provider second;
  EXPECT_EQ(second.Register(), ERROR_INVALID_PARAMETER) << "one provider per control GUID";
  TRACEHANDLE handle = 0;
  EXPECT_EQ(RegisterTraceGuidsW(Provider::Control, &second, &kControlGuid, 0, nullptr, nullptr,
                                nullptr, &handle),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(second.calls, 0);

  ASSERT_EQ(UnregisterTraceGuids(provider_.registration), ERROR_SUCCESS);
  EXPECT_EQ(UnregisterTraceGuids(provider_.registration), ERROR_INVALID_PARAMETER);
  provider_.registration = 0;
  EXPECT_FALSE(IsTraceProviderRegistered(kControlGuid));
  EXPECT_EQ(DisableTraceProvider(kControlGuid), ERROR_WMI_GUID_NOT_FOUND);
  EXPECT_EQ(provider_.calls, 1) << "no callback after unregistration";

  // The control GUID is free again (a library loaded a second time).
  ASSERT_EQ(second.Register(), ERROR_SUCCESS);
  EXPECT_EQ(second.calls, 0) << "disabled meanwhile: no enable at registration";
  EXPECT_EQ(UnregisterTraceGuids(second.registration), ERROR_SUCCESS);
}

TEST_F(TraceTest, RecordsCarryWhatTheMessageFlagsAsk) {
  ASSERT_EQ(provider_.Register(), ERROR_SUCCESS);
  ASSERT_EQ(EnableTraceProvider(kControlGuid, 4, 0xFFFF), ERROR_SUCCESS);
  LARGE_INTEGER before{};
  QueryPerformanceCounter(&before);
  uint32_t status = 0xC00000B5;
  const char text[] = "NULL";
  ASSERT_EQ(TraceMessage(provider_.logger, kAllInfo, &kMessageGuid, 42, &status, sizeof status,
                         text, sizeof text, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(TraceMessage(provider_.logger, TRACE_MESSAGE_GUID, &kMessageGuid, 43, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(TraceMessage(provider_.logger, kAllInfo, &kMessageGuid, 44, nullptr), ERROR_SUCCESS);
  std::vector<uint8_t> huge(kMaxTraceArgumentBytes + 1);
  EXPECT_EQ(TraceMessage(provider_.logger, kAllInfo, &kMessageGuid, 45, huge.data(), huge.size(),
                         nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(TraceMessage(provider_.logger, kAllInfo, nullptr, 46, nullptr),
            ERROR_INVALID_PARAMETER);

  std::vector<TraceRecord> records = TraceRecords();
  ASSERT_EQ(records.size(), 3u);
  const TraceRecord& r = records[0];
  EXPECT_EQ(r.messageGuid, kMessageGuid);
  EXPECT_EQ(r.messageNumber, 42);
  EXPECT_EQ(r.loggerHandle, provider_.logger);
  EXPECT_GE(r.timestamp, before.QuadPart);
  EXPECT_EQ(r.threadId, GetCurrentThreadId());
  ASSERT_EQ(r.arguments.size(), 2u);
  EXPECT_EQ(r.ArgumentU32(0), 0xC00000B5u);
  EXPECT_EQ(r.arguments[1].size(), 5u) << "a string goes with its terminating zero";
  EXPECT_EQ(r.ArgumentString(1), "NULL");
  EXPECT_EQ(r.ArgumentU32(7), 0u);
  // The second message asked for no sequence, time stamp or thread.
  EXPECT_EQ(records[1].sequence, 0u);
  EXPECT_EQ(records[1].timestamp, 0);
  EXPECT_EQ(records[1].threadId, 0u);
  EXPECT_TRUE(records[1].arguments.empty());
  EXPECT_EQ(records[2].sequence, r.sequence + 1);
}

}  // namespace
}  // namespace vorn::win32
