#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "protocol/guids.h"
#include "protocol/vendor_request.h"
#include "sim/chip/station_device.h"
#include "tests/station/station_machine.h"

namespace vorn::station::testing {
namespace {

namespace pnp = kernel::pnp;
namespace registry = kernel::registry;
using chip::Chip;
using chip::ScriptAction;
using chip::ScriptKind;

constexpr ULONG kFirst = 0x80;
constexpr ULONG kExpectedSteps[] = {1, 3, 6, 7, 8, 9, 10, 11, 12, 13, 4, 14};

std::vector<WString> EnabledMain() {
  return kernel::interfaces::Enabled(protocol::kMainControlInterfaceGuid);
}

// Every pipe object begins with its station and its pipe's information.
struct PipeHead {
  StationExtension* station;
  USBD_PIPE_INFORMATION info;
};

class StationPnpTest : public StationMachineTest {
 protected:
  Chip chip_{chip::MakeProfile({})};
};

TEST_F(StationPnpTest, GoodStartRecordsEveryStepIdentityAndEnablesTheMainInterface) {
  Boot();
  pnp::DevNode* node = Attach(chip_);
  ASSERT_NE(node, nullptr);
  StationExtension* s = Ext(node);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(pnp::Info(node).state, pnp::NodeState::kStarted);
  EXPECT_EQ(ErrorCode(), 0u);
  EXPECT_EQ(s->StationIndex, kFirst);
  EXPECT_EQ(s->FdoState, kFdoStarted);
  EXPECT_TRUE(StationServesRequests(s));
  std::vector<ULONG> steps = Steps(kFirst, u"HalState");
  EXPECT_EQ(steps, std::vector<ULONG>(std::begin(kExpectedSteps), std::end(kExpectedSteps)));
  EXPECT_TRUE(Steps(kFirst, u"HalError").empty());

  WString link;
  ASSERT_TRUE(registry::GetString(StationKey(kFirst), u"DeviceInterface", &link));
  EXPECT_EQ(link, ToWString(s->InterfaceLink1));
  registry::Value latest, context;
  ASSERT_TRUE(registry::GetValue(ParametersPath(), u"LatestStation", &latest));
  EXPECT_EQ(latest.data, std::vector<uint8_t>{kFirst});
  ASSERT_TRUE(registry::GetValue(StationKey(kFirst), u"DeviceContext", &context));
  uint64_t address = 0;
  std::memcpy(&address, context.data.data(), 8);
  EXPECT_EQ(address, reinterpret_cast<uintptr_t>(s));
  WString driver_key;
  EXPECT_TRUE(registry::GetString(StationKey(kFirst), u"DriverKey", &driver_key));
  EXPECT_EQ(driver_key, pnp::Info(node).driver_key);

  // Firmware identity from the chip's profile.
  EXPECT_EQ(StationDword(kFirst, u"BootCodeVersion"), 0x0203u);
  EXPECT_EQ(StationDword(kFirst, u"ImageCodeVersion"), 0x0105u);
  EXPECT_EQ(StationDword(kFirst, u"VendorCmdVersion"), 8u);
  EXPECT_EQ(StationDword(kFirst, u"HwPlatform"), 3u);
  EXPECT_EQ(StationDword(kFirst, u"RomSize"), 8u << 20);
  WString serial;
  EXPECT_TRUE(registry::GetString(StationKey(kFirst), u"SerialNumber", &serial));
  EXPECT_EQ(serial, u"0012-3456-78ABCDEF");
  EXPECT_EQ(s->FeatureFlags[0] & 1, 1);
  EXPECT_EQ(std::memcmp(s->PrjCode, "VS3000", 7), 0);

  // The worker runs and the main control interface is there.
  EXPECT_TRUE(WaitFor([] { return !EnabledMain().empty(); }));
  EXPECT_EQ(EnabledMain(), std::vector<WString>{link});
  EXPECT_TRUE(WaitFor([] { return Steps(kFirst, u"ThdState").back() == kThdServing; }));
  // Every pipe of the chip's interface was created and the URBs went to the right endpoints.
  for (ULONG p : {kControlPipe, kInterruptPipe, kBulkInPipe, kBulkOutPipe})
    EXPECT_NE(s->Pipes[p].Object, nullptr) << p;
  EXPECT_EQ(static_cast<PipeHead*>(s->Pipes[kBulkInPipe].Object)->info.EndpointAddress, 0x81);
  EXPECT_EQ(static_cast<PipeHead*>(s->Pipes[kBulkOutPipe].Object)->info.EndpointAddress, 0x02);
  EXPECT_EQ(static_cast<PipeHead*>(s->Pipes[kInterruptPipe].Object)->info.EndpointAddress, 0x83);
  EXPECT_EQ(static_cast<PipeHead*>(s->Pipes[kBulkOutPipe].Object)->info.MaximumTransferSize,
            g_StationGlobals->MaximumTransferSize);

  bus_.reset();
  pnp::WaitIdle();
  EXPECT_EQ(StationDword(kFirst, u"HalState"), ULONG{kHalCleanedUp});
  ASSERT_TRUE(registry::GetValue(StationKey(kFirst), u"DeviceContext", &context));
  EXPECT_EQ(context.data, std::vector<uint8_t>(8, 0));
  EXPECT_EQ(StationDword(kFirst, u"ThdState"), ULONG{kThdStopped});
  EXPECT_TRUE(EnabledMain().empty());
  EXPECT_EQ(kernel::RunningSystemThreads(), 0);
}

TEST_F(StationPnpTest, AnOldImageReportsNoCommandSetAndGetsZerosInsteadOfErrors) {
  Boot();
  chip::ChipProfile profile = chip::MakeProfile({});
  profile.device_values[chip::kDeviceValueImageCode] = 16;
  Chip chip(profile);
  pnp::DevNode* node = Attach(chip);
  StationExtension* s = Ext(node);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(ErrorCode(), 0u);
  EXPECT_EQ(StationDword(kFirst, u"VendorCmdVersion"), 0u);
  EXPECT_EQ(StationDword(kFirst, u"HwPlatform"), 1u);
  EXPECT_EQ(StationDword(kFirst, u"RomSize"), 0u);
  EXPECT_EQ(s->FeatureFlags[0] & 1, 0);
  WString serial;
  EXPECT_TRUE(registry::GetString(StationKey(kFirst), u"SerialNumber", &serial));
  EXPECT_EQ(serial, u"0000-0000-00000000");
  // Neither the command-set version, the platform, the device id nor the ROM size was asked.
  for (const chip::LoggedRequest& r : chip.log().VendorRequests()) {
    EXPECT_NE(r.setup.bRequest, protocol::ReqReadRomSize);
    if (r.setup.bRequest == protocol::ReqReadDeviceValue) {
      EXPECT_NE(r.setup.wIndex, protocol::DeviceValueVendorCmdVersion);
      EXPECT_NE(r.setup.wIndex, protocol::DeviceValueDeviceId);
      EXPECT_NE(r.setup.wIndex, protocol::DeviceValueHwPlatform);
    }
  }
  // The chip leaves the bus before it goes out of scope: the station's pipes keep reads on it.
  bus_->Detach(chip);
  pnp::WaitIdle();
}

TEST_F(StationPnpTest, ControlPipeAnswersIdentityFromItsCacheAndRetriesCancelledTransfers) {
  Boot();
  pnp::DevNode* node = Attach(chip_);
  StationExtension* s = Ext(node);
  ASSERT_NE(s, nullptr);
  PipeOps& pipe = s->Pipes[kControlPipe];
  constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
  chip_.log().Clear();
  UCHAR buffer[16] = {};
  ULONG transferred = 0, usbd = 0;
  EXPECT_EQ(pipe.ControlTransfer(pipe.Object, kIn, URB_FUNCTION_VENDOR_DEVICE,
                                 protocol::ReqReadDeviceValue, 0, 1, 4, buffer, &transferred,
                                 nullptr, &usbd), STATUS_SUCCESS);
  EXPECT_EQ(transferred, 4u);
  EXPECT_EQ(buffer[0] | buffer[1] << 8, 0x0203);
  EXPECT_EQ(pipe.ControlTransfer(pipe.Object, kIn, URB_FUNCTION_VENDOR_DEVICE,
                                 protocol::ReqReadDeviceValue, 0, 3, 3, buffer, &transferred,
                                 nullptr, &usbd), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(usbd, static_cast<ULONG>(USBD_STATUS_BUFFER_TOO_SMALL));
  EXPECT_EQ(chip_.log().CountVendor(protocol::ReqReadDeviceValue), 0u);  // both from the cache

  // A request that never gets an answer is cancelled at its time-out and tried again, five
  // times in all by default.
  chip_.script().OnRequest(protocol::ReqGetBrightness,
                           ScriptAction{ScriptKind::kTimeOut, ScriptAction::kForever});
  LARGE_INTEGER timeout;
  timeout.QuadPart = -20000000;
  EXPECT_EQ(pipe.ControlTransfer(pipe.Object, kIn, URB_FUNCTION_VENDOR_DEVICE,
                                 protocol::ReqGetBrightness, 0, 0, 1, buffer, &transferred,
                                 &timeout, &usbd), STATUS_CANCELLED);
  EXPECT_EQ(chip_.log().CountVendor(protocol::ReqGetBrightness), 5u);
  EXPECT_EQ(chip_.HeldTransfers(), 0u);
  chip_.script().Clear();
}

// A filter between the bus's PDO and the station: it fails START when asked, so the station
// sees its lower stack refuse to start.
std::atomic<bool> g_fail_lower_start{false};
DRIVER_OBJECT* g_station_driver = nullptr;

struct Filter {
  DEVICE_OBJECT* lower;
};
std::vector<DEVICE_OBJECT*> g_filter_devices;

NTSTATUS FilterDispatch(DEVICE_OBJECT* device, IRP* irp) {
  auto* f = static_cast<Filter*>(device->DeviceExtension);
  IO_STACK_LOCATION* st = IoGetCurrentIrpStackLocation(irp);
  if (st->MajorFunction == IRP_MJ_PNP && st->MinorFunction == IRP_MN_START_DEVICE &&
      g_fail_lower_start) {
    irp->IoStatus.Status = STATUS_DEVICE_NOT_READY;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_DEVICE_NOT_READY;
  }
  DEVICE_OBJECT* lower = f->lower;
  bool remove = st->MajorFunction == IRP_MJ_PNP && st->MinorFunction == IRP_MN_REMOVE_DEVICE;
  if (st->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS s = st->MajorFunction == IRP_MJ_POWER ? PoCallDriver(lower, irp) : IoCallDriver(lower, irp);
  if (remove) {
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  return s;
}

NTSTATUS FilterAddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
  DEVICE_OBJECT* fido;
  NTSTATUS s = IoCreateDevice(driver, sizeof(Filter), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fido);
  if (!NT_SUCCESS(s)) return s;
  static_cast<Filter*>(fido->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(fido, pdo);
  // The station above detaches from the filter after the filter has deleted itself at
  // REMOVE; the reference keeps the object until the test lets go of it.
  ObReferenceObject(fido);
  g_filter_devices.push_back(fido);
  fido->Flags &= ~DO_DEVICE_INITIALIZING;
  return g_station_driver->DriverExtension->AddDevice(g_station_driver, pdo);
}

NTSTATUS FilterEntry(DRIVER_OBJECT* driver, PUNICODE_STRING) {
  for (auto& f : driver->MajorFunction) f = FilterDispatch;
  driver->DriverExtension->AddDevice = FilterAddDevice;
  return STATUS_SUCCESS;
}

struct Failure {
  const char* name;
  ULONG hal_error;  // 0: START itself failed below the station
  std::function<void(Chip&, chip::StationDevice&)> arrange;
};
void PrintTo(const Failure& f, std::ostream* os) { *os << f.name; }

class StationStartFailureTest : public StationMachineTest,
                                public ::testing::WithParamInterface<Failure> {
 protected:
  void TearDown() override {
    ClearFailures();
    StationMachineTest::TearDown();
    for (DEVICE_OBJECT* d : g_filter_devices) ObDereferenceObject(d);
    g_filter_devices.clear();
    if (filter_) {
      pnp::UnregisterDriver(filter_);
      kernel::UnloadDriver(filter_);
    }
    g_fail_lower_start = false;
  }
  static void ClearFailures() {
    registry::FailWritesUnder(registry::kEnumPath, 0);
    for (ULONG tag : kStationTags) kernel::pool::FailAllAllocations(tag, false);
  }
  DRIVER_OBJECT* filter_ = nullptr;
};

TEST_P(StationStartFailureTest, StartCompletesAndTheFailureShowsOnlyInTheRegistry) {
  const Failure& f = GetParam();
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  g_station_driver = driver_;
  filter_ = kernel::LoadDriver(u"lowerfilter", FilterEntry);
  pnp::RegisterDriver(kChipHardwareId, filter_);
  Chip chip(chip::MakeProfile({}));
  chip::StationDevice device(chip);
  f.arrange(chip, device);
  pnp::DevNode* node = Attach(device);
  ASSERT_NE(node, nullptr);
  StationExtension* s = Ext(node);
  ASSERT_NE(s, nullptr);
  ClearFailures();

  EXPECT_EQ(ErrorCode(), f.hal_error == kHalNaming ? 0u : 10u);
  std::vector<ULONG> steps = Steps(kFirst, u"HalState");
  if (f.hal_error == 0) {
    EXPECT_EQ(steps, std::vector<ULONG>{kHalIndexAssigned});  // the start sequence never ran
    EXPECT_EQ(s->FdoState, kFdoNotStarted);
  } else {
    EXPECT_EQ(pnp::Info(node).state, pnp::NodeState::kStarted);  // START itself succeeded
    EXPECT_EQ(Steps(kFirst, u"HalError"), std::vector<ULONG>{f.hal_error});
    EXPECT_EQ(s->FdoState, kFdoStarted);
  }
  if (f.hal_error == kHalNaming) {
    EXPECT_EQ(steps.back(), ULONG{kHalWorkerStarting});
    EXPECT_TRUE(StationServesRequests(s));
  } else {
    if (f.hal_error) {
      EXPECT_EQ(steps.back(), ULONG{kHalCleanedUp});
    }
    EXPECT_FALSE(StationServesRequests(s));
    EXPECT_TRUE(EnabledMain().empty());
    for (const PipeOps& ops : s->Pipes) {
      EXPECT_EQ(ops.Object, nullptr);
      EXPECT_EQ(ops.Destroy, nullptr);
    }
    EXPECT_EQ(s->ProductString, nullptr);
    EXPECT_EQ(s->DriverKey.Buffer, nullptr);
    // No tick and no worker come back without pipes.
    EXPECT_EQ(StartStationTimer(s), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(s->WorkerThread, nullptr);
    EXPECT_EQ(kernel::RunningSystemThreads(), 0);
  }
  // The device leaves the bus before it goes out of scope: a started station's pipes keep
  // reads on it.
  bus_->Detach(device);
  pnp::WaitIdle();
}

std::vector<uint8_t> StringOf(std::vector<uint8_t> bytes) { return bytes; }

INSTANTIATE_TEST_SUITE_P(
    Steps, StationStartFailureTest,
    ::testing::Values(
        Failure{"LowerStart", 0, [](Chip&, chip::StationDevice&) { g_fail_lower_start = true; }},
        Failure{"DriverKey", kHalDriverKey,
                [](Chip&, chip::StationDevice&) {
                  kernel::pool::FailAllAllocations(kTagDriverKey, true);
                }},
        Failure{"ProductStringStalls", kHalStrings,
                [](Chip&, chip::StationDevice& d) {
                  // A one-byte string descriptor: shorter than its own head.
                  d.ReplaceDescriptor(USB_STRING_DESCRIPTOR_TYPE, 2, StringOf({1, 3, 'V', 0}));
                }},
        Failure{"ProductStringEmptyHead", kHalStrings,
                [](Chip&, chip::StationDevice& d) {
                  d.ReplaceDescriptor(USB_STRING_DESCRIPTOR_TYPE, 2, StringOf({0, 3, 0, 0}));
                }},
        Failure{"NamingIsNotFatal", kHalNaming,
                [](Chip&, chip::StationDevice&) {
                  registry::FailWritesUnder(registry::kEnumPath, STATUS_ACCESS_DENIED);
                }},
        Failure{"Pipes", kHalPipes,
                [](Chip&, chip::StationDevice&) {
                  kernel::pool::FailAllAllocations(PoolTag("epbo"), true);
                }},
        Failure{"FirmwareIdentity", kHalFirmware,
                [](Chip& c, chip::StationDevice&) {
                  c.script().OnRequest(protocol::ReqReadDeviceValue,
                                       ScriptAction{ScriptKind::kStall, ScriptAction::kForever});
                }}),
    [](const ::testing::TestParamInfo<Failure>& info) { return info.param.name; });

// One adapter on the bus at a time: an index belongs to the link stored under it, present or
// not, so the order of arrival alone decides.
TEST_F(StationPnpTest, IndexesAreReusedByTheirOwnerAndAnUnreadableOneStaysTaken) {
  Boot();
  auto cycle = [&](const char16_t* instance, ULONG expected) {
    Chip chip(chip::MakeProfile({}));
    pnp::DevNode* node = Attach(chip, instance);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(Ext(node)->StationIndex, expected) << ToNarrow(instance);
    WString link;
    EXPECT_TRUE(registry::GetString(StationKey(expected), u"DeviceInterface", &link));
    EXPECT_EQ(link, ToWString(Ext(node)->InterfaceLink1));
    bus_->Detach(chip);
    pnp::WaitIdle();
  };
  cycle(u"A1", 0x80);
  cycle(u"B2", 0x81);
  cycle(u"A1", 0x80);  // the first comes back on the same port identity: its own index
  // 0x82 holds a value that cannot be read: not a free index either.
  std::vector<uint8_t> huge(4096, 'x');
  registry::SetValue(StationKey(0x82), u"DeviceInterface", REG_SZ, huge.data(), huge.size());
  cycle(u"C3", 0x83);
  cycle(u"B2", 0x81);
}

// Two stations running side by side, each with its own 1 ms tick on the fast clock: they
// take the first two indexes and both come and go cleanly.
TEST_F(StationPnpTest, TwoStationsRunAtOnce) {
  Boot();
  Chip first(chip::MakeProfile({}));
  Chip second(chip::MakeProfile({}));
  pnp::DevNode* a = Attach(first, u"A1");
  pnp::DevNode* b = Attach(second, u"B2");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(Ext(a)->StationIndex, ULONG{0x80});
  EXPECT_EQ(Ext(b)->StationIndex, ULONG{0x81});
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // both ticks running
  bus_->Detach(first);
  bus_->Detach(second);
  pnp::WaitIdle();
}

struct Naming {
  const char* name;
  UCHAR policy;
  bool has_product;
  const char16_t* description;  // null: not written
  const char16_t* friendly;
};
void PrintTo(const Naming& n, std::ostream* os) { *os << n.name; }

class StationNamingTest : public StationMachineTest,
                          public ::testing::WithParamInterface<Naming> {};

TEST_P(StationNamingTest, DeviceNamesFollowThePolicyAndTheProductString) {
  const Naming& n = GetParam();
  SetParameter(u"DeviceNamePolicy", REG_BINARY, &n.policy, 1);
  Boot();
  chip::ChipProfile profile = chip::MakeProfile({});
  profile.has_product_string = n.has_product;
  Chip chip(profile);
  pnp::DevNode* node = Attach(chip);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(ErrorCode(), 0u);
  pnp::NodeInfo info = pnp::Info(node);
  WString key = WString(registry::kEnumPath) + u"\\" + info.device_id + u"\\" + info.instance_id;
  WString text;
  EXPECT_EQ(registry::GetString(key, u"DeviceDesc", &text), n.description != nullptr);
  if (n.description) {
    EXPECT_EQ(text, n.description);
  }
  EXPECT_EQ(registry::GetString(key, u"FriendlyName", &text), n.friendly != nullptr);
  if (n.friendly) {
    EXPECT_EQ(text, n.friendly);
  }
  std::vector<ULONG> steps = Steps(kFirst, u"HalState");
  EXPECT_EQ(std::count(steps.begin(), steps.end(), ULONG{kHalNaming}), n.policy ? 1 : 0);
  const USB_STRING_DESCRIPTOR* product = Ext(node)->ProductString;
  ASSERT_NE(product, nullptr);
  if (!n.has_product) {
    EXPECT_EQ(product->bLength, sizeof kDefaultProduct - 2 + 4);
  }
  bus_->Detach(chip);  // before the chip goes out of scope: the station's pipes read from it
  pnp::WaitIdle();
}

INSTANTIATE_TEST_SUITE_P(
    Policies, StationNamingTest,
    ::testing::Values(Naming{"DefaultWithProduct", 2, true, u"Vorn Station", nullptr},
                      Naming{"DefaultWithoutProduct", 2, false, u"Vorn USB Station", nullptr},
                      Naming{"Both", 3, true, u"Vorn Station", u"Vorn Station"},
                      Naming{"None", 0, true, nullptr, nullptr}),
    [](const ::testing::TestParamInfo<Naming>& info) { return info.param.name; });

TEST(StationNamingLinks, LinksWithoutThreeHashesOrPrefixWriteNothing) {
  const char16_t product[] = u"Vorn Station";
  for (const char16_t* text : {u"\\??\\USB#VID_3A5C&PID_0101#1", u"\\\\.\\USB#A#B#C", u"\\??"}) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, text);
    registry::ClearHistory();
    EXPECT_EQ(ApplyDeviceNamePolicy(nullptr, &link, product, sizeof product - 2, 3), STATUS_SUCCESS);
    EXPECT_TRUE(registry::History().empty());
  }
  UNICODE_STRING empty{};
  EXPECT_EQ(ApplyDeviceNamePolicy(nullptr, &empty, product, 2, 3), STATUS_INVALID_PARAMETER);
}

TEST_F(StationPnpTest, CapabilitiesOfSize60AreRefusedAndNotPassedDown) {
  Boot();
  pnp::DevNode* node = Attach(chip_);
  ASSERT_NE(node, nullptr);
  DEVICE_CAPABILITIES caps{};
  caps.Size = 60;
  caps.Version = 1;
  NTSTATUS s = pnp::Send(node, IRP_MN_QUERY_CAPABILITIES, [&](IO_STACK_LOCATION* st) {
    st->Parameters.DeviceCapabilities.Capabilities = &caps;
  });
  EXPECT_EQ(s, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(caps.Flags, 0u);  // the station sets SurpriseRemovalOK only on the way down

  caps = DEVICE_CAPABILITIES{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  EXPECT_EQ(pnp::QueryCapabilities(node, &caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
  EXPECT_EQ(Ext(node)->Capabilities.DeviceState[PowerSystemHibernate], PowerDeviceD3);
}

TEST_F(StationPnpTest, BusRelationsWithoutChildren) {
  Boot();
  pnp::DevNode* node = Attach(chip_);
  ASSERT_NE(node, nullptr);
  ULONG_PTR info = 0;
  EXPECT_EQ(pnp::Send(node, IRP_MN_QUERY_DEVICE_RELATIONS, [](IO_STACK_LOCATION* st) {
              st->Parameters.QueryDeviceRelations.Type = BusRelations;
            }, &info), STATUS_SUCCESS);
  auto* list = reinterpret_cast<DEVICE_RELATIONS*>(info);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->Count, 0u);
  ExFreePool(list);
}

// Counts the ticks that reach a pipe table.
std::atomic<int> g_kicks{0};
void CountKick(PVOID) { ++g_kicks; }

TEST_F(StationPnpTest, TheTickKicksEveryMillisecondAndStopsWithTheStation) {
  Boot();
  pnp::DevNode* node = Attach(chip_);
  StationExtension* s = Ext(node);
  ASSERT_NE(s, nullptr);
  StopStationTimer(s);
  s->Pipes[kBulkOutPipe].Kick = CountKick;
  g_kicks = 0;
  clock::ScopedSpeed real_time(1);  // a tick per millisecond of real time
  auto begin = std::chrono::steady_clock::now();
  ASSERT_EQ(StartStationTimer(s), STATUS_SUCCESS);
  // Twenty kicks come however busy the machine is; never more than one a millisecond.
  const auto deadline = begin + std::chrono::seconds(30);
  while (g_kicks < 20 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  StopStationTimer(s);
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - begin).count();
  int kicks = g_kicks;
  EXPECT_GE(kicks, 20);
  EXPECT_LE(kicks, elapsed + 2);
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(g_kicks, kicks);  // nothing after the stop
  s->Pipes[kBulkOutPipe].Kick = nullptr;
  std::vector<ULONG> steps = Steps(kFirst, u"HalState");
  EXPECT_EQ(std::vector<ULONG>(steps.end() - 4, steps.end()),
            (std::vector<ULONG>{kHalTimerStopped, kHalTimerStarting, kHalWorkerStarting,
                                kHalTimerStopped}));
  EXPECT_EQ(StationDword(kFirst, u"HalState"), ULONG{kHalTimerStopped});
}

TEST_F(StationPnpTest, SurpriseRemovalEndsAControlTransferInFlight) {
  Boot();
  pnp::DevNode* node = Attach(chip_);
  StationExtension* s = Ext(node);
  ASSERT_NE(s, nullptr);
  chip_.script().OnRequest(protocol::ReqGetBrightness, ScriptAction{ScriptKind::kTimeOut, 1});
  std::atomic<bool> done{false};
  NTSTATUS result = STATUS_PENDING;
  // A control code's request: it holds the I/O count while it waits without limit.
  AcquireIoCount(s);
  std::thread caller([&] {
    UCHAR level = 0;
    ULONG transferred = 0, usbd = 0;
    PipeOps& pipe = s->Pipes[kControlPipe];
    result = pipe.ControlTransfer(pipe.Object, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                  URB_FUNCTION_VENDOR_DEVICE, protocol::ReqGetBrightness, 0, 0, 1,
                                  &level, &transferred, nullptr, &usbd);
    done = true;
    ReleaseIoCount(s);
  });
  while (chip_.HeldTransfers() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  bus_->Detach(chip_);
  caller.join();
  EXPECT_TRUE(done);
  EXPECT_FALSE(NT_SUCCESS(result));
  EXPECT_EQ(chip_.HeldTransfers(), 0u);
  pnp::WaitIdle();
  EXPECT_TRUE(EnabledMain().empty());
  std::vector<std::string> log = pnp::Log();
  EXPECT_NE(std::find(log.begin(), log.end(), "SURPRISE_REMOVAL USB\\VID_3A5C&PID_0101"), log.end());
  EXPECT_NE(std::find(log.begin(), log.end(), "REMOVE USB\\VID_3A5C&PID_0101"), log.end());
}

TEST_F(StationPnpTest, StopWaitsForRequestsInFlightAndStartBringsTheInterfaceBack) {
  Boot();
  pnp::DevNode* node = Attach(chip_);
  StationExtension* s = Ext(node);
  ASSERT_NE(s, nullptr);
  WString link = ToWString(s->InterfaceLink1);
  ASSERT_EQ(pnp::QueryStop(node), STATUS_SUCCESS);
  EXPECT_EQ(s->FdoState, kFdoStopPending);
  EXPECT_FALSE(StationServesRequests(s));
  AcquireIoCount(s);  // a request that got in before the stop
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    pnp::Send(node, IRP_MN_STOP_DEVICE, nullptr);
    stopped = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(stopped);
  EXPECT_NE(s->Pipes[kControlPipe].Object, nullptr);  // still usable by that request
  ReleaseIoCount(s);
  stopper.join();
  EXPECT_EQ(s->FdoState, kFdoStopped);
  EXPECT_EQ(StationDword(kFirst, u"HalState"), ULONG{kHalCleanedUp});
  for (const PipeOps& ops : s->Pipes) EXPECT_EQ(ops.Object, nullptr);
  EXPECT_TRUE(EnabledMain().empty());
  EXPECT_EQ(chip_.Configuration(), 0);  // unconfigured

  // The manager saw a QUERY_STOP; record the stop it did not send itself, then start again.
  ASSERT_EQ(pnp::Send(node, IRP_MN_START_DEVICE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(ErrorCode(), 0u);
  EXPECT_EQ(StationDword(kFirst, u"HalState"), ULONG{kHalWorkerStarting});
  EXPECT_EQ(ToWString(s->InterfaceLink1), link);
  EXPECT_TRUE(WaitFor([] { return !EnabledMain().empty(); }));
  EXPECT_EQ(EnabledMain(), std::vector<WString>{link});
}

TEST_F(StationPnpTest, ConfigurationsWithGapsAndSparePipesAndRemoteWakeUp) {
  Boot();
  chip::StationDevice device(chip_);
  // Interfaces 0 and 2; interface 0 has two bulk IN pipes, an interrupt OUT and the rest.
  device.ReplaceDescriptor(
      USB_CONFIGURATION_DESCRIPTOR_TYPE, 0,
      chip::StationDevice::MakeConfiguration(
          {{0, {{0x85, 2}, {0x81, 2}, {0x04, 3}, {0x02, 2}, {0x83, 3}}}, {2, {{0x86, 2}}}},
          0xA0));
  pnp::DevNode* node = Attach(device);
  ASSERT_NE(node, nullptr);
  StationExtension* s = Ext(node);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(ErrorCode(), 0u);
  EXPECT_EQ(s->RemoteWakeup, 1u);
  EXPECT_EQ(static_cast<PipeHead*>(s->Pipes[kBulkInPipe].Object)->info.EndpointAddress, 0x85);
  EXPECT_EQ(static_cast<PipeHead*>(s->Pipes[kInterruptPipe].Object)->info.EndpointAddress, 0x83);
  EXPECT_EQ(s->InterfaceInfo->NumberOfPipes, 5u);
  EXPECT_TRUE(WaitFor([&] { return bus_->WaitWakePending(device); }));
  EXPECT_EQ(ArmWaitWake(s), STATUS_DEVICE_BUSY);
  bus_.reset();
  pnp::WaitIdle();
  kernel::WaitWorkIdle();
}

}  // namespace
}  // namespace vorn::station::testing
