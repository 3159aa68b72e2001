#include <atomic>
#include <cstring>
#include <thread>

#include "platform/kernel/wdm.h"
#include "platform/usb/bus/usb_bus.h"
#include "tests/platform/kernel/kernel_fixture.h"
#include "tests/platform/usb/test_usb_device.h"

namespace {

namespace pnp = vorn::kernel::pnp;
using vorn::usb::testing::TestUsbDevice;

// A small function driver: configures the device at START and keeps its pipe handles.
struct Fdo {
  DEVICE_OBJECT* self;
  DEVICE_OBJECT* lower;
  USBD_PIPE_HANDLE pipes[3];
  bool started;
};

NTSTATUS OnDone(DEVICE_OBJECT*, IRP*, PVOID context) {
  KeSetEvent(static_cast<KEVENT*>(context), 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(Fdo* f, IRP* irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, OnDone, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(f->lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

NTSTATUS SubmitUrb(DEVICE_OBJECT* lower, URB* urb) {
  KEVENT done;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IRP* irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, lower, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  NTSTATUS s = IoCallDriver(lower, irp);
  if (s == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    s = iosb.Status;
  }
  return s;
}

NTSTATUS Configure(Fdo* f) {
  uint8_t config[64] = {};
  URB urb{};
  UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0,
                               config, nullptr, sizeof(config), nullptr);
  NTSTATUS s = SubmitUrb(f->lower, &urb);
  if (!NT_SUCCESS(s)) return s;
  auto* cd = reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(config);
  USBD_INTERFACE_LIST_ENTRY list[2] = {{USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1), nullptr}, {nullptr, nullptr}};
  URB* select = USBD_CreateConfigurationRequestEx(cd, list);
  if (!select) return STATUS_INSUFFICIENT_RESOURCES;
  s = SubmitUrb(f->lower, select);
  if (NT_SUCCESS(s))
    for (int i = 0; i < 3; ++i) f->pipes[i] = list[0].Interface->Pipes[i].PipeHandle;
  ExFreePool(select);
  return s;
}

NTSTATUS FdoPnp(DEVICE_OBJECT* device, IRP* irp) {
  auto* f = static_cast<Fdo*>(device->DeviceExtension);
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (minor == IRP_MN_START_DEVICE) {
    NTSTATUS s = ForwardAndWait(f, irp);
    if (NT_SUCCESS(s)) s = Configure(f);
    f->started = NT_SUCCESS(s);
    irp->IoStatus.Status = s;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return s;
  }
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS s = IoCallDriver(f->lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(f->lower);
    IoDeleteDevice(device);
  }
  return s;
}

NTSTATUS FdoPower(DEVICE_OBJECT* device, IRP* irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(static_cast<Fdo*>(device->DeviceExtension)->lower, irp);
}

NTSTATUS FdoAddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
  DEVICE_OBJECT* fdo;
  NTSTATUS s = IoCreateDevice(driver, sizeof(Fdo), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(s)) return s;
  auto* f = static_cast<Fdo*>(fdo->DeviceExtension);
  f->self = fdo;
  f->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS FdoEntry(DRIVER_OBJECT* driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = FdoPnp;
  driver->MajorFunction[IRP_MJ_POWER] = FdoPower;
  driver->DriverExtension->AddDevice = FdoAddDevice;
  return STATUS_SUCCESS;
}

// One bulk or interrupt read in flight: its completions are counted.
struct Read {
  IRP* irp;
  URB urb;
  uint8_t buffer[64];
  std::atomic<int> completions{0};
  std::atomic<bool> at_dispatch{false};
  KEVENT done;
};

NTSTATUS ReadDone(DEVICE_OBJECT*, IRP* irp, PVOID context) {
  auto* r = static_cast<Read*>(context);
  r->at_dispatch = KeGetCurrentIrql() == DISPATCH_LEVEL;
  (void)irp;
  ++r->completions;
  KeSetEvent(&r->done, 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void StartRead(Fdo* f, Read* r, USBD_PIPE_HANDLE pipe, ULONG length = 64) {
  KeInitializeEvent(&r->done, NotificationEvent, FALSE);
  r->completions = 0;
  std::memset(&r->urb, 0, sizeof(r->urb));
  UsbBuildInterruptOrBulkTransferRequest(&r->urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), pipe, r->buffer, nullptr, length,
                                         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
  IO_STACK_LOCATION* st = IoGetNextIrpStackLocation(r->irp);
  st->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  st->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  st->Parameters.Others.Argument1 = &r->urb;
  IoSetCompletionRoutine(r->irp, ReadDone, r, TRUE, TRUE, TRUE);
  IoCallDriver(f->lower, r->irp);
}

class UsbBusTest : public vorn::kernel::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    driver_ = vorn::kernel::LoadDriver(u"vorntestfdo", FdoEntry);
    pnp::RegisterDriver(u"USB\\VID_3A7C&PID_0A5E", driver_);
  }
  void TearDown() override {
    pnp::WaitIdle();
    pnp::UnregisterDriver(driver_);
    vorn::kernel::UnloadDriver(driver_);
    EXPECT_EQ(vorn::kernel::irp::CheckNoneInDriver(), 0u);
    KernelTest::TearDown();
  }
  Fdo* Attach(vorn::usb::UsbBus& bus, TestUsbDevice& device) {
    DEVICE_OBJECT* pdo = bus.Attach(device);
    pnp::WaitIdle();
    if (!pdo) return nullptr;
    return static_cast<Fdo*>(IoGetAttachedDevice(pdo)->DeviceExtension);
  }
  DRIVER_OBJECT* driver_ = nullptr;
};

TEST_F(UsbBusTest, AttachBuildsAStartedStackAndRoutesUrbs) {
  TestUsbDevice device;
  {
    vorn::usb::UsbBus bus;
    pnp::ClearLog();
    Fdo* f = Attach(bus, device);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(f->started);
    pnp::DevNode* node = pnp::FindNode(f->lower);
    ASSERT_NE(node, nullptr);
    pnp::NodeInfo info = pnp::Info(node);
    EXPECT_EQ(info.device_id, u"USB\\VID_3A7C&PID_0A5E");
    EXPECT_EQ(info.state, pnp::NodeState::kStarted);
    EXPECT_EQ(info.compatible_ids.at(0), u"USB\\Class_FF&SubClass_00&Prot_00");
    EXPECT_TRUE(info.has_bus_information);
    auto log = pnp::Log();
    auto at = [&](const std::string& what) { return std::find(log.begin(), log.end(), what) - log.begin(); };
    EXPECT_LT(at("QUERY_ID USB\\VID_3A7C&PID_0A5E"), at("START USB\\VID_3A7C&PID_0A5E"));
    ASSERT_TRUE(f->pipes[0] && f->pipes[1] && f->pipes[2]);

    // Driver key property, asked first for its size.
    ULONG needed = 0;
    EXPECT_EQ(IoGetDeviceProperty(f->self, DevicePropertyDriverKeyName, 0, nullptr, &needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, (info.driver_key.size() + 1) * 2);

    // Vendor requests: data IN, and a stall with its USBD status.
    uint8_t data[4] = {};
    URB urb{};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, 0xB0, 0, 4, data, nullptr, 4, nullptr);
    EXPECT_EQ(SubmitUrb(f->lower, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, 4u);
    EXPECT_EQ(data[3], 0xB3);
    vorn::usb::SetupPacket last = device.ControlLog().back();
    EXPECT_EQ(last.bmRequestType, 0xC0);
    EXPECT_EQ(last.wIndex, 4);
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0, 0xEE, 0,
                          0, nullptr, nullptr, 0, nullptr);
    EXPECT_EQ(SubmitUrb(f->lower, &urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);

    // Bulk OUT reaches the device's endpoint 0x02; a stale pipe handle is refused.
    uint8_t payload[5] = {1, 2, 3, 4, 5};
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), f->pipes[0], payload, nullptr, 5,
                                           USBD_SHORT_TRANSFER_OK, nullptr);
    EXPECT_EQ(SubmitUrb(f->lower, &urb), STATUS_SUCCESS);
    EXPECT_EQ(device.Written(0x02), std::vector<uint8_t>(payload, payload + 5));
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), payload, payload, nullptr, 5, 0, nullptr);
    EXPECT_EQ(SubmitUrb(f->lower, &urb), STATUS_INVALID_PARAMETER);
  }
  EXPECT_EQ(vorn::kernel::pool::AllOutstanding().size(), 0u);
}

TEST_F(UsbBusTest, CancelAgainstCompletionCompletesEachReadOnce) {
  TestUsbDevice device;
  vorn::usb::UsbBus bus;
  Fdo* f = Attach(bus, device);
  ASSERT_NE(f, nullptr);
  Read r;
  r.irp = IoAllocateIrp(static_cast<CCHAR>(f->lower->StackSize + 1), FALSE);
  int cancelled = 0, fed = 0;
  for (int i = 0; i < 300; ++i) {
    if (i) IoReuseIrp(r.irp, STATUS_SUCCESS);
    StartRead(f, &r, f->pipes[1]);
    while (device.Waiting() == 0) std::this_thread::yield();
    std::thread feeder([&] { device.Feed(0x81, {9, 9, 9}); });
    if (i % 2) std::this_thread::yield();
    IoCancelIrp(r.irp);
    feeder.join();
    KeWaitForSingleObject(&r.done, Executive, KernelMode, FALSE, nullptr);
    ASSERT_EQ(r.completions, 1);
    EXPECT_TRUE(r.at_dispatch);
    NTSTATUS s = r.irp->IoStatus.Status;
    ASSERT_TRUE(s == STATUS_SUCCESS || s == STATUS_CANCELLED) << StatusName(s);
    if (s == STATUS_CANCELLED) {
      ++cancelled;
      EXPECT_EQ(r.urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    } else {
      ++fed;
      EXPECT_EQ(r.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
    }
  }
  EXPECT_EQ(cancelled + fed, 300);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(r.completions, 1);
  IoFreeIrp(r.irp);
}

TEST_F(UsbBusTest, SurpriseRemovalWithReadsPendingCompletesThemAndTearsDown) {
  TestUsbDevice device;
  vorn::usb::UsbBus bus;
  Fdo* f = Attach(bus, device);
  ASSERT_NE(f, nullptr);
  DEVICE_OBJECT* lower = f->lower;
  Read reads[3];
  for (Read& r : reads) {
    r.irp = IoAllocateIrp(static_cast<CCHAR>(lower->StackSize + 1), FALSE);
    StartRead(f, &r, f->pipes[2]);
  }
  pnp::ClearLog();
  device.Unplug();
  bus.Detach(device);
  pnp::WaitIdle();
  for (Read& r : reads) {
    KeWaitForSingleObject(&r.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(r.completions, 1);
    EXPECT_EQ(r.irp->IoStatus.Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(r.urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    IoFreeIrp(r.irp);
  }
  auto log = pnp::Log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[log.size() - 2], "SURPRISE_REMOVAL USB\\VID_3A7C&PID_0A5E");
  EXPECT_EQ(log.back(), "REMOVE USB\\VID_3A7C&PID_0A5E");
  EXPECT_EQ(pnp::FindNodeById(u"USB\\VID_3A7C&PID_0A5E"), nullptr);
}

TEST_F(UsbBusTest, WaitWakeStaysPendingUntilWokenOrCancelled) {
  TestUsbDevice device;
  vorn::usb::UsbBus bus;
  Fdo* f = Attach(bus, device);
  ASSERT_NE(f, nullptr);
  struct Result {
    KEVENT done;
    NTSTATUS status = STATUS_PENDING;
  } result;
  for (bool wake : {true, false}) {
    KeInitializeEvent(&result.done, NotificationEvent, FALSE);
    POWER_STATE state;
    state.SystemState = PowerSystemSleeping3;
    IRP* irp = nullptr;
    ASSERT_EQ(PoRequestPowerIrp(f->lower, IRP_MN_WAIT_WAKE, state,
                                [](DEVICE_OBJECT*, UCHAR, POWER_STATE, PVOID ctx, IO_STATUS_BLOCK* io) {
                                  auto* r = static_cast<Result*>(ctx);
                                  r->status = io->Status;
                                  KeSetEvent(&r->done, 0, FALSE);
                                },
                                &result, &irp),
              STATUS_PENDING);
    while (!bus.WaitWakePending(device)) std::this_thread::yield();
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&result.done, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    if (wake)
      EXPECT_TRUE(bus.InjectWake(device));
    else
      EXPECT_TRUE(IoCancelIrp(irp));
    KeWaitForSingleObject(&result.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(result.status, wake ? STATUS_SUCCESS : STATUS_CANCELLED);
    EXPECT_FALSE(bus.InjectWake(device));
  }
  vorn::kernel::WaitWorkIdle();
}

NTSTATUS CountDone(DEVICE_OBJECT*, IRP*, PVOID context) {
  auto* r = static_cast<Read*>(context);
  ++r->completions;
  KeSetEvent(&r->done, 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(UsbBusTest, ChaosWritesEachCompleteOnceAndAccountForTheirBytes) {
  TestUsbDevice device;
  vorn::usb::BusOptions options;
  options.chaos = true;
  options.chaos_seed = 42;
  options.chaos_cancel_percent = 0;  // the test device completes OUT transfers at once
  vorn::usb::UsbBus bus(options);
  Fdo* f = Attach(bus, device);
  ASSERT_NE(f, nullptr);
  constexpr int kWrites = 200;
  std::vector<std::unique_ptr<Read>> writes;
  uint64_t reported = 0;
  for (int i = 0; i < kWrites; ++i) {
    auto w = std::make_unique<Read>();
    w->irp = IoAllocateIrp(static_cast<CCHAR>(f->lower->StackSize + 1), FALSE);
    KeInitializeEvent(&w->done, NotificationEvent, FALSE);
    std::memset(w->buffer, i, sizeof(w->buffer));
    UsbBuildInterruptOrBulkTransferRequest(&w->urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), f->pipes[0], w->buffer,
                                           nullptr, 64, USBD_SHORT_TRANSFER_OK, nullptr);
    IO_STACK_LOCATION* st = IoGetNextIrpStackLocation(w->irp);
    st->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    st->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    st->Parameters.Others.Argument1 = &w->urb;
    IoSetCompletionRoutine(w->irp, CountDone, w.get(), TRUE, TRUE, TRUE);
    IoCallDriver(f->lower, w->irp);
    writes.push_back(std::move(w));
  }
  for (auto& w : writes) {
    KeWaitForSingleObject(&w->done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(w->completions, 1);
    EXPECT_EQ(w->irp->IoStatus.Status, STATUS_SUCCESS);
    reported += w->urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    IoFreeIrp(w->irp);
  }
  EXPECT_EQ(reported, device.Written(0x02).size());
  auto c = bus.Counters();
  EXPECT_GT(c.chaos_delays, 0u);
  EXPECT_GT(c.chaos_short, 0u);
  EXPECT_GT(c.chaos_inline, 0u);
}

TEST_F(UsbBusTest, ChaosCancellationsOfReadsEachCompleteOnce) {
  TestUsbDevice device;
  vorn::usb::BusOptions options;
  options.chaos = true;
  options.chaos_seed = 7;
  options.chaos_cancel_percent = 30;
  vorn::usb::UsbBus bus(options);
  Fdo* f = Attach(bus, device);
  ASSERT_NE(f, nullptr);
  std::atomic<bool> feeding{true};
  std::thread feeder([&] {
    // Slow enough that scheduled cancels find reads still waiting.
    while (feeding) {
      std::this_thread::sleep_for(std::chrono::microseconds(300));
      device.Feed(0x83, std::vector<uint8_t>(64, 0x42));
    }
  });
  Read r;
  r.irp = IoAllocateIrp(static_cast<CCHAR>(f->lower->StackSize + 1), FALSE);
  int cancelled = 0, done = 0;
  for (int i = 0; i < 200; ++i) {
    if (i) IoReuseIrp(r.irp, STATUS_SUCCESS);
    StartRead(f, &r, f->pipes[2]);
    KeWaitForSingleObject(&r.done, Executive, KernelMode, FALSE, nullptr);
    ASSERT_EQ(r.completions, 1);
    NTSTATUS s = r.irp->IoStatus.Status;
    ASSERT_TRUE(s == STATUS_SUCCESS || s == STATUS_CANCELLED) << StatusName(s);
    (s == STATUS_CANCELLED ? cancelled : done)++;
  }
  feeding = false;
  feeder.join();
  IoFreeIrp(r.irp);
  EXPECT_GT(cancelled, 0);
  EXPECT_GT(done, 0);
  EXPECT_GT(bus.Counters().chaos_cancels, 0u);
}

}  // namespace
