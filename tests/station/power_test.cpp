// The station through system sleep and wake on the chip model: the tick and the worker stop
// before the device leaves D0 and start again on its return without the first-run work; a
// device request waits for every request in progress; the wait-wake request is armed,
// cancelled and wakes the system; a device that leaves the bus while asleep goes cleanly.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/kernel/power.h"
#include "protocol/guids.h"
#include "sim/chip/station_device.h"
#include "tests/station/station_machine.h"

namespace vorn::station::testing {
namespace {

namespace pnp = kernel::pnp;
namespace power = kernel::power;

constexpr ULONG kFirst = 0x80;

std::vector<WString> EnabledMain() {
  return kernel::interfaces::Enabled(protocol::kMainControlInterfaceGuid);
}

ULONG Count(StationExtension* s) {
  KIRQL irql;
  KeAcquireSpinLock(&s->IoCountLock, &irql);
  ULONG count = s->IoCount;
  KeReleaseSpinLock(&s->IoCountLock, irql);
  return count;
}

// The steps |name| recorded from |from| on.
std::vector<ULONG> Since(const std::vector<ULONG>& all, size_t from) {
  return std::vector<ULONG>(all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())),
                            all.end());
}

// The power requests the station passed to the device below it: minor, type, state.
struct Passed {
  UCHAR minor;
  POWER_STATE_TYPE type;
  ULONG state;
  bool operator==(const Passed&) const = default;
};
void PrintTo(const Passed& p, std::ostream* os) {
  *os << (p.minor == IRP_MN_SET_POWER ? "SET " : p.minor == IRP_MN_QUERY_POWER ? "QUERY " : "WAKE ")
      << (p.type == SystemPowerState ? "S" : "D") << p.state - 1;  // both count from 1
}

std::vector<Passed> PassedTo(DEVICE_OBJECT* lower) {
  std::vector<Passed> out;
  for (const power::CallRecord& c : power::Calls())
    if (c.device == lower && c.minor != IRP_MN_WAIT_WAKE)
      out.push_back({c.minor, c.type,
                     c.type == SystemPowerState ? static_cast<ULONG>(c.state.SystemState)
                                                : static_cast<ULONG>(c.state.DeviceState)});
  return out;
}

// A configuration with the chip's own pipes and remote wake-up allowed.
std::vector<uint8_t> RemoteWakeConfiguration() {
  return chip::StationDevice::MakeConfiguration({{0, {{0x81, 2}, {0x02, 2}, {0x83, 3}}}}, 0xA0);
}

// The request's status, stored last: once it is seen the power manager is done with it.
void RequestDone(DEVICE_OBJECT*, UCHAR, POWER_STATE, PVOID context, IO_STATUS_BLOCK* io) {
  static_cast<std::atomic<NTSTATUS>*>(context)->store(io->Status);
}

NTSTATUS RequestDeviceState(DEVICE_OBJECT* fdo, UCHAR minor, ULONG state) {
  // Left to the request when it does not complete in time.
  auto* done = new std::atomic<NTSTATUS>(STATUS_PENDING);
  POWER_STATE p;
  std::memcpy(&p, &state, sizeof state);  // any number, as a caller may send it
  NTSTATUS status = PoRequestPowerIrp(fdo, minor, p, RequestDone, done, nullptr);
  if (status != STATUS_PENDING) {
    delete done;
    return status;
  }
  // Up to 30 s of real time.
  for (int i = 0; i < 30000 && done->load() == STATUS_PENDING; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  status = done->load();
  if (status != STATUS_PENDING) delete done;
  return status;
}

class PowerTest : public StationMachineTest {
 protected:
  void TearDown() override {
    power::WaitWakeUpsDone();
    if (power::CurrentSystemState() != PowerSystemWorking)
      power::SetSystemState(PowerSystemWorking);
    power::ClearRecords();
    StationMachineTest::TearDown();
  }

  // Attaches |device| with |options| and, when |serving|, waits until its worker serves
  // requests.
  StationExtension* Start(usb::UsbDevice& device, usb::AttachOptions options = {},
                          bool serving = true) {
    Boot();
    if (!bus_) bus_ = std::make_unique<usb::UsbBus>();
    pdo_ = bus_->Attach(device, std::move(options));
    EXPECT_NE(pdo_, nullptr);
    if (!pdo_) return nullptr;
    pnp::WaitIdle();
    node_ = pnp::FindNode(pdo_);
    StationExtension* s = node_ ? Ext(node_) : nullptr;
    EXPECT_NE(s, nullptr);
    if (s && serving) {
      EXPECT_TRUE(WaitFor([&] { return StationDword(kFirst, u"ThdState") == kThdServing; }));
    }
    power::ClearRecords();
    return s;
  }

  size_t HalSteps() const { return Steps(kFirst, u"HalState").size(); }
  size_t ThdSteps() const { return Steps(kFirst, u"ThdState").size(); }

  chip::Chip chip_{chip::MakeProfile({})};
  DEVICE_OBJECT* pdo_ = nullptr;
  pnp::DevNode* node_ = nullptr;
};

struct SleepCase {
  const char* name;
  SYSTEM_POWER_STATE system;
  // The device state the stack reports for |system| (PowerDeviceMaximum: the bus's own).
  DEVICE_POWER_STATE reported;
  DEVICE_POWER_STATE expected;  // the device state the station asks for
};
void PrintTo(const SleepCase& c, std::ostream* os) { *os << c.name; }

class SleepTest : public PowerTest, public ::testing::WithParamInterface<SleepCase> {};

// Sleep stops the tick and the worker (HalState 5, ThdState 10 and 2) before the device leaves
// D0; the return to D0 starts both again (HalState 4, 14; ThdState 1, 3, 8, 9) without a ROM
// update or discovery, and the interface comes back.
TEST_P(SleepTest, StopsTickAndWorkerAndRestartsThemWithoutFirstRunWork) {
  const SleepCase& c = GetParam();
  usb::AttachOptions options;
  if (c.reported != PowerDeviceMaximum)
    options.capabilities = [&c](DEVICE_CAPABILITIES& caps) { caps.DeviceState[c.system] = c.reported; };
  StationExtension* s = Start(chip_, options);
  ASSERT_NE(s, nullptr);
  ASSERT_FALSE(EnabledMain().empty());
  size_t hal = HalSteps(), thd = ThdSteps();

  ASSERT_EQ(power::SetSystemState(c.system), STATUS_SUCCESS);
  EXPECT_EQ(Since(Steps(kFirst, u"HalState"), hal), std::vector<ULONG>{kHalTimerStopped});
  EXPECT_EQ(Since(Steps(kFirst, u"ThdState"), thd), (std::vector<ULONG>{kThdEnding, kThdStopped}));
  EXPECT_EQ(s->TimerRunning, 0);
  EXPECT_EQ(s->WorkerThread, nullptr);
  EXPECT_TRUE(EnabledMain().empty());
  EXPECT_EQ(s->SystemPowerState, static_cast<ULONG>(c.system));
  EXPECT_EQ(s->DevicePowerState, static_cast<ULONG>(c.expected));
  EXPECT_EQ(power::ReportedDeviceState(s->DeviceObject), c.expected);
  // The system request completes just before its count is given back.
  EXPECT_TRUE(WaitFor([&] { return Count(s) == 1; }));
  EXPECT_EQ(s->PendingSystemPowerIrp, nullptr);

  hal = HalSteps();
  thd = ThdSteps();
  chip_.log().Clear();
  ASSERT_EQ(power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(s->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
  EXPECT_EQ(power::ReportedDeviceState(s->DeviceObject), PowerDeviceD0);
  EXPECT_EQ(Since(Steps(kFirst, u"HalState"), hal),
            (std::vector<ULONG>{kHalTimerStarting, kHalWorkerStarting}));
  ASSERT_TRUE(WaitFor([&] { return StationDword(kFirst, u"ThdState") == kThdServing; }));
  EXPECT_EQ(Since(Steps(kFirst, u"ThdState"), thd),
            (std::vector<ULONG>{kThdCreating, kThdRunning, kThdInterface, kThdServing}));
  EXPECT_TRUE(WaitFor([] { return !EnabledMain().empty(); }));
  EXPECT_EQ(s->TimerRunning, 1);
  // No discovery on the return: no function descriptor was asked for.
  for (const chip::LoggedRequest& r : chip_.log().VendorRequests())
    EXPECT_NE(r.setup.bRequest, 0xB1);

  // What went below, in order: each system request, then the device request made for it.
  const ULONG d = c.expected, sx = c.system;
  EXPECT_EQ(PassedTo(s->LowerDeviceObject),
            (std::vector<Passed>{{IRP_MN_QUERY_POWER, SystemPowerState, sx},
                                 {IRP_MN_QUERY_POWER, DevicePowerState, d},
                                 {IRP_MN_SET_POWER, SystemPowerState, sx},
                                 {IRP_MN_SET_POWER, DevicePowerState, d},
                                 {IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking},
                                 {IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0}}));
  EXPECT_TRUE(WaitFor([&] { return Count(s) == 1; }));
  EXPECT_EQ(KeReadStateEvent(&s->RemoveEvent), 0);
}

INSTANTIATE_TEST_SUITE_P(
    States, SleepTest,
    ::testing::Values(
        SleepCase{"S3_to_D2", PowerSystemSleeping3, PowerDeviceMaximum, PowerDeviceD2},
        SleepCase{"S3_to_D3", PowerSystemSleeping3, PowerDeviceD3, PowerDeviceD3},
        SleepCase{"hibernate_to_D3", PowerSystemHibernate, PowerDeviceMaximum, PowerDeviceD3},
        // The device stays in D0 while the system sleeps: the tick and the worker still stop,
        // and the return starts them again.
        SleepCase{"S1_in_D0", PowerSystemSleeping1, PowerDeviceD0, PowerDeviceD0},
        // No state reported for the sleep state: the station takes D3.
        SleepCase{"S3_unreported", PowerSystemSleeping3, PowerDeviceUnspecified, PowerDeviceD3}),
    [](const ::testing::TestParamInfo<SleepCase>& info) { return std::string(info.param.name); });

enum class Phase { kQuery, kSet };
struct HoldCase {
  const char* name;
  Phase phase;
};
void PrintTo(const HoldCase& c, std::ostream* os) { *os << c.name; }

class HoldTest : public PowerTest, public ::testing::WithParamInterface<HoldCase> {};

// A request in progress holds the I/O count (as every control code does while it runs): the
// device request of the sleep waits at the station until it has finished, and only then goes
// down.
TEST_P(HoldTest, DeviceRequestGoesDownOnlyAfterTheRequestInProgressEnds) {
  const HoldCase& c = GetParam();
  StationExtension* s = Start(chip_);
  ASSERT_NE(s, nullptr);
  const UCHAR minor = c.phase == Phase::kQuery ? IRP_MN_QUERY_POWER : IRP_MN_SET_POWER;
  std::atomic<bool> held{false};
  if (c.phase == Phase::kQuery) {
    AcquireIoCount(s);
    held = true;
  }
  int listener = power::AddTransitionListener({[&](SYSTEM_POWER_STATE) {
                                                 if (c.phase == Phase::kSet) {
                                                   AcquireIoCount(s);
                                                   held = true;
                                                 }
                                               },
                                               nullptr});
  std::atomic<NTSTATUS> slept{STATUS_PENDING};
  std::thread sleeper([&] { slept = power::SetSystemState(PowerSystemSleeping3); });

  auto device_request = [&](bool* sent, bool* done) {
    *sent = *done = false;
    for (const power::RequestRecord& r : power::Requests())
      if (r.device == s->DeviceObject && r.minor == minor) *sent = r.sent, *done = r.done;
  };
  auto passed_down = [&] {
    for (const Passed& p : PassedTo(s->LowerDeviceObject))
      if (p.minor == minor && p.type == DevicePowerState) return true;
    return false;
  };
  // The station holds the device request once its dispatch has returned.
  bool sent = false, done = false;
  EXPECT_TRUE(WaitFor([&] {
    device_request(&sent, &done);
    return (held && sent) || done || passed_down();
  }));
  EXPECT_FALSE(done);
  EXPECT_FALSE(passed_down());
  EXPECT_EQ(slept.load(), STATUS_PENDING);
  const size_t before_release = power::Calls().size();
  ReleaseIoCount(s);
  sleeper.join();
  power::RemoveTransitionListener(listener);
  EXPECT_EQ(slept.load(), STATUS_SUCCESS);
  // The device request went below after the release.
  std::vector<power::CallRecord> calls = power::Calls();
  bool after = false;
  for (size_t i = before_release; i < calls.size(); ++i)
    if (calls[i].device == s->LowerDeviceObject && calls[i].minor == minor &&
        calls[i].type == DevicePowerState)
      after = true;
  EXPECT_TRUE(after);
  EXPECT_EQ(s->DevicePowerState, static_cast<ULONG>(PowerDeviceD2));
  EXPECT_TRUE(WaitFor([&] { return Count(s) == 1; }));
  ASSERT_EQ(power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(s->TimerRunning, 1);
}

INSTANTIATE_TEST_SUITE_P(Phases, HoldTest,
                         ::testing::Values(HoldCase{"query", Phase::kQuery},
                                           HoldCase{"set", Phase::kSet}),
                         [](const ::testing::TestParamInfo<HoldCase>& info) {
                           return std::string(info.param.name);
                         });

// A device request that no system request of the station asked for gives back only its own
// reference while it waits: the count never reaches zero and RemoveEvent stays clear, so a
// later REMOVE still waits for requests in progress.
TEST_F(PowerTest, DeviceRequestOfItsOwnGivesBackOnlyItsReference) {
  StationExtension* s = Start(chip_);
  ASSERT_NE(s, nullptr);
  size_t hal = HalSteps();
  ASSERT_EQ(RequestDeviceState(s->DeviceObject, IRP_MN_QUERY_POWER, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&s->RemoveEvent), 0);
  EXPECT_EQ(s->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));  // a query changes nothing
  ASSERT_EQ(RequestDeviceState(s->DeviceObject, IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&s->RemoveEvent), 0);
  EXPECT_TRUE(WaitFor([&] { return Count(s) == 1; }));
  EXPECT_EQ(s->DevicePowerState, static_cast<ULONG>(PowerDeviceD3));
  EXPECT_EQ(s->TimerRunning, 0);
  EXPECT_EQ(Since(Steps(kFirst, u"HalState"), hal), std::vector<ULONG>{kHalTimerStopped});

  // States outside D0-D3 are refused and change nothing.
  for (ULONG bad : {static_cast<ULONG>(PowerDeviceUnspecified), static_cast<ULONG>(PowerDeviceMaximum), 0x40u}) {
    EXPECT_EQ(RequestDeviceState(s->DeviceObject, IRP_MN_SET_POWER, bad), STATUS_INVALID_PARAMETER) << bad;
    EXPECT_EQ(RequestDeviceState(s->DeviceObject, IRP_MN_QUERY_POWER, bad), STATUS_INVALID_PARAMETER) << bad;
  }
  EXPECT_EQ(s->DevicePowerState, static_cast<ULONG>(PowerDeviceD3));
  EXPECT_TRUE(WaitFor([&] { return Count(s) == 1; }));

  ASSERT_EQ(RequestDeviceState(s->DeviceObject, IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(s->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
  EXPECT_EQ(s->TimerRunning, 1);
  EXPECT_TRUE(WaitFor([&] { return StationDword(kFirst, u"ThdState") == kThdServing; }));
  EXPECT_TRUE(WaitFor([&] { return Count(s) == 1; }));
}

// Wait-wake: armed at START, cancelled by a query for a state the device cannot wake from,
// armed again by a query for one it can; a wake from that sleep powers the device up, wakes
// the system and arms the request again.
TEST_F(PowerTest, WaitWakeIsArmedCancelledAndWakesTheSystem) {
  chip::StationDevice device(chip_);
  device.ReplaceDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, RemoteWakeConfiguration());
  StationExtension* s = Start(device);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(s->RemoteWakeup, 1u);
  EXPECT_EQ(s->Capabilities.SystemWake, PowerSystemSleeping3);
  ASSERT_TRUE(WaitFor([&] { return bus_->WaitWakePending(device); }));
  EXPECT_EQ(ArmWaitWake(s), STATUS_DEVICE_BUSY);

  // Hibernation is deeper than the device can wake from: the request is cancelled and, having
  // ended in error, not armed again.
  ASSERT_EQ(power::SetSystemState(PowerSystemHibernate), STATUS_SUCCESS);
  EXPECT_FALSE(bus_->WaitWakePending(device));
  EXPECT_TRUE(WaitFor([&] { return __atomic_load_n(&s->WaitWakeArmed, __ATOMIC_SEQ_CST) == 0; }));
  ASSERT_EQ(power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_FALSE(bus_->WaitWakePending(device));
  EXPECT_EQ(s->WaitWakeIrp, nullptr);

  // S3 can be woken from: its query arms the request again.
  ASSERT_EQ(power::SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
  ASSERT_TRUE(WaitFor([&] { return bus_->WaitWakePending(device); }));
  EXPECT_EQ(s->DevicePowerState, static_cast<ULONG>(PowerDeviceD2));
  EXPECT_EQ(s->TimerRunning, 0);

  size_t hal = HalSteps();
  ASSERT_TRUE(bus_->InjectWake(device));
  EXPECT_TRUE(WaitFor([&] {
    return power::CurrentSystemState() == PowerSystemWorking &&
           __atomic_load_n(&s->DevicePowerState, __ATOMIC_SEQ_CST) == PowerDeviceD0 &&
           bus_->WaitWakePending(device);
  }));
  power::WaitWakeUpsDone();
  EXPECT_EQ(s->SystemPowerState, static_cast<ULONG>(PowerSystemWorking));
  EXPECT_TRUE(WaitFor([&] { return StationDword(kFirst, u"ThdState") == kThdServing; }));
  EXPECT_EQ(s->TimerRunning, 1);
  // Started once, whichever of the two D0 requests (the wake's, the system's) came first.
  EXPECT_EQ(Since(Steps(kFirst, u"HalState"), hal),
            (std::vector<ULONG>{kHalTimerStarting, kHalWorkerStarting}));
  EXPECT_TRUE(WaitFor([&] { return Count(s) == 1; }));
  EXPECT_EQ(ArmWaitWake(s), STATUS_DEVICE_BUSY);
  bus_->Detach(device);
  pnp::WaitIdle();
}

// A station whose start sequence failed has no pipes: the system sleeps and wakes through it,
// its device goes down and comes back, and no tick or worker is started on the return.
TEST_F(PowerTest, FailedStartSleepsAndWakesWithoutTickOrWorker) {
  chip::StationDevice device(chip_);
  // A product string shorter than its own head ends the start sequence.
  device.ReplaceDescriptor(USB_STRING_DESCRIPTOR_TYPE, 2, std::vector<uint8_t>{1, 3, 'V', 0});
  StationExtension* s = Start(device, {}, false);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(Steps(kFirst, u"HalError"), std::vector<ULONG>{kHalStrings});
  size_t hal = HalSteps(), thd = ThdSteps();
  ASSERT_EQ(power::SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(s->DevicePowerState, static_cast<ULONG>(PowerDeviceD2));
  ASSERT_EQ(power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(s->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
  EXPECT_EQ(power::ReportedDeviceState(s->DeviceObject), PowerDeviceD0);
  EXPECT_EQ(s->TimerRunning, 0);
  EXPECT_EQ(s->WorkerThread, nullptr);
  EXPECT_TRUE(Since(Steps(kFirst, u"HalState"), hal).empty());
  EXPECT_TRUE(Since(Steps(kFirst, u"ThdState"), thd).empty());
  EXPECT_TRUE(WaitFor([&] { return Count(s) == 1; }));
  bus_->Detach(device);
  pnp::WaitIdle();
}

// A filter between the bus's PDO and the station that completes device power requests at
// DISPATCH_LEVEL, as a stack may: the station's return to D0 must still start its tick and
// worker, which only PASSIVE_LEVEL allows.
struct DispatchFilter {
  DEVICE_OBJECT* lower;
};
DRIVER_OBJECT* g_station_driver = nullptr;
std::vector<DEVICE_OBJECT*> g_filters;

NTSTATUS CompleteAtDispatch(DEVICE_OBJECT*, IRP* irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  KeLowerIrql(old);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS DispatchFilterDispatch(DEVICE_OBJECT* device, IRP* irp) {
  DEVICE_OBJECT* lower = static_cast<DispatchFilter*>(device->DeviceExtension)->lower;
  IO_STACK_LOCATION* st = IoGetCurrentIrpStackLocation(irp);
  if (st->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(irp);
    if (st->MinorFunction == IRP_MN_SET_POWER && st->Parameters.Power.Type == DevicePowerState) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, CompleteAtDispatch, nullptr, TRUE, TRUE, TRUE);
    } else {
      IoSkipCurrentIrpStackLocation(irp);
    }
    return PoCallDriver(lower, irp);
  }
  bool remove = st->MajorFunction == IRP_MJ_PNP && st->MinorFunction == IRP_MN_REMOVE_DEVICE;
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(lower, irp);
  if (remove) {
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  return status;
}

NTSTATUS DispatchFilterAddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
  DEVICE_OBJECT* fido;
  NTSTATUS s = IoCreateDevice(driver, sizeof(DispatchFilter), nullptr, FILE_DEVICE_UNKNOWN, 0,
                              FALSE, &fido);
  if (!NT_SUCCESS(s)) return s;
  static_cast<DispatchFilter*>(fido->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(fido, pdo);
  // The station detaches from the filter after the filter has deleted itself at REMOVE; the
  // reference keeps the object until the test lets go of it.
  ObReferenceObject(fido);
  g_filters.push_back(fido);
  fido->Flags &= ~DO_DEVICE_INITIALIZING;
  return g_station_driver->DriverExtension->AddDevice(g_station_driver, pdo);
}

NTSTATUS DispatchFilterEntry(DRIVER_OBJECT* driver, PUNICODE_STRING) {
  for (auto& f : driver->MajorFunction) f = DispatchFilterDispatch;
  driver->DriverExtension->AddDevice = DispatchFilterAddDevice;
  return STATUS_SUCCESS;
}

class DispatchLevelTest : public PowerTest {
 protected:
  void TearDown() override {
    PowerTest::TearDown();
    for (DEVICE_OBJECT* d : g_filters) ObDereferenceObject(d);
    g_filters.clear();
    if (filter_) {
      pnp::UnregisterDriver(filter_);
      kernel::UnloadDriver(filter_);
    }
  }
  DRIVER_OBJECT* filter_ = nullptr;
};

TEST_F(DispatchLevelTest, ReturnToD0CompletedAtDispatchLevelStillStartsTickAndWorker) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  g_station_driver = driver_;
  filter_ = kernel::LoadDriver(u"dispatchfilter", DispatchFilterEntry);
  pnp::RegisterDriver(kChipHardwareId, filter_);
  pnp::DevNode* node = Attach(chip_);
  ASSERT_NE(node, nullptr);
  StationExtension* s = Ext(node);
  ASSERT_NE(s, nullptr);
  ASSERT_TRUE(WaitFor([&] { return StationDword(kFirst, u"ThdState") == kThdServing; }));
  ASSERT_EQ(power::SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(s->TimerRunning, 0);
  size_t hal = HalSteps();
  ASSERT_EQ(power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(__atomic_load_n(&s->DevicePowerState, __ATOMIC_SEQ_CST), static_cast<ULONG>(PowerDeviceD0));
  EXPECT_TRUE(WaitFor([&] { return StationDword(kFirst, u"ThdState") == kThdServing; }));
  EXPECT_EQ(Since(Steps(kFirst, u"HalState"), hal),
            (std::vector<ULONG>{kHalTimerStarting, kHalWorkerStarting}));
  EXPECT_TRUE(WaitFor([&] { return Count(s) == 1; }));
  bus_->Detach(chip_);
  pnp::WaitIdle();
}

// The adapter leaves the bus while the system sleeps: the station is removed with its wait-wake
// request cancelled, its tick and worker never restarted, and every block it held freed (the
// fixture checks the tags); the system then wakes without it.
TEST_F(PowerTest, SurpriseRemovalWhilePoweredDown) {
  chip::StationDevice device(chip_);
  device.ReplaceDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, RemoteWakeConfiguration());
  StationExtension* s = Start(device);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(power::SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
  ASSERT_EQ(s->DevicePowerState, static_cast<ULONG>(PowerDeviceD2));
  ASSERT_TRUE(WaitFor([&] { return bus_->WaitWakePending(device); }));
  size_t hal = HalSteps(), thd = ThdSteps();

  bus_->Detach(device);
  pnp::WaitIdle();
  for (pnp::DevNode* n : pnp::AllNodes()) EXPECT_NE(pnp::Info(n).driver, driver_);
  EXPECT_FALSE(bus_->WaitWakePending(device));
  ASSERT_EQ(power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
  kernel::WaitWorkIdle();
  EXPECT_EQ(Since(Steps(kFirst, u"HalState"), hal), std::vector<ULONG>{kHalCleanedUp});
  EXPECT_TRUE(Since(Steps(kFirst, u"ThdState"), thd).empty());
  EXPECT_TRUE(EnabledMain().empty());
}

}  // namespace
}  // namespace vorn::station::testing
