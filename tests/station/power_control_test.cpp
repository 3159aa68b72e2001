// A control code that is still running when the system goes to sleep: the station's device
// request waits at the station until the code has ended, and goes down only then.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/kernel/power.h"
#include "protocol/byte_order.h"
#include "protocol/control_codes.h"
#include "protocol/vendor_request.h"
#include "tests/station/control_fixture.h"

namespace vorn::station::testing {
namespace {

namespace power = kernel::power;

class PowerControlTest : public ControlTest {
 protected:
  void TearDown() override {
    if (power::CurrentSystemState() != PowerSystemWorking)
      power::SetSystemState(PowerSystemWorking);
    power::ClearRecords();
    ControlTest::TearDown();
  }
  // The chip holds the code's transfer until the station's 2 s time-out cancels it; at a fifth
  // of real speed that is 10 s of real time, the window in which the sleep is seen waiting.
  clock::ScopedSpeed slow_{0.2};
};

TEST_F(PowerControlTest, SleepWaitsForARunningControlCode) {
  StationExtension* s = Start(Profile(8));
  ASSERT_NE(s, nullptr);
  HANDLE h = Open(u"\\display");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  chip_->script().OnRequest(protocol::ReqCursorPosition0, {chip::ScriptKind::kTimeOut, 1});
  UCHAR in[8] = {0, protocol::ReqCursorPosition0};
  protocol::StoreLe16(in + 2, 1);
  UCHAR data[1] = {0};
  std::atomic<bool> code_done{false};
  std::thread code([&] {
    Ioctl(h, protocol::IOCTL_OP_CONTROL_TRANSFER, in, sizeof in, data, 0);
    code_done = true;
  });
  ASSERT_TRUE(WaitFor([&] { return chip_->HeldTransfers() == 1 || code_done; }));
  ASSERT_FALSE(code_done);

  power::ClearRecords();
  std::atomic<NTSTATUS> slept{STATUS_PENDING};
  std::thread sleeper([&] { slept = power::SetSystemState(PowerSystemSleeping3); });
  DEVICE_OBJECT* fdo = s->DeviceObject;
  DEVICE_OBJECT* lower = s->LowerDeviceObject;
  auto parked = [&] {
    for (const power::RequestRecord& r : power::Requests())
      if (r.device == fdo && r.minor == IRP_MN_QUERY_POWER) return r.sent && !r.done;
    return false;
  };
  auto passed_down = [&] {
    for (const power::CallRecord& c : power::Calls())
      if (c.device == lower && c.type == DevicePowerState) return true;
    return false;
  };
  EXPECT_TRUE(WaitFor([&] { return parked() || passed_down() || code_done; }));
  // The code is still running and the device request waits for it.
  EXPECT_FALSE(code_done);
  EXPECT_TRUE(parked());
  EXPECT_FALSE(passed_down());
  EXPECT_EQ(slept.load(), STATUS_PENDING);

  code.join();
  sleeper.join();
  EXPECT_EQ(slept.load(), STATUS_SUCCESS);
  EXPECT_TRUE(passed_down());
  EXPECT_EQ(__atomic_load_n(&s->DevicePowerState, __ATOMIC_SEQ_CST),
            static_cast<ULONG>(PowerDeviceD2));
  ASSERT_EQ(power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_TRUE(WaitFor([] { return Steps(0x80, u"ThdState").back() == kThdServing; }));
  EXPECT_EQ(s->TimerRunning, 1);
  chip_->script().Clear();
}

}  // namespace
}  // namespace vorn::station::testing
