// Handles on the station's control interface, opened as an application opens them: the
// sessions chosen by the name after the interface path (exclusive, shared, never bindable)
// opened from two threads at once, closing a shared handle, and creates and codes refused
// while the station is not serving.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>

#include "protocol/control_codes.h"
#include "tests/station/control_fixture.h"

namespace vorn::station::testing {
namespace {

struct SessionCase {
  const char* name;
  const char16_t* suffix;
  int opened;    // of two opens at once, how many get a handle
  int bound;     // the session index the winner binds, -1 none
  DWORD error;   // the loser's error
};
void PrintTo(const SessionCase& c, std::ostream* os) { *os << c.name; }

class SessionTest : public ControlTest, public ::testing::WithParamInterface<SessionCase> {};

TEST_P(SessionTest, TwoOpensAtOnce) {
  const SessionCase& c = GetParam();
  ASSERT_NE(Start(Profile()), nullptr);
  HANDLE got[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
  DWORD errors[2] = {};
  {
    std::latch go(2);
    std::thread threads[2];
    for (int t = 0; t < 2; ++t)
      threads[t] = std::thread([&, t] {
        go.arrive_and_wait();
        got[t] = Open(c.suffix, &errors[t]);
      });
    for (std::thread& t : threads) t.join();
  }
  int opened = 0;
  for (int t = 0; t < 2; ++t) {
    if (got[t] != INVALID_HANDLE_VALUE) {
      ++opened;
    } else {
      EXPECT_EQ(errors[t], c.error);
    }
  }
  EXPECT_EQ(opened, c.opened);
  EXPECT_EQ(OpenCount(), ULONG(opened));
  for (ULONG i = 0; i < kFileSessionCount; ++i)
    EXPECT_EQ(station_->Sessions[i].BoundFile != nullptr, int(i) == c.bound) << "session " << i;

  // Once the handles are closed, every session is free and the name opens again.
  for (HANDLE h : got)
    if (h != INVALID_HANDLE_VALUE) Close(h);
  EXPECT_EQ(OpenCount(), 0u);
  for (const FileSession& s : station_->Sessions) EXPECT_EQ(s.BoundFile, nullptr);
  if (c.opened) {
    HANDLE again = Open(c.suffix);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, SessionTest,
    ::testing::Values(
        SessionCase{"DisplayIsExclusive", u"\\display", 1, 0, ERROR_INVALID_PARAMETER},
        SessionCase{"RootHubIsSharedWhateverTheCase", u"\\ROOTHUB", 2, -1, 0},
        SessionCase{"AudioBindsSessionThreeNeverEight", u"\\Audio", 1, 3, ERROR_INVALID_PARAMETER},
        SessionCase{"Nv12", u"\\nV12", 1, 7, ERROR_INVALID_PARAMETER},
        SessionCase{"TheInterfaceAloneBindsNothing", u"", 2, -1, 0},
        SessionCase{"UnknownName", u"\\speaker", 0, -1, ERROR_INVALID_PARAMETER},
        SessionCase{"LongerThanASessionName", u"\\displays", 0, -1, ERROR_INVALID_PARAMETER},
        SessionCase{"BackslashAlone", u"\\", 0, -1, ERROR_INVALID_PARAMETER}),
    [](const ::testing::TestParamInfo<SessionCase>& info) { return info.param.name; });

class ControlHandleTest : public ControlTest {};

TEST_F(ControlHandleTest, ClosingASharedHandleLeavesTheOthersAndTheBoundSessions) {
  ASSERT_NE(Start(Profile()), nullptr);
  HANDLE hub1 = Open(u"\\roothub");
  HANDLE hub2 = Open(u"\\RootHub");
  HANDLE display = Open(u"\\display");
  ASSERT_NE(hub1, INVALID_HANDLE_VALUE);
  ASSERT_NE(hub2, INVALID_HANDLE_VALUE);
  ASSERT_NE(display, INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenCount(), 3u);
  Close(hub1);
  EXPECT_EQ(OpenCount(), 2u);
  EXPECT_NE(station_->Sessions[0].BoundFile, nullptr) << "the display handle keeps its session";
  UCHAR version[40] = {};
  EXPECT_TRUE(Ioctl(hub2, protocol::IOCTL_OP_DDI_GET_DDI_VERSION, nullptr, 0, version, 40).ok);
  DWORD error = 0;
  EXPECT_EQ(Open(u"\\display", &error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
  Close(display);
  EXPECT_EQ(station_->Sessions[0].BoundFile, nullptr);
  Close(hub2);
  EXPECT_EQ(OpenCount(), 0u);
}

TEST_F(ControlHandleTest, AClosedHandleAndAPathWithoutInterfaceFailAsAnApplicationSeesIt) {
  ASSERT_NE(Start(Profile()), nullptr);
  HANDLE h = Open(u"");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  Close(h);
  UCHAR out[40];
  IoctlResult r = Ioctl(h, protocol::IOCTL_OP_DDI_GET_DDI_VERSION, nullptr, 0, out, 40);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(h));
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(CreateFileW(u"\\\\?\\USB#VID_0000&PID_0000#none#{00000000-0000-0000-0000-000000000000}",
                        GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(ControlHandleTest, CodesAreRefusedOnceTheStationIsStopped) {
  ASSERT_NE(Start(Profile()), nullptr);
  HANDLE h = Open(u"\\roothub");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const std::u16string path = Path(u"\\roothub");
  ASSERT_EQ(kernel::pnp::Stop(node_), STATUS_SUCCESS);
  UCHAR out[40] = {};
  IoctlResult r = Ioctl(h, protocol::IOCTL_OP_DDI_GET_DDI_VERSION, nullptr, 0, out, 40);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, ERROR_BAD_COMMAND) << "STATUS_INVALID_DEVICE_STATE";
  EXPECT_EQ(r.bytes, 0u);
  // The worker took the interface away with it: a new open finds nothing.
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  Close(h);
  EXPECT_EQ(OpenCount(), 0u);
}

TEST_F(ControlHandleTest, CodesAreRefusedAfterAFailedStart) {
  ASSERT_NE(Start(Profile()), nullptr);
  HANDLE h = Open(u"");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_EQ(kernel::pnp::Stop(node_), STATUS_SUCCESS);
  // The firmware identity cannot be read: the start sequence fails and cleans up, START
  // itself succeeds.
  chip_->script().OnRequest(protocol::ReqReadDeviceValue,
                            {chip::ScriptKind::kStall, chip::ScriptAction::kForever});
  ASSERT_EQ(kernel::pnp::Start(node_), STATUS_SUCCESS);
  ASSERT_EQ(station_->FdoState, kFdoStarted);
  EXPECT_EQ(ReadFlag(station_->StartSucceeded), 0);
  UCHAR out[40] = {};
  IoctlResult r = Ioctl(h, protocol::IOCTL_OP_DDI_GET_DDI_VERSION, nullptr, 0, out, 40);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, ERROR_BAD_COMMAND);
  UCHAR message[32 + 48] = {};
  r = Ioctl(h, protocol::IOCTL_OP_SEND_MESSAGE, message, 8, message, sizeof message);
  EXPECT_FALSE(r.ok) << "no bulk-OUT pipe behind a failed start";
  EXPECT_EQ(r.error, ERROR_BAD_COMMAND);
  Close(h);
  chip_->script().Clear();
}

}  // namespace
}  // namespace vorn::station::testing
