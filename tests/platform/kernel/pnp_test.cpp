#include <algorithm>
#include <chrono>
#include <thread>
#include <cstring>
#include <vector>

#include "platform/kernel/io.h"
#include "platform/kernel/wdm.h"
#include "tests/platform/kernel/kernel_fixture.h"

namespace {

namespace pnp = vorn::kernel::pnp;
using vorn::kernel::testing::KernelTest;

constexpr GUID kTestInterface = {0x11223344, 0x5566, 0x7788, {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00}};
constexpr GUID kTestWmi = {0x0A0B0C0D, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};

// A bus whose root reports the PDOs the test adds; each PDO answers its ids and records the
// PnP requests it sees.
struct Pdo {
  bool is_root;
  WString device_id;
  bool reported;
  std::vector<UCHAR>* log;
  bool raw = false;  // reports RawDeviceOK: it runs without a function driver
};
std::vector<DEVICE_OBJECT*> g_children;
DEVICE_OBJECT* g_root = nullptr;

ULONG_PTR PoolText(const WString& s, bool multi) {
  size_t n = s.size() + (multi ? 2 : 1);
  auto* p = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool | POOL_ZERO_ALLOCATION, n * 2, PoolTag("tsti")));
  if (!p) return 0;
  std::memcpy(p, s.data(), s.size() * 2);
  return reinterpret_cast<ULONG_PTR>(p);
}

NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR info = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = info;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS BusPnp(DEVICE_OBJECT* device, IRP* irp) {
  auto* p = static_cast<Pdo*>(device->DeviceExtension);
  IO_STACK_LOCATION* st = IoGetCurrentIrpStackLocation(irp);
  if (p->log) p->log->push_back(st->MinorFunction);
  switch (st->MinorFunction) {
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (!p->is_root || st->Parameters.QueryDeviceRelations.Type != BusRelations) break;
      auto* rel = static_cast<DEVICE_RELATIONS*>(ExAllocatePoolWithTag(PagedPool, 8 + 8 * (g_children.size() + 1), PoolTag("tstr")));
      rel->Count = 0;
      for (DEVICE_OBJECT* c : g_children)
        if (static_cast<Pdo*>(c->DeviceExtension)->reported) {
          ObReferenceObject(c);
          rel->Objects[rel->Count++] = c;
        }
      return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(rel));
    }
    case IRP_MN_QUERY_ID:
      if (st->Parameters.QueryId.IdType == BusQueryDeviceID || st->Parameters.QueryId.IdType == BusQueryHardwareIDs ||
          st->Parameters.QueryId.IdType == BusQueryInstanceID) {
        const ULONG_PTR text = st->Parameters.QueryId.IdType == BusQueryInstanceID
                                   ? PoolText(u"7", false)
                                   : PoolText(p->device_id, st->Parameters.QueryId.IdType == BusQueryHardwareIDs);
        return Complete(irp, text ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES, text);
      }
      break;
    case IRP_MN_REMOVE_DEVICE:
      Complete(irp, STATUS_SUCCESS);
      if (!p->reported) {
        g_children.erase(std::remove(g_children.begin(), g_children.end(), device), g_children.end());
        if (device == g_root) g_root = nullptr;
        p->~Pdo();
        IoDeleteDevice(device);
      }
      return STATUS_SUCCESS;
    case IRP_MN_QUERY_CAPABILITIES:
      st->Parameters.DeviceCapabilities.Capabilities->RawDeviceOK = p->raw;
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return Complete(irp, STATUS_SUCCESS);
    default:
      break;
  }
  NTSTATUS s = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return s;
}

NTSTATUS BusPower(DEVICE_OBJECT* device, IRP* irp) {
  IO_STACK_LOCATION* st = IoGetCurrentIrpStackLocation(irp);
  PoStartNextPowerIrp(irp);
  if (st->MinorFunction == IRP_MN_SET_POWER && st->Parameters.Power.Type == DevicePowerState)
    PoSetPowerState(device, DevicePowerState, st->Parameters.Power.State);
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS BusEntry(DRIVER_OBJECT* driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = BusPnp;
  driver->MajorFunction[IRP_MJ_POWER] = BusPower;
  return STATUS_SUCCESS;
}

// The function driver of the children: passes PnP down, refuses QUERY_STOP on request,
// registers an interface, serves create/close and two control codes, and WMI.
struct Fdo {
  DEVICE_OBJECT* lower;
  UNICODE_STRING link;
  bool refuse_stop;
  std::vector<UCHAR> log;
  WString last_file_name;
  ULONG debug_level;
  WMILIB_CONTEXT wmi;
  std::vector<std::pair<UCHAR, int>> power;  // minor, state
};
WMIGUIDREGINFO g_wmi_guids[1] = {{&kTestWmi, 1, 0}};
UNICODE_STRING g_registry_path;

NTSTATUS WmiRegInfo(DEVICE_OBJECT* device, ULONG* flags, PUNICODE_STRING, PUNICODE_STRING* path, PUNICODE_STRING mof,
                    DEVICE_OBJECT** pdo) {
  *flags = WMIREG_FLAG_INSTANCE_PDO;
  *path = &g_registry_path;
  RtlInitUnicodeString(mof, u"MofResourceName");
  *pdo = static_cast<Fdo*>(device->DeviceExtension)->lower;
  return STATUS_SUCCESS;
}

NTSTATUS WmiQuery(DEVICE_OBJECT* device, IRP* irp, ULONG, ULONG, ULONG, ULONG* lengths, ULONG avail, PUCHAR buffer) {
  if (avail < 4) return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, 4, IO_NO_INCREMENT);
  std::memcpy(buffer, &static_cast<Fdo*>(device->DeviceExtension)->debug_level, 4);
  *lengths = 4;
  return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 4, IO_NO_INCREMENT);
}

NTSTATUS FdoPnp(DEVICE_OBJECT* device, IRP* irp) {
  auto* f = static_cast<Fdo*>(device->DeviceExtension);
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  f->log.push_back(minor);
  if (minor == IRP_MN_QUERY_STOP_DEVICE && f->refuse_stop) return Complete(irp, STATUS_DEVICE_BUSY);
  if (minor == IRP_MN_START_DEVICE) IoSetDeviceInterfaceState(&f->link, TRUE);
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS s = IoCallDriver(f->lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    IoWMIRegistrationControl(device, WMIREG_ACTION_DEREGISTER);
    RtlFreeUnicodeString(&f->link);
    DEVICE_OBJECT* lower = f->lower;
    f->~Fdo();
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  return s;
}

NTSTATUS FdoPower(DEVICE_OBJECT* device, IRP* irp) {
  auto* f = static_cast<Fdo*>(device->DeviceExtension);
  IO_STACK_LOCATION* st = IoGetCurrentIrpStackLocation(irp);
  f->power.emplace_back(st->MinorFunction, static_cast<int>(st->Parameters.Power.State.SystemState));
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(f->lower, irp);
}

NTSTATUS FdoFile(DEVICE_OBJECT* device, IRP* irp) {
  auto* f = static_cast<Fdo*>(device->DeviceExtension);
  IO_STACK_LOCATION* st = IoGetCurrentIrpStackLocation(irp);
  if (st->MajorFunction == IRP_MJ_CREATE) f->last_file_name = ToWString(st->FileObject->FileName);
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS FdoControl(DEVICE_OBJECT*, IRP* irp) {
  IO_STACK_LOCATION* st = IoGetCurrentIrpStackLocation(irp);
  auto& p = st->Parameters.DeviceIoControl;
  if (p.IoControlCode == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)) {
    auto* b = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    uint8_t first = p.InputBufferLength ? b[0] : 0;
    std::memset(b, first + 1, p.OutputBufferLength);
    return Complete(irp, STATUS_SUCCESS, p.OutputBufferLength);
  }
  if (p.IoControlCode == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x915, METHOD_IN_DIRECT, FILE_ANY_ACCESS)) {
    auto* out = static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
    std::memset(out, 0x77, MmGetMdlByteCount(irp->MdlAddress));
    return Complete(irp, STATUS_SUCCESS, 0);
  }
  return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS FdoSystemControl(DEVICE_OBJECT* device, IRP* irp) {
  auto* f = static_cast<Fdo*>(device->DeviceExtension);
  SYSCTL_IRP_DISPOSITION d;
  NTSTATUS s = WmiSystemControl(&f->wmi, device, irp, &d);
  if (d == IrpForward || d == IrpNotWmi) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(f->lower, irp);
  }
  if (d == IrpNotCompleted) IoCompleteRequest(irp, IO_NO_INCREMENT);
  return s;
}

NTSTATUS FdoAdd(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
  DEVICE_OBJECT* fdo;
  NTSTATUS s = IoCreateDevice(driver, sizeof(Fdo), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(s)) return s;
  auto* f = new (fdo->DeviceExtension) Fdo{};
  f->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  s = IoRegisterDeviceInterface(pdo, &kTestInterface, nullptr, &f->link);
  f->wmi = WMILIB_CONTEXT{1, g_wmi_guids, WmiRegInfo, WmiQuery, nullptr, nullptr, nullptr, nullptr};
  IoWMIRegistrationControl(fdo, WMIREG_ACTION_REGISTER);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return s;
}

NTSTATUS FdoEntry(DRIVER_OBJECT* driver, PUNICODE_STRING path) {
  g_registry_path = *path;
  driver->MajorFunction[IRP_MJ_PNP] = FdoPnp;
  driver->MajorFunction[IRP_MJ_POWER] = FdoPower;
  driver->MajorFunction[IRP_MJ_CREATE] = FdoFile;
  driver->MajorFunction[IRP_MJ_CLOSE] = FdoFile;
  driver->MajorFunction[IRP_MJ_CLEANUP] = FdoFile;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FdoControl;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = FdoSystemControl;
  driver->DriverExtension->AddDevice = FdoAdd;
  return STATUS_SUCCESS;
}

class PnpTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    bus_ = vorn::kernel::LoadDriver(u"vorntestbus", BusEntry);
    fdo_driver_ = vorn::kernel::LoadDriver(u"vorntestfn", FdoEntry);
    pnp::RegisterDriver(u"TEST\\CHILD", fdo_driver_);
    IoCreateDevice(bus_, sizeof(Pdo), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &g_root);
    new (g_root->DeviceExtension) Pdo{true, u"ROOT\\TESTBUS", true, nullptr};
    g_root->Flags &= ~DO_DEVICE_INITIALIZING;
    root_ = pnp::AddRootDevice(g_root);
  }
  void TearDown() override {
    static_cast<Pdo*>(g_root->DeviceExtension)->reported = false;
    for (DEVICE_OBJECT* c : g_children) static_cast<Pdo*>(c->DeviceExtension)->reported = false;
    pnp::SurpriseRemove(root_);
    pnp::WaitIdle();
    EXPECT_TRUE(g_children.empty());
    pnp::UnregisterDriver(fdo_driver_);
    vorn::kernel::UnloadDriver(fdo_driver_);
    vorn::kernel::UnloadDriver(bus_);
    EXPECT_EQ(vorn::kernel::irp::CheckNoneInDriver(), 0u);
    EXPECT_EQ(vorn::kernel::LiveDeviceCount(), 0u);
    EXPECT_EQ(vorn::kernel::pool::AllOutstanding().size(), 0u);
    KernelTest::TearDown();
  }
  // Plugs a child into the bus and lets the PnP manager find it.
  Fdo* Plug(std::vector<UCHAR>* pdo_log = nullptr, WString id = u"TEST\\CHILD", bool raw = false) {
    DEVICE_OBJECT* child;
    IoCreateDevice(bus_, sizeof(Pdo), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &child);
    new (child->DeviceExtension) Pdo{false, id, true, pdo_log, raw};
    child->Flags &= ~DO_DEVICE_INITIALIZING;
    g_children.push_back(child);
    IoInvalidateDeviceRelations(g_root, BusRelations);
    pnp::WaitIdle();
    DEVICE_OBJECT* top = IoGetAttachedDevice(child);
    return top == child ? nullptr : static_cast<Fdo*>(top->DeviceExtension);
  }
  void Unplug(DEVICE_OBJECT* child) {
    static_cast<Pdo*>(child->DeviceExtension)->reported = false;
    IoInvalidateDeviceRelations(g_root, BusRelations);
    pnp::WaitIdle();
  }
  DRIVER_OBJECT* bus_ = nullptr;
  DRIVER_OBJECT* fdo_driver_ = nullptr;
  pnp::DevNode* root_ = nullptr;
};

TEST_F(PnpTest, NewChildIsIdentifiedStartedAndRemovedWhenItVanishes) {
  std::vector<UCHAR> pdo_log;
  Fdo* f = Plug(&pdo_log);
  DEVICE_OBJECT* child = g_children.at(0);
  const std::vector<UCHAR> start = {IRP_MN_QUERY_ID, IRP_MN_QUERY_ID, IRP_MN_QUERY_ID, IRP_MN_QUERY_ID,
                                    IRP_MN_QUERY_DEVICE_TEXT, IRP_MN_QUERY_DEVICE_TEXT, IRP_MN_QUERY_CAPABILITIES,
                                    IRP_MN_QUERY_BUS_INFORMATION, IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES,
                                    IRP_MN_QUERY_DEVICE_RELATIONS};
  EXPECT_EQ(pdo_log, start);
  pnp::DevNode* node = pnp::FindNode(child);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(pnp::Info(node).state, pnp::NodeState::kStarted);
  EXPECT_EQ(pnp::Info(node).driver, fdo_driver_);
  WString key;
  EXPECT_TRUE(vorn::kernel::registry::GetString(WString(vorn::kernel::registry::kEnumPath) + u"\\TEST\\CHILD\\7",
                                                u"Driver", &key));
  EXPECT_EQ(key, pnp::Info(node).driver_key);
  ASSERT_EQ(vorn::kernel::interfaces::Enabled(kTestInterface).size(), 1u);
  EXPECT_EQ(vorn::kernel::interfaces::Enabled(kTestInterface)[0],
            u"\\??\\TEST#CHILD#7#{11223344-5566-7788-99aa-bbccddeeff00}");
  (void)f;

  pdo_log.clear();
  Unplug(child);
  EXPECT_EQ(pdo_log, (std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
  EXPECT_TRUE(g_children.empty());
  EXPECT_TRUE(vorn::kernel::interfaces::Enabled(kTestInterface).empty());
}

TEST_F(PnpTest, StopAndRemoveRequestsFollowTheirQueries) {
  Fdo* f = Plug();
  pnp::DevNode* node = pnp::FindNode(g_children.at(0));
  EXPECT_EQ(pnp::Stop(node), STATUS_SUCCESS);
  EXPECT_EQ(pnp::Info(node).state, pnp::NodeState::kStopped);
  EXPECT_EQ(pnp::Start(node), STATUS_SUCCESS);
  f->refuse_stop = true;
  f->log.clear();
  EXPECT_EQ(pnp::Stop(node), STATUS_DEVICE_BUSY);
  EXPECT_EQ(f->log, (std::vector<UCHAR>{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}));
  EXPECT_EQ(pnp::Info(node).state, pnp::NodeState::kStarted);

  EXPECT_EQ(pnp::QueryRemove(node), STATUS_SUCCESS);
  EXPECT_EQ(pnp::CancelRemove(node), STATUS_SUCCESS);
  EXPECT_EQ(pnp::Info(node).state, pnp::NodeState::kStarted);
  // Removed while still present: the PDO stays, and a new start builds the stack again.
  EXPECT_EQ(pnp::Remove(node), STATUS_SUCCESS);
  EXPECT_EQ(pnp::Info(node).state, pnp::NodeState::kRemoved);
  EXPECT_EQ(IoGetAttachedDevice(g_children.at(0)), g_children.at(0));
  EXPECT_EQ(pnp::Start(node), STATUS_SUCCESS);
  EXPECT_NE(IoGetAttachedDevice(g_children.at(0)), g_children.at(0));
}

TEST_F(PnpTest, RemovalOfASurpriseRemovedDeviceWaitsForItsOpenFiles) {
  Fdo* f = Plug();
  DEVICE_OBJECT* child = g_children.at(0);
  auto links = vorn::kernel::interfaces::Enabled(kTestInterface);
  ASSERT_EQ(links.size(), 1u);
  FILE_OBJECT* file = nullptr;
  WString path = links[0] + u"\\roothub";
  path[1] = u'\\';  // the user-mode spelling "\\?\"
  ASSERT_EQ(vorn::kernel::io::Open(path, &file), STATUS_SUCCESS);
  EXPECT_EQ(f->last_file_name, u"\\roothub");

  // Buffered: the answer is copied back; in-direct: written in place through the MDL.
  uint8_t in = 4, out[6] = {};
  ULONG_PTR info = 0;
  EXPECT_EQ(vorn::kernel::io::DeviceControl(file, 0x222400, &in, 1, out, sizeof(out), &info), STATUS_SUCCESS);
  EXPECT_EQ(info, 6u);
  EXPECT_EQ(out[5], 5);
  uint8_t direct[3] = {};
  EXPECT_EQ(vorn::kernel::io::DeviceControl(file, 0x222455, &in, 1, direct, 3), STATUS_SUCCESS);
  EXPECT_EQ(direct[2], 0x77);
  // No system buffer to be had: the request fails before the driver sees it.
  vorn::kernel::pool::FailAllAllocations(PoolTag("IoUb"), true);
  out[5] = 0;
  info = 9;
  EXPECT_EQ(vorn::kernel::io::DeviceControl(file, 0x222400, &in, 1, out, sizeof(out), &info),
            STATUS_INSUFFICIENT_RESOURCES);
  vorn::kernel::pool::FailAllAllocations(PoolTag("IoUb"), false);
  EXPECT_EQ(out[5], 0);

  std::vector<WString> removed;
  int follower = vorn::kernel::interfaces::Follow(&kTestInterface, [&](const GUID&, const WString& link, bool arrived) {
    if (!arrived) removed.push_back(link);
  });
  f->log.clear();
  Unplug(child);
  EXPECT_EQ(f->log, (std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL}));  // REMOVE waits for the file
  EXPECT_EQ(g_children.size(), 1u);
  EXPECT_EQ(removed.size(), 1u);  // the interface went away with the surprise removal
  vorn::kernel::io::Close(file);
  pnp::WaitIdle();
  EXPECT_TRUE(g_children.empty());
  EXPECT_EQ(removed.size(), 1u);
  vorn::kernel::interfaces::Unfollow(follower);
}

TEST_F(PnpTest, SystemSleepReachesEveryStackAndDevicePowerRequestsComplete) {
  Fdo* f = Plug();
  ASSERT_EQ(vorn::kernel::power::SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
  ASSERT_EQ(vorn::kernel::power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(f->power, (std::vector<std::pair<UCHAR, int>>{{IRP_MN_QUERY_POWER, PowerSystemSleeping3},
                                                          {IRP_MN_SET_POWER, PowerSystemSleeping3},
                                                          {IRP_MN_SET_POWER, PowerSystemWorking}}));
  struct Done {
    KEVENT event;
    NTSTATUS status;
  } done{};
  KeInitializeEvent(&done.event, NotificationEvent, FALSE);
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  EXPECT_EQ(PoRequestPowerIrp(g_children.at(0), IRP_MN_SET_POWER, d3,
                              [](DEVICE_OBJECT*, UCHAR, POWER_STATE, PVOID ctx, IO_STATUS_BLOCK* io) {
                                auto* d = static_cast<Done*>(ctx);
                                d->status = io->Status;
                                KeSetEvent(&d->event, 0, FALSE);
                              },
                              &done, nullptr),
            STATUS_PENDING);
  KeWaitForSingleObject(&done.event, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(done.status, STATUS_SUCCESS);
  EXPECT_EQ(vorn::kernel::power::ReportedDeviceState(g_children.at(0)), PowerDeviceD3);
  vorn::kernel::WaitWorkIdle();
}

TEST_F(PnpTest, WmiLibraryServesTheRegisteredBlock) {
  Fdo* f = Plug();
  DEVICE_OBJECT* fdo = IoGetAttachedDevice(g_children.at(0));
  EXPECT_TRUE(vorn::kernel::wmi::IsRegistered(fdo));
  auto reg = vorn::kernel::wmi::QueryRegInfo(fdo);
  EXPECT_EQ(reg.status, STATUS_SUCCESS);
  EXPECT_EQ(reg.flags, WMIREG_FLAG_INSTANCE_PDO);
  EXPECT_EQ(reg.mof_resource_name, u"MofResourceName");
  EXPECT_EQ(reg.pdo, g_children.at(0));
  f->debug_level = 0x1234;
  uint8_t buffer[8];
  ULONG needed = 0;
  EXPECT_EQ(vorn::kernel::wmi::QueryDataBlock(fdo, kTestWmi, buffer, 3, &needed), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(needed, 4u);
  EXPECT_EQ(vorn::kernel::wmi::QueryDataBlock(fdo, kTestWmi, buffer, 8, &needed), STATUS_SUCCESS);
  ULONG value;
  std::memcpy(&value, buffer, 4);
  EXPECT_EQ(value, 0x1234u);
  EXPECT_EQ(vorn::kernel::wmi::QueryDataBlock(fdo, kTestInterface, buffer, 8, &needed), STATUS_WMI_GUID_NOT_FOUND);
  EXPECT_EQ(vorn::kernel::wmi::SetDataItem(fdo, kTestWmi, 1, buffer, 4), STATUS_WMI_READ_ONLY);
}


TEST_F(PnpTest, ADeviceWithoutItsDriverIsNotStartedUnlessItRunsRaw) {
  struct Case {
    const char* name;
    bool raw;
    pnp::NodeState state;
  };
  for (const Case& c : {Case{"no_driver", false, pnp::NodeState::kEnumerated},
                        Case{"raw", true, pnp::NodeState::kStarted}}) {
    SCOPED_TRACE(c.name);
    std::vector<UCHAR> pdo_log;
    EXPECT_EQ(Plug(&pdo_log, u"TEST\\ORPHAN", c.raw), nullptr) << "no function driver attached";
    pnp::DevNode* node = pnp::FindNode(g_children.back());
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(pnp::Info(node).state, c.state);
    EXPECT_EQ(pnp::Info(node).driver, nullptr);
    EXPECT_EQ(std::count(pdo_log.begin(), pdo_log.end(), IRP_MN_START_DEVICE), c.raw ? 1 : 0);
    Unplug(g_children.back());
  }
  // A driver registered later binds at the next start.
  Plug(nullptr, u"TEST\\LATE");
  pnp::DevNode* late = pnp::FindNode(g_children.back());
  ASSERT_EQ(pnp::Info(late).state, pnp::NodeState::kEnumerated);
  pnp::RegisterDriver(u"TEST\\LATE", fdo_driver_);
  EXPECT_EQ(pnp::Start(late), STATUS_SUCCESS);
  EXPECT_EQ(pnp::Info(late).state, pnp::NodeState::kStarted);
  EXPECT_EQ(pnp::Info(late).driver, fdo_driver_);
}

TEST_F(PnpTest, ADeviceWhoseIdCannotBeReadIsNeitherNamedNorStarted) {
  std::vector<UCHAR> pdo_log;
  // The bus's first answer of the plug, the device id, finds no memory.
  pnp::RegisterDriver(u"TEST\\NAMELESS", fdo_driver_);
  vorn::kernel::pool::FailNthAllocation(PoolTag("tsti"), 1);
  EXPECT_EQ(Plug(&pdo_log, u"TEST\\NAMELESS"), nullptr) << "no function driver attached";
  vorn::kernel::pool::FailNthAllocation(PoolTag("tsti"), 0);
  pnp::DevNode* node = pnp::FindNode(g_children.back());
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(pnp::Info(node).state, pnp::NodeState::kFailed);
  EXPECT_EQ(std::count(pdo_log.begin(), pdo_log.end(), IRP_MN_START_DEVICE), 0);
  EXPECT_FALSE(vorn::kernel::registry::KeyExists(WString(vorn::kernel::registry::kEnumPath) + u"\\TEST\\NAMELESS"));
  EXPECT_TRUE(vorn::kernel::interfaces::Enabled(kTestInterface).empty());
  pdo_log.clear();
  Unplug(g_children.back());
  EXPECT_EQ(pdo_log, std::vector<UCHAR>{IRP_MN_REMOVE_DEVICE});
  // The next device is named and started as ever.
  ASSERT_NE(Plug(), nullptr);
  EXPECT_EQ(pnp::Info(pnp::FindNode(g_children.back())).state, pnp::NodeState::kStarted);
}

TEST_F(PnpTest, ADeviceRemovedWhilePresentComesBackAtTheNextEnumerationAndGoesWhenUnplugged) {
  std::vector<UCHAR> pdo_log;
  Plug(&pdo_log);
  DEVICE_OBJECT* child = g_children.at(0);
  pnp::DevNode* node = pnp::FindNode(child);
  ASSERT_EQ(pnp::Remove(node), STATUS_SUCCESS);
  ASSERT_EQ(pnp::Info(node).state, pnp::NodeState::kRemoved);
  IoInvalidateDeviceRelations(g_root, BusRelations);
  pnp::WaitIdle();
  EXPECT_EQ(pnp::Info(node).state, pnp::NodeState::kStarted);
  EXPECT_NE(IoGetAttachedDevice(child), child) << "its driver is attached again";

  // Removed again, then no longer reported: a second REMOVE lets the bus delete it.
  ASSERT_EQ(pnp::Remove(node), STATUS_SUCCESS);
  pdo_log.clear();
  Unplug(child);
  EXPECT_EQ(pdo_log, std::vector<UCHAR>{IRP_MN_REMOVE_DEVICE});
  EXPECT_TRUE(g_children.empty());
}

// A device that pends every PnP request and completes it from another thread.
NTSTATUS PendingPnp(DEVICE_OBJECT*, IRP* irp) {
  IoMarkIrpPending(irp);
  std::thread([irp] {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 42;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }).detach();
  return STATUS_PENDING;
}

TEST_F(PnpTest, ASynchronousRequestReportsToItsIssuerAndIsFreed) {
  Plug();
  DEVICE_OBJECT* top = IoGetAttachedDeviceReference(g_children.at(0));
  DRIVER_OBJECT* pending_driver = vorn::kernel::LoadDriver(u"vorntestpend", [](DRIVER_OBJECT* d, PUNICODE_STRING) {
    d->MajorFunction[IRP_MJ_PNP] = PendingPnp;
    return STATUS_SUCCESS;
  });
  DEVICE_OBJECT* pending = nullptr;
  ASSERT_EQ(IoCreateDevice(pending_driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pending), STATUS_SUCCESS);
  pending->Flags &= ~DO_DEVICE_INITIALIZING;

  struct Case {
    const char* name;
    DEVICE_OBJECT* target;
    BUS_QUERY_ID_TYPE id;
    NTSTATUS status;
    bool text;  // Information is an id in pool
  };
  for (const Case& c : {Case{"answered_inline", top, BusQueryDeviceID, STATUS_SUCCESS, true},
                        Case{"not_answered_keeps_the_preset", top, BusQueryContainerID, STATUS_NOT_SUPPORTED, false},
                        Case{"pended_and_completed_elsewhere", pending, BusQueryDeviceID, STATUS_SUCCESS, false}}) {
    SCOPED_TRACE(c.name);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK io_status{STATUS_PENDING, 0};
    IRP* irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, c.target, nullptr, 0, nullptr, &done, &io_status);
    ASSERT_NE(irp, nullptr);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IO_STACK_LOCATION* st = IoGetNextIrpStackLocation(irp);
    st->MinorFunction = IRP_MN_QUERY_ID;
    st->Parameters.QueryId.IdType = c.id;
    IoCallDriver(c.target, irp);
    bool set = false;
    for (int i = 0; i < 30000 && !set; ++i) {
      set = KeReadStateEvent(&done) != 0;
      if (!set) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(set) << "the issuer's event is set";
    EXPECT_EQ(io_status.Status, c.status);
    if (c.text) {
      auto* id = reinterpret_cast<WCHAR*>(io_status.Information);
      ASSERT_NE(id, nullptr);
      EXPECT_EQ(WString(id), u"TEST\\CHILD");
      ExFreePool(id);
    } else if (c.target == pending) {
      EXPECT_EQ(io_status.Information, 42u);
    }
  }
  EXPECT_EQ(IoBuildSynchronousFsdRequest(IRP_MJ_PNP, nullptr, nullptr, 0, nullptr, nullptr, nullptr), nullptr);
  ObDereferenceObject(top);
  IoDeleteDevice(pending);
  vorn::kernel::UnloadDriver(pending_driver);
}

}  // namespace
