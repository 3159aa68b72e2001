// Handles on the station's control interface, opened as an application opens them: the
// sessions chosen by the name after the interface path (exclusive, shared, never bindable)
// opened from two threads at once, closing a shared handle, and creates and codes refused
// while the station is not serving.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>

#include "protocol/control_codes.h"
#include "station/device_extension.h"
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
  HANDLE h = Open(u"", nullptr, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  UCHAR out[40];
  // What the stand-in refuses before anything reaches the driver.
  OVERLAPPED overlapped{};
  DWORD bytes = 7;
  SetLastError(ERROR_SUCCESS);
  EXPECT_FALSE(DeviceIoControl(h, protocol::IOCTL_OP_DDI_GET_DDI_VERSION, nullptr, 0, out, 40,
                               &bytes, &overlapped));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(bytes, 0u);
  IoctlResult r = Ioctl(h, protocol::IOCTL_OP_DDI_GET_DDI_VERSION, nullptr, 0, nullptr, 40);
  EXPECT_EQ(r.error, ERROR_NOACCESS);
  r = Ioctl(h, protocol::IOCTL_OP_DDI_GET_DDI_VERSION, nullptr, 0, out, 40);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 40u);
  Close(h);
  r = Ioctl(h, protocol::IOCTL_OP_DDI_GET_DDI_VERSION, nullptr, 0, out, 40);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(h));
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(CreateFileW(u"\\\\?\\USB#VID_0000&PID_0000#none#{00000000-0000-0000-0000-000000000000}",
                        GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(ControlHandleTest, AHandleClosedWhileAnotherThreadUsesItFailsThatThreadCleanly) {
  ASSERT_NE(Start(Profile()), nullptr);
  HANDLE h = Open(u"\\display");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::atomic<int> calls{0};
  DWORD last_error = ERROR_SUCCESS;
  std::thread user([&] {
    UCHAR out[40];
    for (;;) {
      IoctlResult r = Ioctl(h, protocol::IOCTL_OP_DDI_GET_DDI_VERSION, nullptr, 0, out, 40);
      if (!r.ok) {
        last_error = r.error;
        return;
      }
      ++calls;
    }
  });
  ASSERT_TRUE(WaitFor([&] { return calls.load() >= 5; }));
  Close(h);
  user.join();
  EXPECT_EQ(last_error, ERROR_INVALID_HANDLE);
  EXPECT_EQ(OpenCount(), 0u);
  EXPECT_EQ(station_->Sessions[0].BoundFile, nullptr);
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

TEST_F(ControlHandleTest, WhileAStopIsPendingNoHandleOpensAndNoCodeRuns) {
  ASSERT_NE(Start(Profile()), nullptr);
  HANDLE h = Open(u"");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_EQ(kernel::pnp::QueryStop(node_), STATUS_SUCCESS);
  DWORD error = 0;
  EXPECT_EQ(Open(u"\\roothub", &error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, ERROR_BAD_COMMAND) << "STATUS_INVALID_DEVICE_STATE";
  UCHAR out[40];
  EXPECT_EQ(Ioctl(h, protocol::IOCTL_OP_DDI_GET_DDI_VERSION, nullptr, 0, out, 40).error,
            ERROR_BAD_COMMAND);
  ASSERT_EQ(kernel::pnp::CancelStop(node_), STATUS_SUCCESS);
  EXPECT_NE(Open(u"\\roothub"), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Ioctl(h, protocol::IOCTL_OP_DDI_GET_DDI_VERSION, nullptr, 0, out, 40).ok);
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

NTSTATUS KeepIrp(DEVICE_OBJECT*, IRP*, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

TEST_F(ControlHandleTest, ADeviceThatIsNotTheStationServesNoHandlesAndNoCodes) {
  Boot();
  // A device of the driver whose extension is not the station's, as a child's is not.
  DEVICE_OBJECT* child = nullptr;
  ASSERT_EQ(IoCreateDevice(driver_, sizeof(DeviceExtensionHead), nullptr, FILE_DEVICE_UNKNOWN, 0,
                           FALSE, &child),
            STATUS_SUCCESS);
  child->Flags &= ~DO_DEVICE_INITIALIZING;
  FILE_OBJECT file{};
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
    IRP* irp = IoAllocateIrp(child->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    IO_STACK_LOCATION* st = IoGetNextIrpStackLocation(irp);
    st->MajorFunction = major;
    st->FileObject = &file;
    IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(child, irp), STATUS_INVALID_DEVICE_REQUEST) << int(major);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_INVALID_DEVICE_REQUEST);
    IoFreeIrp(irp);
  }
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK io{};
  UCHAR out[40] = {};
  IRP* irp = IoBuildDeviceIoControlRequest(protocol::IOCTL_OP_DDI_GET_DDI_VERSION, child, nullptr,
                                           0, out, sizeof out, FALSE, &done, &io);
  ASSERT_NE(irp, nullptr);
  IoCallDriver(child, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(io.Status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(io.Information, 0u);
  IoDeleteDevice(child);
}

TEST_F(ControlHandleTest, ACreateWithoutAFileObjectIsRefused) {
  ASSERT_NE(Start(Profile()), nullptr);
  DEVICE_OBJECT* fdo = station_->DeviceObject;
  IRP* irp = IoAllocateIrp(fdo->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CREATE;
  IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(fdo, irp), STATUS_INVALID_PARAMETER);
  IoFreeIrp(irp);
  EXPECT_EQ(OpenCount(), 0u);
}

}  // namespace
}  // namespace vorn::station::testing
