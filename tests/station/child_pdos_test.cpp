// The station's child devices on a whole station over the chip model: which children the
// function mask and the jacks make, their ids, texts, capabilities, bus information and
// interfaces as the PnP manager and an upper driver see them, their PnP states, and their
// end with the station (removal, surprise removal, eject, an upper driver still holding an
// interface).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/interfaces.h"
#include "protocol/guids.h"
#include "station/bus/child_pdo_extension.h"
#include "station/bus/child_pdos.h"
#include "station/worker.h"
#include "tests/station/child_module.h"
#include "tests/station/station_machine.h"

namespace vorn::station::testing {
namespace {

namespace pnp = kernel::pnp;
using usb::AttachOptions;

constexpr char16_t kDisplayId[] = u"USB\\VID_1D5C&PID_2000";
constexpr char16_t kAudioId[] = u"USB\\VID_1D5C&PID_3000";
constexpr char16_t kMicId[] = u"USB\\VID_1D5C&PID_3001";

// ---------------------------------------------------------------------------------------
// An upper driver of a child, as a function driver above a USB device: it attaches, forwards
// every PnP and power request, and at START asks its PDO for the USB bus interface (version
// 1) with a synchronous request; it gives the interface back at REMOVE unless told to keep it.

struct UpperExt {
  DEVICE_OBJECT* self;
  DEVICE_OBJECT* lower;
  USB_BUS_INTERFACE_USBDI_V1 bus;
  bool has_bus;
};

struct UpperState {
  std::atomic<int> adds{0}, starts{0}, removes{0}, surprise_removals{0};
  std::atomic<bool> keep_interface{false};
  // An interface kept past REMOVE, for the test to give back.
  std::mutex lock;
  std::vector<USB_BUS_INTERFACE_USBDI_V1> kept;
};
UpperState& Upper() {
  static UpperState state;
  return state;
}

NTSTATUS SignalDone(DEVICE_OBJECT*, IRP*, PVOID context) {
  KeSetEvent(static_cast<KEVENT*>(context), 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(DEVICE_OBJECT* lower, IRP* irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
  IoCallDriver(lower, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

// QUERY_INTERFACE sent synchronously to |target|, as an upper driver asks its bus.
NTSTATUS QueryInterfaceSync(DEVICE_OBJECT* target, const GUID& type, USHORT size, USHORT version,
                            void* out) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK io_status{};
  IRP* irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, target, nullptr, 0, nullptr, &done, &io_status);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IO_STACK_LOCATION* st = IoGetNextIrpStackLocation(irp);
  st->MinorFunction = IRP_MN_QUERY_INTERFACE;
  st->Parameters.QueryInterface.InterfaceType = &type;
  st->Parameters.QueryInterface.Size = size;
  st->Parameters.QueryInterface.Version = version;
  st->Parameters.QueryInterface.Interface = static_cast<INTERFACE*>(out);
  IoCallDriver(target, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return io_status.Status;
}

NTSTATUS UpperPnp(DEVICE_OBJECT* device, IRP* irp) {
  auto* ext = static_cast<UpperExt*>(device->DeviceExtension);
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = ForwardAndWait(ext->lower, irp);
      if (NT_SUCCESS(status)) {
        ++Upper().starts;
        if (!ext->has_bus)
          ext->has_bus = NT_SUCCESS(QueryInterfaceSync(ext->lower, USB_BUS_INTERFACE_USBDI_GUID,
                                                       sizeof ext->bus, 1, &ext->bus));
      }
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
    case IRP_MN_SURPRISE_REMOVAL:
      ++Upper().surprise_removals;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      ++Upper().removes;
      if (ext->has_bus) {
        if (Upper().keep_interface) {
          std::lock_guard<std::mutex> guard(Upper().lock);
          Upper().kept.push_back(ext->bus);
        } else {
          ext->bus.InterfaceDereference(ext->bus.BusContext);
        }
        ext->has_bus = false;
      }
      IoSkipCurrentIrpStackLocation(irp);
      NTSTATUS status = IoCallDriver(ext->lower, irp);
      IoDetachDevice(ext->lower);
      IoDeleteDevice(device);
      return status;
    }
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(ext->lower, irp);
}

NTSTATUS UpperPower(DEVICE_OBJECT* device, IRP* irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(static_cast<UpperExt*>(device->DeviceExtension)->lower, irp);
}

NTSTATUS UpperAddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
  DEVICE_OBJECT* fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(UpperExt), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  auto* ext = static_cast<UpperExt*>(fdo->DeviceExtension);
  ext->self = fdo;
  ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->StackSize = static_cast<CCHAR>(ext->lower->StackSize + 1);
  fdo->Flags |= DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  ++Upper().adds;
  return STATUS_SUCCESS;
}

NTSTATUS UpperEntry(DRIVER_OBJECT* driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = UpperPnp;
  driver->MajorFunction[IRP_MJ_POWER] = UpperPower;
  driver->DriverExtension->AddDevice = UpperAddDevice;
  driver->DriverUnload = [](DRIVER_OBJECT*) {};
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------

struct JackSetup {
  bool present;
  UCHAR state;  // byte 1 of the state reply: non-zero when something is plugged in
};

class ChildTest : public StationMachineTest {
 protected:
  void SetUp() override {
    StationMachineTest::SetUp();
    Upper().adds = Upper().starts = Upper().removes = Upper().surprise_removals = 0;
    Upper().keep_interface = false;
    Upper().kept.clear();
  }
  void TearDown() override {
    Upper().keep_interface = false;
    bus_.reset();
    pnp::WaitIdle();
    kernel::WaitWorkIdle();
    if (upper_) {
      pnp::UnregisterDriver(upper_);
      kernel::UnloadDriver(upper_);
      upper_ = nullptr;
    }
    EXPECT_EQ(Module().creates, Module().destroys) << "every module object is destroyed";
    StationMachineTest::TearDown();
  }

  void MakeChip(JackSetup jack0 = {true, 1}, JackSetup jack1 = {true, 1}) {
    chip_ = std::make_unique<chip::Chip>(chip::MakeProfile({}));
    chip_->functions().SetFunction(0, 0x1D5C, 0x2000, u"Display");
    chip_->functions().SetFunction(3, 0x1D5C, 0x3000, u"Audio");
    chip_->functions().SetJack(0, jack0.present, true, jack0.state);
    chip_->functions().SetJack(1, jack1.present, true, jack1.state);
  }

  // Loads the station and the upper driver (bound by the display's hardware id and the audio
  // class's compatible id), starts the station and waits until the worker serves and the PnP
  // manager has dealt with every child.
  StationExtension* Start(AttachOptions options = {}) {
    if (!chip_) MakeChip();
    Boot();
    InstallTestModule();
    upper_ = kernel::LoadDriver(u"childupper", UpperEntry);
    pnp::RegisterDriver(kDisplayId, upper_);
    pnp::RegisterDriver(u"USB\\Class_01&SubClass_01", upper_);
    if (!bus_) bus_ = std::make_unique<usb::UsbBus>();
    DEVICE_OBJECT* pdo = bus_->Attach(*chip_, std::move(options));
    EXPECT_NE(pdo, nullptr);
    if (!pdo) return nullptr;
    pnp::WaitIdle();
    node_ = pnp::FindNode(pdo);
    StationExtension* s = node_ ? Ext(node_) : nullptr;
    EXPECT_NE(s, nullptr);
    EXPECT_TRUE(WaitFor([] {
      auto t = Steps(0x80, u"ThdState");
      return !t.empty() && t.back() == kThdServing;
    }));
    pnp::WaitIdle();
    return s;
  }

  std::set<WString> ChildIds() {
    std::set<WString> ids;
    for (pnp::DevNode* c : pnp::Children(node_)) ids.insert(pnp::Info(c).device_id);
    return ids;
  }
  static ChildPdoExtension* ChildOf(pnp::DevNode* node) {
    return static_cast<ChildPdoExtension*>(pnp::Pdo(node)->DeviceExtension);
  }
  pnp::DevNode* Child(WStringView id) {
    for (pnp::DevNode* c : pnp::Children(node_))
      if (pnp::Info(c).device_id == id) return c;
    return nullptr;
  }
  void Reenumerate() {
    IoInvalidateDeviceRelations(pnp::Pdo(node_), BusRelations);
    pnp::WaitIdle();
  }

  std::unique_ptr<chip::Chip> chip_;
  DRIVER_OBJECT* upper_ = nullptr;
  pnp::DevNode* node_ = nullptr;
};

// ---------------------------------------------------------------------------------------

struct MaskCase {
  const char* name;
  ULONG support;  // SupportPDOs
  UCHAR standalone_mic;
  JackSetup jack0, jack1;
  bool display_pid_zero;
  std::set<WString> children;
};
void PrintTo(const MaskCase& c, std::ostream* os) { *os << c.name; }

class ChildMaskTest : public ChildTest, public ::testing::WithParamInterface<MaskCase> {};

TEST_P(ChildMaskTest, TheMaskAndTheJacksDecideTheChildren) {
  const MaskCase& c = GetParam();
  SetParameter(u"SupportPDOs", REG_DWORD, &c.support, 4);
  SetParameter(u"StandaloneMic", REG_BINARY, &c.standalone_mic, 1);
  MakeChip(c.jack0, c.jack1);
  if (c.display_pid_zero) chip_->functions().SetFunction(0, 0x1D5C, 0, u"Display");
  StationExtension* s = Start();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(ChildIds(), c.children);
  EXPECT_EQ(s->ChildCount, c.children.size());
  EXPECT_EQ(Module().creates, static_cast<int>(c.children.size()));
  // Every child is bound (by hardware or compatible id) and started.
  for (pnp::DevNode* child : pnp::Children(node_)) {
    EXPECT_EQ(pnp::Info(child).state, pnp::NodeState::kStarted) << ToNarrow(pnp::Info(child).device_id);
    EXPECT_EQ(ChildOf(child)->State, kChildStarted);
  }
  EXPECT_EQ(Upper().starts, static_cast<int>(c.children.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Masks, ChildMaskTest,
    ::testing::Values(
        MaskCase{"headphone_out_microphone_in", 0x109, 1, {true, 0}, {true, 1}, false,
                 {kDisplayId, kMicId}},
        MaskCase{"both_jacks_in", 0x109, 1, {true, 1}, {true, 1}, false,
                 {kDisplayId, kAudioId, kMicId}},
        MaskCase{"both_jacks_in_no_standalone_microphone", 0x109, 0, {true, 1}, {true, 1}, false,
                 {kDisplayId, kAudioId}},
        MaskCase{"microphone_jack_only_makes_audio", 0x109, 1, {false, 0}, {true, 1}, false,
                 {kDisplayId, kAudioId}},
        MaskCase{"nothing_plugged_in", 0x109, 1, {true, 0}, {true, 0}, false, {kDisplayId}},
        MaskCase{"display_only", 0x001, 1, {true, 1}, {true, 1}, false, {kDisplayId}},
        MaskCase{"audio_only", 0x008, 1, {true, 1}, {true, 1}, false, {kAudioId}},
        MaskCase{"display_without_product_id", 0x109, 0, {true, 1}, {true, 0}, true, {kAudioId}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ChildTest, AFunctionWithoutAnEnabledModuleOrWithBadTextsIsRefused) {
  StationExtension* s = Start();
  ASSERT_NE(s, nullptr);
  WCHAR id[] = u"USB\\VID_1D5C&PID_4000";
  WCHAR text[] = u"Net";
  ChildDescriptor d{FILE_DEVICE_UNKNOWN, 0x1D5C, 0x4000, MakeChildKey(s->StationIndex, 2),
                    id, 21, u"A\0\0", 3, text, 3};
  EXPECT_EQ(CreateChildPdo(s, &d), STATUS_INVALID_PARAMETER) << "network has no module";
  d.ChildKey = MakeChildKey(s->StationIndex, 0);
  d.DeviceTextLength = 64;  // longer than the child's buffers
  EXPECT_EQ(CreateChildPdo(s, &d), STATUS_INVALID_PARAMETER);
  d.DeviceTextLength = 0;
  EXPECT_EQ(CreateChildPdo(s, &d), STATUS_INVALID_PARAMETER);
  d.DeviceTextLength = 3;
  EXPECT_EQ(CreateChildPdo(s, &d), STATUS_SUCCESS) << "the display child exists already";
  EXPECT_EQ(Module().creates, 3);
  Module().fail_create = true;
  ASSERT_EQ(DeleteChildByKey(s, MakeChildKey(s->StationIndex, 0)), STATUS_SUCCESS);
  EXPECT_EQ(CreateChildPdo(s, &d), STATUS_INSUFFICIENT_RESOURCES) << "the module's refusal";
  EXPECT_FALSE(ChildExists(s, 0));
  Module().fail_create = false;
  Module().fail_create_dirty = true;
  EXPECT_EQ(CreateChildPdo(s, &d), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Module().stray_destroys, 0) << "a refused Create leaves nothing to destroy";
  EXPECT_FALSE(ChildExists(s, 0));
  Module().fail_create_dirty = false;
  pnp::WaitIdle();
}

TEST_F(ChildTest, IdsTextsAndBusInformationAreThoseOfAUsbDevice) {
  ASSERT_NE(Start(), nullptr);
  pnp::DevNode* display = Child(kDisplayId);
  pnp::DevNode* audio = Child(kAudioId);
  ASSERT_NE(display, nullptr);
  ASSERT_NE(audio, nullptr);
  pnp::NodeInfo d = pnp::Info(display);
  EXPECT_EQ(d.instance_id, u"8000");
  EXPECT_EQ(d.hardware_ids, std::vector<WString>{kDisplayId});
  EXPECT_EQ(d.compatible_ids, (std::vector<WString>{u"USB\\Class_FF&SubClass_00&Prot_00",
                                                    u"USB\\Class_FF&SubClass_00", u"USB\\Class_FF"}));
  EXPECT_EQ(d.description, u"Display");
  EXPECT_EQ(d.location, u"STA(80)SESS(00)");
  ASSERT_TRUE(d.has_bus_information);
  EXPECT_EQ(d.bus.BusTypeGuid, GUID_BUS_TYPE_USB);
  EXPECT_EQ(d.bus.LegacyBusType, PNPBus);
  EXPECT_EQ(d.bus.BusNumber, 0x80u);

  pnp::NodeInfo a = pnp::Info(audio);
  EXPECT_EQ(a.instance_id, u"8003");
  EXPECT_EQ(a.compatible_ids, (std::vector<WString>{u"USB\\Class_01&SubClass_01&Prot_00",
                                                    u"USB\\Class_01&SubClass_01", u"USB\\Class_01"}));
  EXPECT_EQ(a.location, u"STA(80)SESS(03)");
  EXPECT_EQ(Module().last_product, u"Audio");
  EXPECT_EQ(Module().last_jacks_bytes, 72u) << "the audio module gets both jack records";

  // The buffers behind the answers: sized as the child keeps them, ending in two NULs.
  ChildPdoExtension* child = ChildOf(display);
  EXPECT_EQ(child->HardwareIdsSize, 21u * 2 + 4);
  EXPECT_EQ(child->CompatibleIdsSize, 73u * 2 + 4);
  EXPECT_EQ(child->DeviceTextSize, 7u * 2 + 8);
  EXPECT_EQ(child->LocationTextSize, 48u);
  EXPECT_EQ(child->EmulatedBcdUsb, 0x0200);

  // A text type the child does not answer keeps the request's status; a filter's answer is
  // kept.
  ULONG_PTR info = 0;
  EXPECT_EQ(pnp::Send(display, IRP_MN_QUERY_ID, [](IO_STACK_LOCATION* st) {
              st->Parameters.QueryId.IdType = BusQueryContainerID;
            }, &info), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(info, 0u);
  EXPECT_EQ(pnp::Send(display, IRP_MN_QUERY_DEVICE_TEXT, [](IO_STACK_LOCATION* st) {
              st->Parameters.QueryDeviceText.DeviceTextType = static_cast<DEVICE_TEXT_TYPE>(7);
            }, &info), STATUS_NOT_SUPPORTED);
}

struct CapsCase {
  const char* name;
  DEVICE_POWER_STATE parent_s1, parent_s3, parent_s4;
  DEVICE_POWER_STATE s1, s3, s4;
};
void PrintTo(const CapsCase& c, std::ostream* os) { *os << c.name; }

class ChildCapsTest : public ChildTest, public ::testing::WithParamInterface<CapsCase> {};

TEST_P(ChildCapsTest, CapabilitiesComeFromTheStationsWithTheChildsOwnFlags) {
  const CapsCase& c = GetParam();
  AttachOptions options;
  options.capabilities = [c](DEVICE_CAPABILITIES& caps) {
    caps.DeviceState[PowerSystemSleeping1] = c.parent_s1;
    caps.DeviceState[PowerSystemSleeping3] = c.parent_s3;
    caps.DeviceState[PowerSystemHibernate] = c.parent_s4;
    caps.UniqueID = caps.SilentInstall = caps.WakeFromD3 = caps.DeviceD2 = 1;
    caps.LockSupported = 1;  // kept
  };
  ASSERT_NE(Start(options), nullptr);
  pnp::DevNode* display = Child(kDisplayId);
  ASSERT_NE(display, nullptr);
  // Asked as an upper driver asks, with the caller's own record.
  auto query = [&](DEVICE_CAPABILITIES* caps) {
    return pnp::Send(display, IRP_MN_QUERY_CAPABILITIES, [caps](IO_STACK_LOCATION* st) {
      st->Parameters.DeviceCapabilities.Capabilities = caps;
    });
  };
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.SystemWake = PowerSystemSleeping2;
  ASSERT_EQ(query(&caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
  EXPECT_EQ(caps.DeviceState[PowerSystemSleeping1], c.s1);
  EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], c.s3);
  EXPECT_EQ(caps.DeviceState[PowerSystemHibernate], c.s4);
  EXPECT_EQ(caps.DeviceWake, PowerDeviceD1);
  EXPECT_EQ(caps.D1Latency + caps.D2Latency + caps.D3Latency, 0u);
  EXPECT_EQ(caps.Address, 0x8000u);
  EXPECT_EQ(caps.UINumber, 0x8000u);
  EXPECT_EQ(caps.SystemWake, PowerSystemSleeping2) << "left as the caller set it";
  EXPECT_EQ(caps.DeviceD1 && caps.EjectSupported && caps.Removable && caps.SurpriseRemovalOK &&
                caps.WakeFromD1, 1u);
  EXPECT_EQ(caps.DeviceD2 | caps.UniqueID | caps.SilentInstall | caps.WakeFromD0 |
                caps.WakeFromD2 | caps.WakeFromD3 | caps.HardwareDisabled, 0u);
  EXPECT_EQ(caps.LockSupported, 1u) << "other flags are the station's";

  // A record of the wrong size or version is refused.
  for (auto [size, version] : {std::pair<USHORT, USHORT>{60, 1}, {64, 2}}) {
    DEVICE_CAPABILITIES bad{};
    bad.Size = size;
    bad.Version = version;
    EXPECT_EQ(query(&bad), STATUS_UNSUCCESSFUL) << size << " " << version;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Parents, ChildCapsTest,
    ::testing::Values(CapsCase{"s1_d2_becomes_d1", PowerDeviceD2, PowerDeviceD3, PowerDeviceD3,
                               PowerDeviceD1, PowerDeviceD3, PowerDeviceD3},
                      CapsCase{"s1_d0_stays_d0", PowerDeviceD0, PowerDeviceD0, PowerDeviceD2,
                               PowerDeviceD0, PowerDeviceD0, PowerDeviceD2},
                      CapsCase{"s3_d2_becomes_d3", PowerDeviceD1, PowerDeviceD2, PowerDeviceD1,
                               PowerDeviceD1, PowerDeviceD3, PowerDeviceD1}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------

struct InterfaceCase {
  const char* name;
  const GUID* type;  // null: no interface type
  USHORT size, version;
  NTSTATUS status;
  USHORT answered_size;  // the Size the child writes back
};
void PrintTo(const InterfaceCase& c, std::ostream* os) { *os << c.name; }

class ChildInterfaceTest : public ChildTest, public ::testing::WithParamInterface<InterfaceCase> {};

TEST_P(ChildInterfaceTest, EachInterfaceHasItsSizeAndVersionRule) {
  const InterfaceCase& c = GetParam();
  ASSERT_NE(Start(), nullptr);
  pnp::DevNode* display = Child(kDisplayId);
  ASSERT_NE(display, nullptr);
  ChildPdoExtension* child = ChildOf(display);
  const LONG before = child->InterfaceRefCount;
  // A record larger than any, filled with a marker, shows how much the child wrote.
  UCHAR record[128];
  std::memset(record, 0xCD, sizeof record);
  NTSTATUS status = pnp::Send(display, IRP_MN_QUERY_INTERFACE, [&](IO_STACK_LOCATION* st) {
    st->Parameters.QueryInterface.InterfaceType = c.type;
    st->Parameters.QueryInterface.Size = c.size;
    st->Parameters.QueryInterface.Version = c.version;
    st->Parameters.QueryInterface.Interface = reinterpret_cast<INTERFACE*>(record);
  });
  EXPECT_EQ(status, c.status);
  if (!NT_SUCCESS(c.status)) {
    EXPECT_EQ(record[0], 0xCD) << "nothing written";
    EXPECT_EQ(child->InterfaceRefCount, before);
    return;
  }
  // The private record is packed: its context follows the two 16-bit fields directly.
  INTERFACE head{};
  if (c.type == &protocol::kChildInterfaceGuid) {
    StationChildInterface packed;
    std::memcpy(&packed, record, sizeof packed);
    head = {packed.Size, packed.Version, packed.Context, packed.InterfaceReference,
            packed.InterfaceDereference};
  } else {
    std::memcpy(&head, record, sizeof head);
  }
  EXPECT_EQ(head.Size, c.answered_size);
  EXPECT_EQ(head.Version, c.version);
  EXPECT_EQ(head.Context, child);
  EXPECT_EQ(record[c.answered_size], 0xCD) << "nothing written past the record";
  EXPECT_EQ(child->InterfaceRefCount, before + 1);
  ASSERT_EQ(head.InterfaceReference, &ChildInterfaceReference);
  ASSERT_EQ(head.InterfaceDereference, &ChildInterfaceDereference);
  head.InterfaceReference(head.Context);
  EXPECT_EQ(child->InterfaceRefCount, before + 2);
  head.InterfaceDereference(head.Context);
  head.InterfaceDereference(head.Context);
  EXPECT_EQ(child->InterfaceRefCount, before);
}

INSTANTIATE_TEST_SUITE_P(
    Interfaces, ChildInterfaceTest,
    ::testing::Values(
        InterfaceCase{"bus_v0", &USB_BUS_INTERFACE_USBDI_GUID, 64, 0, STATUS_SUCCESS, 64},
        InterfaceCase{"bus_v1_in_a_larger_record", &USB_BUS_INTERFACE_USBDI_GUID, 96, 1, STATUS_SUCCESS, 72},
        InterfaceCase{"bus_v2", &USB_BUS_INTERFACE_USBDI_GUID, 80, 2, STATUS_SUCCESS, 80},
        InterfaceCase{"bus_v3", &USB_BUS_INTERFACE_USBDI_GUID, 96, 3, STATUS_SUCCESS, 96},
        InterfaceCase{"bus_v3_too_small", &USB_BUS_INTERFACE_USBDI_GUID, 80, 3, STATUS_INVALID_PARAMETER, 0},
        InterfaceCase{"bus_v4", &USB_BUS_INTERFACE_USBDI_GUID, 96, 4, STATUS_INVALID_PARAMETER, 0},
        InterfaceCase{"location", &GUID_PNP_LOCATION_INTERFACE, 40, 1, STATUS_SUCCESS, 40},
        InterfaceCase{"location_too_small", &GUID_PNP_LOCATION_INTERFACE, 32, 1, STATUS_INVALID_PARAMETER, 0},
        InterfaceCase{"private", &protocol::kChildInterfaceGuid, 28, 1, STATUS_SUCCESS, 28},
        InterfaceCase{"private_version_2", &protocol::kChildInterfaceGuid, 28, 2, STATUS_INVALID_PARAMETER, 0},
        InterfaceCase{"private_too_small", &protocol::kChildInterfaceGuid, 24, 1, STATUS_INVALID_PARAMETER, 0},
        InterfaceCase{"no_type", nullptr, 64, 0, STATUS_INVALID_PARAMETER, 0},
        InterfaceCase{"unknown_type", &protocol::kMainControlInterfaceGuid, 64, 0, STATUS_NOT_SUPPORTED, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ChildTest, BusInterfaceRoutinesAnswerAsAUsbHub) {
  ASSERT_NE(Start(), nullptr);
  pnp::DevNode* display = Child(kDisplayId);
  ASSERT_NE(display, nullptr);
  ChildPdoExtension* child = ChildOf(display);
  USB_BUS_INTERFACE_USBDI_V3 bus{};
  ASSERT_EQ(QueryInterfaceSync(pnp::Top(display), USB_BUS_INTERFACE_USBDI_GUID, sizeof bus, 3, &bus),
            STATUS_SUCCESS);
  PVOID ctx = bus.BusContext;

  USBD_VERSION_INFORMATION version{};
  ULONG hcd = 0;
  bus.GetUSBDIVersion(ctx, &version, &hcd);
  USBD_VERSION_INFORMATION expected{};
  USBD_GetUSBDIVersion(&expected);
  EXPECT_EQ(version.USBDI_Version, expected.USBDI_Version);
  EXPECT_EQ(hcd, 1u);
  bus.GetUSBDIVersion(ctx, nullptr, nullptr);  // nothing asked, nothing written

  ULONG frame = 0;
  EXPECT_EQ(bus.QueryBusTime(ctx, nullptr), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(bus.QueryBusTime(ctx, &frame), STATUS_SUCCESS);
  EXPECT_EQ(child->LastBusTime, frame);
  ULONG later = 0;
  ASSERT_EQ(bus.QueryBusTimeEx(ctx, &later), STATUS_SUCCESS);
  EXPECT_GE(later, frame);
  EXPECT_EQ(bus.SubmitIsoOutUrb(ctx, nullptr), STATUS_NOT_IMPLEMENTED);
  ULONG length = 0, actual = 0;
  EXPECT_EQ(bus.QueryBusInformation(ctx, 0, nullptr, &length, &actual), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(bus.EnumLogEntry(ctx, 0, 0, 0, 0), STATUS_NOT_IMPLEMENTED);

  // High speed only when the module's descriptor says exactly 2.00.
  for (auto [bcd, high] : {std::pair<USHORT, BOOLEAN>{0x0200, TRUE}, {0x0210, FALSE},
                          {0x0300, FALSE}, {0x0110, FALSE}}) {
    child->EmulatedBcdUsb = bcd;
    EXPECT_EQ(bus.IsDeviceHighSpeed(ctx), high) << std::hex << bcd;
  }

  ULONG flags = 0x5A;
  USHORT vendor = 0, device = 0;
  UCHAR cls = 0, sub = 0, rev = 0xEE, prog = 0;
  EXPECT_EQ(bus.QueryControllerType(ctx, &flags, &vendor, &device, &cls, &sub, nullptr, &prog),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(vendor, 0) << "nothing written";
  ASSERT_EQ(bus.QueryControllerType(ctx, &flags, &vendor, &device, &cls, &sub, &rev, &prog),
            STATUS_SUCCESS);
  EXPECT_EQ(vendor, 0x5D19);
  EXPECT_EQ(device, 0x4B2E);
  EXPECT_EQ(cls, 0x0C);
  EXPECT_EQ(sub, 0x03);
  EXPECT_EQ(rev, 0);
  EXPECT_EQ(prog, 0x20);
  EXPECT_EQ(flags, 0x5Au) << "the option flags are left alone";

  // The location interface's string.
  PNP_LOCATION_INTERFACE location{};
  ASSERT_EQ(QueryInterfaceSync(pnp::Top(display), GUID_PNP_LOCATION_INTERFACE, sizeof location, 1,
                               &location), STATUS_SUCCESS);
  WCHAR* text = nullptr;
  EXPECT_EQ(location.GetLocationString(location.Context, nullptr), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(location.GetLocationString(location.Context, &text), STATUS_SUCCESS);
  EXPECT_EQ(WString(text), u"STA(80)SESS(00)");
  EXPECT_EQ(kernel::pool::BlockSize(text), 48u);
  EXPECT_EQ(kernel::pool::Outstanding(kTagLocation).blocks, 1);
  ExFreePool(text);

  location.InterfaceDereference(location.Context);
  bus.InterfaceDereference(ctx);
}

// ---------------------------------------------------------------------------------------

enum class Op { kQueryStop, kCancelStop, kStop, kStart, kQueryRemove, kCancelRemove, kRefuseRemove,
                kRemove, kReenumerate, kUsage, kUnknown };
struct Step {
  const char* name;
  Op op;
  NTSTATUS status;
  ULONG state;  // the child's State after the step
};

TEST_F(ChildTest, PnpRequestsWalkTheChildsStates) {
  StationExtension* s = Start();
  ASSERT_NE(s, nullptr);
  pnp::DevNode* display = Child(kDisplayId);
  ASSERT_NE(display, nullptr);
  ChildPdoExtension* child = ChildOf(display);
  ASSERT_EQ(child->State, kChildStarted);
  EXPECT_EQ(child->DevicePowerState, PowerDeviceD0);
  ASSERT_NE(child->DriverKeyName.Buffer, nullptr) << "read at the first START";

  const Step steps[] = {
      {"query stop", Op::kQueryStop, STATUS_SUCCESS, kChildStopPending},
      {"cancel stop", Op::kCancelStop, STATUS_SUCCESS, kChildStarted},
      {"stop", Op::kStop, STATUS_SUCCESS, kChildStopped},
      {"start again", Op::kStart, STATUS_SUCCESS, kChildStarted},
      {"query remove", Op::kQueryRemove, STATUS_SUCCESS, kChildRemovePending},
      {"cancel remove", Op::kCancelRemove, STATUS_SUCCESS, kChildStarted},
      {"refused query remove", Op::kRefuseRemove, STATUS_UNSUCCESSFUL, kChildStarted},
      {"usage notification", Op::kUsage, STATUS_UNSUCCESSFUL, kChildStarted},
      {"unknown request", Op::kUnknown, STATUS_NOT_SUPPORTED, kChildStarted},
      {"remove while present", Op::kRemove, STATUS_SUCCESS, kChildRemovedPresent},
      {"next enumeration starts it again", Op::kReenumerate, STATUS_SUCCESS, kChildStarted},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    NTSTATUS status = STATUS_SUCCESS;
    switch (step.op) {
      case Op::kQueryStop: status = pnp::QueryStop(display); break;
      case Op::kCancelStop: status = pnp::CancelStop(display); break;
      case Op::kStop: status = pnp::Stop(display); break;
      case Op::kStart: status = pnp::Start(display); break;
      case Op::kQueryRemove: status = pnp::QueryRemove(display); break;
      case Op::kCancelRemove: status = pnp::CancelRemove(display); break;
      case Op::kRefuseRemove:
        Module().refuse_remove = true;
        status = pnp::QueryRemove(display);
        Module().refuse_remove = false;
        break;
      case Op::kRemove: status = pnp::Remove(display); break;
      case Op::kReenumerate: Reenumerate(); break;
      case Op::kUsage: status = pnp::Send(display, IRP_MN_DEVICE_USAGE_NOTIFICATION, nullptr); break;
      case Op::kUnknown: status = pnp::Send(display, 0x18, nullptr); break;
    }
    EXPECT_EQ(status, step.status);
    EXPECT_EQ(child->State, step.state);
    EXPECT_TRUE(ChildExists(s, 0)) << "the child stays listed";
  }
  EXPECT_EQ(Module().stops, 2) << "STOP and REMOVE stop the module";
  EXPECT_EQ(Module().starts, 5) << "three children started, the display twice more";
  EXPECT_EQ(Module().destroys, 0);
  EXPECT_EQ(Upper().starts, 4 + 1) << "the upper driver came back with the display";

  // The target relation names the child itself.
  ULONG_PTR info = 0;
  ASSERT_EQ(pnp::Send(display, IRP_MN_QUERY_DEVICE_RELATIONS, [](IO_STACK_LOCATION* st) {
              st->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
            }, &info), STATUS_SUCCESS);
  auto* rel = reinterpret_cast<DEVICE_RELATIONS*>(info);
  ASSERT_NE(rel, nullptr);
  EXPECT_EQ(rel->Count, 1u);
  EXPECT_EQ(rel->Objects[0], pnp::Pdo(display));
  ObDereferenceObject(rel->Objects[0]);
  ExFreePool(rel);
}

TEST_F(ChildTest, PowerRequestsAreRecordedAndNeverPassedOn) {
  ASSERT_NE(Start(), nullptr);
  pnp::DevNode* display = Child(kDisplayId);
  ASSERT_NE(display, nullptr);
  ChildPdoExtension* child = ChildOf(display);
  ASSERT_EQ(kernel::power::SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(child->SystemPowerState, PowerSystemSleeping3);
  ASSERT_EQ(kernel::power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(child->SystemPowerState, PowerSystemWorking);
  EXPECT_EQ(kernel::power::SendSystemPower(display, IRP_MN_QUERY_POWER, PowerSystemSleeping1),
            STATUS_SUCCESS);

  // A device power request is recorded and reported to the power manager.
  struct Done {
    KEVENT event;
    NTSTATUS status;
  } done{};
  KeInitializeEvent(&done.event, NotificationEvent, FALSE);
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  ASSERT_EQ(PoRequestPowerIrp(pnp::Pdo(display), IRP_MN_SET_POWER, d3,
                              [](DEVICE_OBJECT*, UCHAR, POWER_STATE, PVOID ctx, IO_STATUS_BLOCK* io) {
                                auto* d = static_cast<Done*>(ctx);
                                d->status = io->Status;
                                KeSetEvent(&d->event, 0, FALSE);
                              },
                              &done, nullptr),
            STATUS_PENDING);
  ASSERT_TRUE(WaitFor([&] { return KeReadStateEvent(&done.event) != 0; }));
  EXPECT_EQ(done.status, STATUS_SUCCESS);
  EXPECT_EQ(child->DevicePowerState, PowerDeviceD3);
  EXPECT_EQ(kernel::power::ReportedDeviceState(pnp::Pdo(display)), PowerDeviceD3);
}

// ---------------------------------------------------------------------------------------

TEST_F(ChildTest, StationRemovalDeletesChildrenStillStarted) {
  StationExtension* s = Start();
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(ChildIds().size(), 3u);
  const size_t devices = kernel::LiveDeviceCount();
  ASSERT_EQ(pnp::Remove(node_), STATUS_SUCCESS);
  pnp::WaitIdle();
  EXPECT_EQ(Upper().removes, 3);
  EXPECT_EQ(Module().destroys, 3);
  EXPECT_EQ(pnp::Children(node_).size(), 0u);
  // The three children, their upper devices and the station's device are gone.
  EXPECT_EQ(kernel::LiveDeviceCount(), devices - 7);
  EXPECT_EQ(kernel::pool::Outstanding(kTagChild).blocks, 0);
}

// The worker is making a child (a jack was plugged in) when the station is removed: the
// removal deletes the children it finds, and the child made after that is not added, or
// nothing would ever take it away again.
TEST_F(ChildTest, AChildMadeWhileTheStationIsRemovedIsNotAdded) {
  MakeChip({true, 0}, {true, 0});
  StationExtension* s = Start();
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(ChildIds(), (std::set<WString>{kDisplayId}));
  const size_t devices = kernel::LiveDeviceCount();
  Module().Hold();
  chip_->SetJackState(0x41);  // both jacks in: the worker makes the audio child
  ASSERT_TRUE(WaitFor([] { return Module().held.load() == 1; }));
  std::thread remove([&] { EXPECT_EQ(pnp::Remove(node_), STATUS_SUCCESS); });
  // The removal has taken the children away; it then waits for the worker, held in Create.
  ASSERT_TRUE(WaitFor([&] { return Upper().removes == 1; }));
  Module().Release();
  remove.join();
  pnp::WaitIdle();
  EXPECT_EQ(Module().creates, Module().destroys);
  EXPECT_EQ(kernel::LiveDeviceCount(), devices - 3) << "display child, its upper device, station";
  EXPECT_EQ(kernel::pool::Outstanding(kTagChild).blocks, 0);
  EXPECT_EQ(kernel::pool::Outstanding(kTagTestModule).blocks, 0);
}

TEST_F(ChildTest, SurpriseRemovalOfTheAdapterTakesItsBoundChildren) {
  ASSERT_NE(Start(), nullptr);
  ASSERT_EQ(ChildIds().size(), 3u);
  bus_->Detach(*chip_);
  pnp::WaitIdle();
  EXPECT_EQ(Upper().surprise_removals, 3);
  EXPECT_EQ(Upper().removes, 3);
  EXPECT_EQ(Module().stops, 3 * 2) << "SURPRISE_REMOVAL and REMOVE each stop the module";
  EXPECT_EQ(Module().destroys, 3);
  EXPECT_EQ(kernel::pool::Outstanding(kTagChild).blocks, 0);
  EXPECT_EQ(kernel::pool::Outstanding(kTagTestModule).blocks, 0);
}

TEST_F(ChildTest, AnEjectedChildIsRemovedAndDeletedWhenTheBusNoLongerReportsIt) {
  StationExtension* s = Start();
  ASSERT_NE(s, nullptr);
  ChildPdoExtension* display = ChildOf(Child(kDisplayId));
  EXPECT_EQ(EjectChildByKey(s, 0x7F00), STATUS_INVALID_PARAMETER) << "no child has that key";
  ASSERT_EQ(EjectChildByKey(s, MakeChildKey(s->StationIndex, 0)), STATUS_SUCCESS);
  pnp::WaitIdle();
  EXPECT_EQ(display->Present, 0) << "EJECT took it off the bus";
  EXPECT_EQ(Upper().removes, 1);
  Reenumerate();  // the station reports it no more, and its second REMOVE deletes it
  EXPECT_FALSE(ChildExists(s, 0));
  EXPECT_EQ(Module().destroys, 1);
  EXPECT_EQ(ChildIds(), (std::set<WString>{kAudioId, kMicId}));
  ASSERT_EQ(DeleteChildByKey(s, 0), STATUS_SUCCESS);
  EXPECT_EQ(DeleteChildByKey(s, 0), STATUS_NO_SUCH_DEVICE) << "the list is empty";
  EXPECT_EQ(MarkChildMissingByKey(s, 0), STATUS_NO_SUCH_DEVICE);
  pnp::WaitIdle();
}

TEST_F(ChildTest, AJackPulledOutTakesItsChildAndPluggingItInBringsItBack) {
  StationExtension* s = Start();
  ASSERT_NE(s, nullptr);
  ASSERT_TRUE(ChildExists(s, 3));
  chip_->SetJackState(0x40);  // jack 0 empty, jack 1 still in
  ASSERT_TRUE(WaitFor([&] { return !ChildExists(s, 3); }));
  pnp::WaitIdle();
  EXPECT_EQ(ChildIds(), (std::set<WString>{kDisplayId, kMicId}));
  EXPECT_EQ(Module().destroys, 1);
  chip_->SetJackState(0x41);
  // Listed first, then reported: wait until the system has started it.
  ASSERT_TRUE(WaitFor([&] {
    pnp::DevNode* audio = Child(kAudioId);
    return audio && pnp::Info(audio).state == pnp::NodeState::kStarted;
  }));
  EXPECT_EQ(ChildIds(), (std::set<WString>{kDisplayId, kAudioId, kMicId}));
}

TEST_F(ChildTest, AChipTextWithoutItsEndIsCutToTheChildsBuffer) {
  MakeChip();
  std::array<uint8_t, chip::kFunctionDescriptorBytes> bytes{};
  bytes[0] = 0x5C;
  bytes[1] = 0x1D;
  bytes[2] = 0x00;
  bytes[3] = 0x20;
  for (size_t i = 4; i < bytes.size(); i += 2) bytes[i] = 'A';  // no terminating NUL anywhere
  chip_->functions().SetFunctionBytes(0, bytes);
  ASSERT_NE(Start(), nullptr);
  pnp::DevNode* display = Child(kDisplayId);
  ASSERT_NE(display, nullptr);
  EXPECT_EQ(pnp::Info(display).description, WString(63, u'A'));
  EXPECT_EQ(ChildOf(display)->DeviceTextSize, 63u * 2 + 8);
}

TEST_F(ChildTest, StationRemovalLeavesAChildInItsOwnRemovalToItsRemove) {
  StationExtension* s = Start();
  ASSERT_NE(s, nullptr);
  ChildPdoExtension* display = ChildOf(Child(kDisplayId));
  for (ULONG state : {ULONG{kChildRemovePending}, ULONG{kChildSurpriseRemoved}, 6u}) {
    SCOPED_TRACE(state);
    const ULONG was = display->State;
    display->State = state;
    ASSERT_EQ(DeleteChildByKey(s, display->ChildKey), STATUS_SUCCESS);
    EXPECT_TRUE(ChildExists(s, 0)) << "left listed for its own REMOVE";
    EXPECT_EQ(display->Missing, 1);
    EXPECT_EQ(Module().destroys, 0);
    display->State = was;
    display->Missing = 0;
  }
  // Marked missing, the child leaves at the next enumeration: SURPRISE_REMOVAL, REMOVE.
  ASSERT_EQ(MarkChildMissingByKey(s, display->ChildKey), STATUS_SUCCESS);
  pnp::WaitIdle();
  EXPECT_FALSE(ChildExists(s, 0));
  EXPECT_EQ(Module().destroys, 1);
  EXPECT_EQ(Upper().surprise_removals, 1);
  EXPECT_EQ(ChildIds(), (std::set<WString>{kAudioId, kMicId}));
}

TEST_F(ChildTest, AStationStopTakesItsChildrenAndTheRestartMakesThemAgain) {
  StationExtension* s = Start();
  ASSERT_NE(s, nullptr);
  const std::set<WString> all{kDisplayId, kAudioId, kMicId};
  ASSERT_EQ(ChildIds(), all);
  ASSERT_EQ(Module().creates, 3);
  ASSERT_EQ(pnp::Stop(node_), STATUS_SUCCESS);
  pnp::WaitIdle();
  EXPECT_EQ(s->ChildCount, 3u) << "still listed while the station is stopped";
  EXPECT_EQ(Module().destroys, 0);
  ASSERT_EQ(pnp::Start(node_), STATUS_SUCCESS);
  // The old children are removed first, then new ones are made and started by the system.
  ASSERT_TRUE(WaitFor([&] {
    if (Module().creates != 6) return false;
    for (pnp::DevNode* c : pnp::Children(node_))
      if (pnp::Info(c).state != pnp::NodeState::kStarted) return false;
    return pnp::Children(node_).size() == 3;
  })) << "the restarted station makes its children again";
  pnp::WaitIdle();
  EXPECT_EQ(ChildIds(), all);
  EXPECT_EQ(s->ChildCount, 3u);
  EXPECT_EQ(Module().destroys, 3) << "the old module objects went before the new came";
  EXPECT_EQ(Upper().removes, 3);
  EXPECT_EQ(Upper().adds, 6) << "the upper driver is bound to each new child";
  EXPECT_EQ(Upper().starts, 6);
  EXPECT_EQ(ReadFlag(s->RecreateChildren), 0);
  // The new children are followed as the first run's: a jack pulled out takes its child.
  chip_->SetJackState(0x40);
  ASSERT_TRUE(WaitFor([&] { return !ChildExists(s, 3); }));
  pnp::WaitIdle();
  EXPECT_EQ(ChildIds(), (std::set<WString>{kDisplayId, kMicId}));
}

TEST_F(ChildTest, AFunctionBackBeforeItsChildWasRemovedKeepsItsChild) {
  StationExtension* s = Start();
  ASSERT_NE(s, nullptr);
  const ULONG key = MakeChildKey(s->StationIndex, 3);
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    // The system takes the child away on its own thread, before or after it comes back.
    ASSERT_EQ(MarkChildMissingByKey(s, key), STATUS_SUCCESS);
    ASSERT_EQ(CreateChildPdos(s, 1u << 3), STATUS_SUCCESS);

    pnp::WaitIdle();
    ASSERT_TRUE(ChildExists(s, 3));
    pnp::DevNode* audio = Child(kAudioId);
    ASSERT_NE(audio, nullptr) << "reported to the system";
    EXPECT_EQ(pnp::Info(audio).state, pnp::NodeState::kStarted);
    EXPECT_EQ(ChildOf(audio)->State, kChildStarted);
  }
}

// An upper driver that keeps the bus interface past its REMOVE: the child's memory, module
// object and texts stay until the interface is given back, at either IRQL.
class ChildHeldInterfaceTest : public ChildTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ChildHeldInterfaceTest, AChildIsDeletedOnlyWhenItsLastInterfaceIsGivenBack) {
  const bool at_dispatch = GetParam();
  StationExtension* s = Start();
  ASSERT_NE(s, nullptr);
  Upper().keep_interface = true;
  chip_->SetJackState(0x40);  // the audio child goes
  ASSERT_TRUE(WaitFor([&] { return !ChildExists(s, 3); }));
  pnp::WaitIdle();
  Upper().keep_interface = false;  // the other children's upper drivers give theirs back
  ASSERT_EQ(Upper().removes, 1);
  EXPECT_EQ(Module().destroys, 0) << "deleted while its interface is held";
  std::vector<USB_BUS_INTERFACE_USBDI_V1> kept;
  {
    std::lock_guard<std::mutex> guard(Upper().lock);
    kept = Upper().kept;
  }
  ASSERT_EQ(kept.size(), 1u);
  // The interface still answers from a live context.
  ULONG frame = 0;
  EXPECT_EQ(kept[0].QueryBusTime(kept[0].BusContext, &frame), STATUS_SUCCESS);
  EXPECT_TRUE(kept[0].IsDeviceHighSpeed(kept[0].BusContext));
  if (at_dispatch) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    kept[0].InterfaceDereference(kept[0].BusContext);
    KeLowerIrql(old);
    kernel::WaitWorkIdle();
  } else {
    kept[0].InterfaceDereference(kept[0].BusContext);
  }
  EXPECT_EQ(Module().destroys, 1);
  EXPECT_EQ(ChildIds(), (std::set<WString>{kDisplayId, kMicId}));
}

INSTANTIATE_TEST_SUITE_P(Irql, ChildHeldInterfaceTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "dispatch" : "passive"; });

}  // namespace
}  // namespace vorn::station::testing
