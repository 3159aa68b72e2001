#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "platform/kernel/wdm.h"
#include "tests/platform/kernel/kernel_fixture.h"

namespace {

using vorn::kernel::testing::KernelTest;
namespace wmi = vorn::kernel::wmi;

constexpr GUID kBlock = {0x5A5A0001, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kOther = {0x5A5A0002, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
UNICODE_STRING g_path;

// One device of a two-device stack: the upper is a provider of kBlock through the library,
// the lower records what reaches it and completes it with its status unchanged.
struct Dev {
  bool upper;
  DEVICE_OBJECT* lower_device;
  WMILIB_CONTEXT wmi;
  ULONG value;
  ULONG claim_used;     // the query routine says it used this many bytes (0: the instance)
  ULONG claim_length;   // and that the instance is this long (0: 4)
  KEVENT* hold;         // the query routine waits here when set
  std::atomic<bool> in_query{false};
  std::atomic<int> reginfo{0}, seen{0};
  SYSCTL_IRP_DISPOSITION last;
  ULONG_PTR last_provider;
};
WMIGUIDREGINFO g_guids[1] = {{&kBlock, 1, 0}};

Dev* D(DEVICE_OBJECT* device) { return static_cast<Dev*>(device->DeviceExtension); }

NTSTATUS RegInfo(DEVICE_OBJECT* device, ULONG* flags, PUNICODE_STRING, PUNICODE_STRING* path, PUNICODE_STRING mof,
                 DEVICE_OBJECT** pdo) {
  ++D(device)->reginfo;
  *flags = WMIREG_FLAG_INSTANCE_PDO;
  *path = &g_path;
  RtlInitUnicodeString(mof, u"Schema");
  *pdo = D(device)->lower_device;
  return STATUS_SUCCESS;
}

NTSTATUS Query(DEVICE_OBJECT* device, IRP* irp, ULONG, ULONG, ULONG, ULONG* lengths, ULONG avail, PUCHAR buffer) {
  Dev* d = D(device);
  if (d->hold) {
    d->in_query = true;
    KeWaitForSingleObject(d->hold, Executive, KernelMode, FALSE, nullptr);
  }
  if (avail < 4) return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, 4, IO_NO_INCREMENT);
  std::memcpy(buffer, &d->value, 4);
  *lengths = d->claim_length ? d->claim_length : 4;
  return WmiCompleteRequest(device, irp, STATUS_SUCCESS, d->claim_used ? d->claim_used : 4, IO_NO_INCREMENT);
}

NTSTATUS SetBlock(DEVICE_OBJECT* device, IRP* irp, ULONG, ULONG, ULONG size, PUCHAR buffer) {
  if (size != 4) return WmiCompleteRequest(device, irp, STATUS_INFO_LENGTH_MISMATCH, 0, IO_NO_INCREMENT);
  std::memcpy(&D(device)->value, buffer, 4);
  return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 4, IO_NO_INCREMENT);
}

NTSTATUS SystemControl(DEVICE_OBJECT* device, IRP* irp) {
  Dev* d = D(device);
  ++d->seen;
  d->last_provider = IoGetCurrentIrpStackLocation(irp)->Parameters.WMI.ProviderId;
  if (!d->upper) {
    NTSTATUS s = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return s;
  }
  NTSTATUS s = WmiSystemControl(&d->wmi, device, irp, &d->last);
  if (d->last == IrpNotCompleted) IoCompleteRequest(irp, IO_NO_INCREMENT);
  if (d->last == IrpForward || d->last == IrpNotWmi) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(d->lower_device, irp);
  }
  return s;
}

NTSTATUS Entry(DRIVER_OBJECT* driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = SystemControl;
  return STATUS_SUCCESS;
}

class WmiTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    RtlInitUnicodeString(&g_path, u"\\Registry\\Machine\\System\\Services\\vornwmitest");
    driver_ = vorn::kernel::LoadDriver(u"vornwmitest", Entry);
    IoCreateDevice(driver_, sizeof(Dev), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower_);
    IoCreateDevice(driver_, sizeof(Dev), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper_);
    new (lower_->DeviceExtension) Dev{};
    Dev* u = new (upper_->DeviceExtension) Dev{};
    u->upper = true;
    u->lower_device = IoAttachDeviceToDeviceStack(upper_, lower_);
    u->wmi = WMILIB_CONTEXT{1, g_guids, RegInfo, Query, SetBlock, nullptr, nullptr, nullptr};
    ASSERT_EQ(IoWMIRegistrationControl(upper_, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
  }
  void TearDown() override {
    for (DEVICE_OBJECT* d : {upper_, lower_})
      if (wmi::IsRegistered(d)) IoWMIRegistrationControl(d, WMIREG_ACTION_DEREGISTER);
    IoDetachDevice(lower_);
    IoDeleteDevice(upper_);
    IoDeleteDevice(lower_);
    vorn::kernel::UnloadDriver(driver_);
    KernelTest::TearDown();
  }
  ULONG Read(NTSTATUS* status = nullptr) {
    ULONG v = 0, needed = 0;
    NTSTATUS s = wmi::QueryDataBlock(upper_, kBlock, &v, 4, &needed);
    if (status) *status = s;
    return v;
  }

  DRIVER_OBJECT* driver_ = nullptr;
  DEVICE_OBJECT* upper_ = nullptr;
  DEVICE_OBJECT* lower_ = nullptr;
};

TEST_F(WmiTest, ProvidersAreFoundThroughTheirRegistrationAskedOnceAndOnlyRegisteredOnesAreAsked) {
  EXPECT_EQ(wmi::Providers(kBlock), std::vector<DEVICE_OBJECT*>{upper_});
  EXPECT_EQ(wmi::Providers(kBlock), std::vector<DEVICE_OBJECT*>{upper_});
  EXPECT_TRUE(wmi::Providers(kOther).empty());
  EXPECT_EQ(D(upper_)->reginfo.load(), 1);
  wmi::RegInfo info = wmi::QueryRegInfo(upper_);
  ASSERT_EQ(info.status, STATUS_SUCCESS);
  EXPECT_EQ(info.flags, WMIREG_FLAG_INSTANCE_PDO);
  EXPECT_EQ(info.registry_path, ToWString(g_path));
  EXPECT_EQ(info.mof_resource_name, u"Schema");
  EXPECT_EQ(info.pdo, lower_);
  ASSERT_EQ(info.guids.size(), 1u);
  EXPECT_TRUE(info.guids[0].guid == kBlock);
  EXPECT_EQ(info.guids[0].instance_count, 1u);

  ULONG v = 0x77;
  EXPECT_EQ(wmi::SetDataBlock(upper_, kBlock, &v, 4), STATUS_SUCCESS);
  EXPECT_EQ(Read(), 0x77u);
  int seen = D(upper_)->seen;
  ASSERT_EQ(IoWMIRegistrationControl(upper_, WMIREG_ACTION_DEREGISTER), STATUS_SUCCESS);
  EXPECT_EQ(IoWMIRegistrationControl(upper_, WMIREG_ACTION_DEREGISTER), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(wmi::Providers(kBlock).empty());
  NTSTATUS s;
  Read(&s);
  EXPECT_EQ(s, STATUS_WMI_GUID_NOT_FOUND);
  EXPECT_EQ(D(upper_)->seen.load(), seen);
}

TEST_F(WmiTest, LibraryTellsTheDriverWhatBecameOfEachRequest) {
  ASSERT_EQ(IoWMIRegistrationControl(lower_, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
  ULONG v = 5, needed = 9;
  struct Case {
    const char* name;
    std::function<NTSTATUS()> send;
    NTSTATUS status;
    SYSCTL_IRP_DISPOSITION disposition;
    int lower_seen;
  } cases[] = {
      {"query", [&] { return wmi::QueryDataBlock(upper_, kBlock, &v, 4, &needed); }, STATUS_SUCCESS, IrpProcessed, 0},
      {"unknown block", [&] { return wmi::QueryDataBlock(upper_, kOther, &v, 4, &needed); },
       STATUS_WMI_GUID_NOT_FOUND, IrpNotCompleted, 0},
      {"item without routine", [&] { return wmi::SetDataItem(upper_, kBlock, 1, &v, 4); }, STATUS_WMI_READ_ONLY,
       IrpNotCompleted, 0},
      // Meant for the device below: passed down untouched, answered there with the status the
      // request came with.
      {"other provider", [&] { return wmi::QueryDataBlock(lower_, kBlock, &v, 4, &needed); }, STATUS_NOT_SUPPORTED,
       IrpForward, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int before = D(lower_)->seen;
    EXPECT_EQ(c.send(), c.status);
    EXPECT_EQ(D(upper_)->last, c.disposition);
    EXPECT_EQ(D(lower_)->seen - before, c.lower_seen);
  }
  EXPECT_EQ(D(lower_)->last_provider, reinterpret_cast<ULONG_PTR>(lower_));
  ULONG small = 0;
  EXPECT_EQ(wmi::QueryDataBlock(upper_, kBlock, &small, 3, &needed), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(needed, 4u);
}

TEST_F(WmiTest, AnAnswerLargerThanTheBufferIsAViolation) {
  uint8_t buffer[16] = {};
  ULONG needed = 0;
  D(upper_)->claim_used = 8;
  auto v = ExpectViolations([&] { wmi::QueryDataBlock(upper_, kBlock, buffer, 4, &needed); });
  ASSERT_EQ(v.size(), 1u);
  EXPECT_NE(v[0].find("used 8 bytes of a 4-byte buffer"), std::string::npos) << v[0];
  D(upper_)->claim_used = 0;
  D(upper_)->claim_length = 6;
  v = ExpectViolations([&] { wmi::QueryDataBlock(upper_, kBlock, buffer, 4, &needed); });
  ASSERT_EQ(v.size(), 1u);
  EXPECT_NE(v[0].find("6-byte instance in a 4-byte buffer"), std::string::npos) << v[0];
  // Bytes the provider did not write keep what the caller's buffer held.
  D(upper_)->claim_length = 0;
  D(upper_)->value = 0x01020304;
  std::memset(buffer, 0xEE, sizeof buffer);
  EXPECT_EQ(wmi::QueryDataBlock(upper_, kBlock, buffer, 16, &needed), STATUS_SUCCESS);
  EXPECT_EQ(needed, 4u);
  EXPECT_EQ(buffer[0], 0x04);
  EXPECT_EQ(buffer[4], 0xEE);
  EXPECT_EQ(buffer[15], 0xEE);
}

TEST_F(WmiTest, DeregistrationWaitsForTheRequestInFlightAndRefusesNewOnes) {
  KEVENT hold;
  KeInitializeEvent(&hold, NotificationEvent, FALSE);
  D(upper_)->hold = &hold;
  D(upper_)->value = 42;
  NTSTATUS held_status = STATUS_UNSUCCESSFUL;
  std::thread query([&] { Read(&held_status); });
  auto wait = [](auto done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done() && std::chrono::steady_clock::now() < end) std::this_thread::yield();
    return done();
  };
  ASSERT_TRUE(wait([&] { return D(upper_)->in_query.load(); }));
  std::atomic<bool> deregistered{false};
  std::thread leave([&] {
    IoWMIRegistrationControl(upper_, WMIREG_ACTION_DEREGISTER);
    deregistered = true;
  });
  ASSERT_TRUE(wait([&] { return !wmi::IsRegistered(upper_); }));
  NTSTATUS s;
  Read(&s);
  EXPECT_EQ(s, STATUS_WMI_GUID_NOT_FOUND);
  EXPECT_FALSE(deregistered.load());
  KeSetEvent(&hold, 0, FALSE);
  query.join();
  leave.join();
  EXPECT_TRUE(deregistered.load());
  EXPECT_EQ(held_status, STATUS_SUCCESS);
  D(upper_)->hold = nullptr;
}

TEST_F(WmiTest, ADeviceDeletedWhileRegisteredIsAViolation) {
  DEVICE_OBJECT* extra = nullptr;
  ASSERT_EQ(IoCreateDevice(driver_, sizeof(Dev), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &extra), STATUS_SUCCESS);
  new (extra->DeviceExtension) Dev{};
  IoWMIRegistrationControl(extra, WMIREG_ACTION_REGISTER);
  auto v = ExpectViolations([&] { IoDeleteDevice(extra); });
  ASSERT_EQ(v.size(), 1u);
  EXPECT_NE(v[0].find("deleted while registered as a WMI provider"), std::string::npos) << v[0];
}

}  // namespace
