// The DeviceGone rule in its three forms, on a bare station extension: which failures mark the
// device gone, and when the worker is asked to take the interface away.
#include <gtest/gtest.h>

#include <memory>

#include "station/pipes/device_gone.h"
#include "station/station_extension.h"

namespace vorn::station {
namespace {

using Form = DeviceGoneForm;

struct Case {
  const char* name;
  Form form;
  bool gone_before;
  NTSTATUS irp;
  USBD_STATUS urb;
  bool gone_after;
  bool worker_asked;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

constexpr USBD_STATUS kStall = USBD_STATUS_STALL_PID;

const Case kCases[] = {
    // Control: looks at IRP or URB failures, asks the worker only for the transfer that found
    // the device gone.
    {"ControlNotConnected", Form::kControl, false, STATUS_DEVICE_NOT_CONNECTED, 0, true, true},
    {"ControlNoSuchDevice", Form::kControl, false, STATUS_NO_SUCH_DEVICE, 0, true, true},
    {"ControlUrbGoneOnly", Form::kControl, false, STATUS_SUCCESS, USBD_STATUS_DEVICE_GONE, true, true},
    {"ControlStall", Form::kControl, false, STATUS_UNSUCCESSFUL, kStall, false, false},
    {"ControlStallAfterGone", Form::kControl, true, STATUS_UNSUCCESSFUL, kStall, true, false},
    {"ControlSuccess", Form::kControl, false, STATUS_SUCCESS, 0, false, false},
    // Interrupt IN: looks like the control pipe, asks like the bulk pipes.
    {"InterruptUrbGoneOnly", Form::kInterrupt, false, STATUS_SUCCESS, USBD_STATUS_DEVICE_GONE, true, true},
    {"InterruptNoSuchDevice", Form::kInterrupt, false, STATUS_NO_SUCH_DEVICE, 0, true, true},
    {"InterruptStall", Form::kInterrupt, false, STATUS_UNSUCCESSFUL, kStall, false, false},
    {"InterruptStallAfterGone", Form::kInterrupt, true, STATUS_UNSUCCESSFUL, kStall, true, true},
    {"InterruptUrbFailAfterGone", Form::kInterrupt, true, STATUS_SUCCESS, kStall, true, true},
    {"InterruptSuccessAfterGone", Form::kInterrupt, true, STATUS_SUCCESS, 0, true, false},
    // Bulk: only IRP failures count; any URB failure of a transfer not cancelled marks it gone.
    {"BulkStall", Form::kBulk, false, STATUS_UNSUCCESSFUL, kStall, true, true},
    {"BulkCancelled", Form::kBulk, false, STATUS_CANCELLED, USBD_STATUS_CANCELED, false, false},
    {"BulkCancelledAfterGone", Form::kBulk, true, STATUS_CANCELLED, USBD_STATUS_CANCELED, true, true},
    {"BulkCancelledNotConnected", Form::kBulk, false, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_CANCELED, true, true},
    {"BulkUrbGoneIrpSucceeded", Form::kBulk, false, STATUS_SUCCESS, USBD_STATUS_DEVICE_GONE, false, false},
    {"BulkIrpFailUrbSuccess", Form::kBulk, false, STATUS_UNSUCCESSFUL, 0, false, false},
};

class DeviceGoneRuleTest : public ::testing::TestWithParam<Case> {};

TEST_P(DeviceGoneRuleTest, SetsTheFlagAndAsksTheWorkerByForm) {
  const Case& c = GetParam();
  auto station = std::make_unique<StationExtension>();
  KeInitializeEvent(&station->WorkerKickEvent, SynchronizationEvent, FALSE);
  station->DeviceGone = c.gone_before;
  EXPECT_EQ(ApplyDeviceGoneRule(station.get(), c.form, c.irp, c.urb), c.gone_after);
  EXPECT_EQ(station->DeviceGone, c.gone_after);
  EXPECT_EQ(station->InterfaceOffRequest, c.worker_asked);
  EXPECT_EQ(KeReadStateEvent(&station->WorkerKickEvent), c.worker_asked ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Forms, DeviceGoneRuleTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorn::station
