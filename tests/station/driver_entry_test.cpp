#include <dlfcn.h>

#include <cstring>

#include "station/bus/function_modules.h"
#include "station/device_extension.h"
#include "station/dispatch.h"
#include "station/os_version.h"
#include "tests/station/station_fixture.h"

namespace vorn::station::testing {
namespace {

using kernel::registry::Value;

class DriverEntryTest : public StationTest {
 protected:
  Value Parameter(WStringView name) {
    Value v;
    EXPECT_TRUE(kernel::registry::GetValue(ParametersPath(), name, &v)) << ToNarrow(name);
    return v;
  }
  uint64_t DriverContext() {
    Value v = Parameter(u"DriverContext");
    EXPECT_EQ(v.type, REG_BINARY);
    uint64_t address = ~0ull;
    if (v.data.size() == 8) std::memcpy(&address, v.data.data(), 8);
    return address;
  }
  const StationGlobals& G() { return *g_StationGlobals; }
};

TEST_F(DriverEntryTest, LoadWithEmptyParametersKeepsEveryDefaultAndPublishesItself) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  const StationGlobals& g = G();
  EXPECT_EQ(g.BulkDebugLevel, 0u);
  EXPECT_EQ(g.DriverModel, 1u);
  EXPECT_EQ(g.MaximumTransferSize, 0xFF000u);
  EXPECT_EQ(g.RomMaxBlockSize, 0u);
  EXPECT_EQ(g.RomXferTimeout, 2500u);
  EXPECT_EQ(g.RomBurnTimeout, 30000u);
  EXPECT_EQ(g.DeviceNamePolicy, 2);
  EXPECT_EQ(g.MmAddressMask, 0x40000000u);
  EXPECT_EQ(g.ForcedSlicing, 0);
  EXPECT_EQ(g.RomAutoUpdateFlags, 7);
  EXPECT_EQ(g.ForcedUpdateFW, 0);
  EXPECT_EQ(g.ValidateRomSection, 1);
  EXPECT_EQ(g.CEPM_RetryCount, 5);
  EXPECT_EQ(g.AudioJackDetection, 3);
  EXPECT_EQ(g.StandaloneMic, 1);
  EXPECT_EQ(g.SupportNS, 1);
  EXPECT_EQ(g.VirtualNS, 0);
  EXPECT_EQ(g.SupportPDOs, 0x109u);
  EXPECT_EQ(g.Dummy, 0u);
  EXPECT_EQ(g.PerformanceFrequency, clock::kPerformanceFrequency);
  for (size_t i = 0; i < kChannelCount; ++i) {
    EXPECT_EQ(g.MaxSliceSizeHS[i], protocol::kBusChannelDefaults[i].MaxSliceSizeHS) << i;
    EXPECT_EQ(g.MaxSliceSizeSS[i], protocol::kBusChannelDefaults[i].MaxSliceSizeSS) << i;
    EXPECT_EQ(g.PriorityLevel[i], protocol::kBusChannelDefaults[i].PriorityLevel) << i;
  }
  EXPECT_EQ(g_DriverServices->DebugLevel, 3u);
  EXPECT_EQ(g_DriverServices->DebugLevel2, 0u);
  EXPECT_EQ(g_DriverServices->DriverObject, driver_);
  EXPECT_EQ(ToWString(g_DriverServices->RegistryPath), ServicePath());

  EXPECT_EQ(DriverContext(), reinterpret_cast<uintptr_t>(g_StationGlobals));
  WString version;
  ASSERT_TRUE(kernel::registry::GetString(ParametersPath(), u"DriverVersion", &version));
  EXPECT_EQ(version, u"1.0.22.921");
  EXPECT_EQ(Parameter(u"DriverVersion").data.size(), 22u);  // the text and its terminator
  ULONG usbdi = 0, usbs = 0;
  ASSERT_TRUE(kernel::registry::GetDword(ParametersPath(), u"USBDIVersion", &usbdi));
  ASSERT_TRUE(kernel::registry::GetDword(ParametersPath(), u"USBSVersion", &usbs));
  EXPECT_EQ(usbdi, 0x600u);
  EXPECT_EQ(usbs, 0x200u);
  EXPECT_EQ(g.USBDIVersion, usbdi);
  EXPECT_EQ(g.USBSVersion, usbs);

  // Entry reads and writes nothing else: the only writes are the four published values.
  std::vector<WString> written;
  for (const auto& w : kernel::registry::History())
    if (w.kind == kernel::registry::Write::kSetValue) written.push_back(w.name);
  EXPECT_EQ(written, (std::vector<WString>{u"DriverContext", u"DriverVersion", u"USBDIVersion",
                                            u"USBSVersion"}));

  Unload();
  EXPECT_EQ(DriverContext(), 0u);
  EXPECT_EQ(g_DriverServices->RegistryPath.Buffer, nullptr);
}

TEST_F(DriverEntryTest, DispatchRoutinesAreInstalled) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  EXPECT_EQ(driver_->MajorFunction[IRP_MJ_CREATE], &DispatchCreate);
  EXPECT_EQ(driver_->MajorFunction[IRP_MJ_CLOSE], &DispatchClose);
  EXPECT_EQ(driver_->MajorFunction[IRP_MJ_READ], &DispatchReadWrite);
  EXPECT_EQ(driver_->MajorFunction[IRP_MJ_WRITE], &DispatchReadWrite);
  EXPECT_EQ(driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL], &DispatchDeviceControl);
  EXPECT_EQ(driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL], &DispatchInternalDeviceControl);
  EXPECT_EQ(driver_->MajorFunction[IRP_MJ_CLEANUP], &DispatchCleanup);
  EXPECT_EQ(driver_->MajorFunction[IRP_MJ_POWER], &DispatchPower);
  EXPECT_EQ(driver_->MajorFunction[IRP_MJ_SYSTEM_CONTROL], &DispatchSystemControl);
  EXPECT_EQ(driver_->MajorFunction[IRP_MJ_PNP], &DispatchPnp);
  EXPECT_EQ(driver_->DriverUnload, &StationUnload);
  EXPECT_EQ(driver_->DriverExtension->AddDevice, &StationAddDevice);
}

// Stops a completed request before the kernel frees it, so the test can read its status.
NTSTATUS KeepIrp(DEVICE_OBJECT*, IRP*, PVOID context) {
  *static_cast<bool*>(context) = true;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(DriverEntryTest, ReadAndWriteRequestsFailAtOnce) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  DEVICE_OBJECT* device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver_, sizeof(DeviceExtensionHead), nullptr,
                           FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
            STATUS_SUCCESS);
  for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE}) {
    IRP* irp = IoAllocateIrp(device->StackSize + 1, FALSE);
    ASSERT_NE(irp, nullptr);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 123;
    bool completed = false;
    IoSetCompletionRoutine(irp, KeepIrp, &completed, TRUE, TRUE, TRUE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(completed);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(irp->IoStatus.Information, 0u);
    IoFreeIrp(irp);
  }
  IoDeleteDevice(device);
}

// The width rules: a value is taken whatever its type, min(stored, width) bytes over the
// default; a value more than four bytes longer than the setting is refused.
TEST_F(DriverEntryTest, ValuesAreCutToTheirSettingsWidth) {
  const ULONG dword_0x107 = 0x107;
  SetParameter(u"DeviceNamePolicy", REG_DWORD, &dword_0x107, 4);
  const UCHAR one = 1;
  SetParameter(u"SupportPDOs", REG_BINARY, &one, 1);
  const char16_t two_chars[] = u"AB";
  SetParameter(u"MaximumTransferSize", REG_SZ, two_chars, sizeof two_chars);
  const UCHAR twelve[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  SetParameter(u"RomXferTimeout", REG_BINARY, twelve, sizeof twelve);
  const UCHAR eight[8] = {0x10, 0x27, 0, 0, 0xEE, 0xEE, 0xEE, 0xEE};
  SetParameter(u"RomBurnTimeout", REG_BINARY, eight, sizeof eight);
  const ULONG five = 5;
  SetParameter(u"CEPM_RetryCount", REG_DWORD, &five, 4);
  const ULONG dword_0x17 = 0x17;
  SetParameter(u"DebugLevel", REG_DWORD, &dword_0x17, 4);
  const ULONG model = 2;
  SetParameter(u"DriverModel", REG_DWORD, &model, 4);
  const UCHAR empty = 0;
  SetParameter(u"StandaloneMic", REG_BINARY, &empty, 0);

  ASSERT_EQ(Load(), STATUS_SUCCESS);
  const StationGlobals& g = G();
  EXPECT_EQ(g.DeviceNamePolicy, 0x07);        // first byte of 0x00000107
  EXPECT_EQ(g.SupportPDOs, 0x101u);           // only the low byte of 0x109 replaced
  EXPECT_EQ(g.MaximumTransferSize, 0x00420041u);  // the first two UTF-16 code units
  EXPECT_EQ(g.RomXferTimeout, 2500u);         // 12 bytes for a 4-byte setting: refused
  EXPECT_EQ(g.RomBurnTimeout, 10000u);        // 8 bytes: the first four taken
  EXPECT_EQ(g.CEPM_RetryCount, 5);
  EXPECT_EQ(g.DriverModel, 2u);
  EXPECT_EQ(g.StandaloneMic, 1);              // an empty value copies nothing
  EXPECT_EQ(g_DriverServices->DebugLevel, 0x17u);
}

TEST_F(DriverEntryTest, ChannelSettingsRefuseValuesThatWouldStallTheBulkPipe) {
  const ULONG zero = 0, slice = 4096;
  SetParameter(u"MaxSliceSizeHS0", REG_DWORD, &zero, 4);
  SetParameter(u"MaxSliceSizeSS2", REG_DWORD, &slice, 4);
  const UCHAR priority_high = 4, priority_bad = 9;
  SetParameter(u"PriorityLevel1", REG_BINARY, &priority_high, 1);
  SetParameter(u"PriorityLevel3", REG_BINARY, &priority_bad, 1);
  SetParameter(u"MaximumTransferSize", REG_DWORD, &zero, 4);

  ASSERT_EQ(Load(), STATUS_SUCCESS);
  const StationGlobals& g = G();
  EXPECT_EQ(g.MaxSliceSizeHS[0], 25600u);  // 0 would slice without progress
  EXPECT_EQ(g.MaxSliceSizeSS[2], 4096u);
  EXPECT_EQ(g.PriorityLevel[1], 4);
  EXPECT_EQ(g.PriorityLevel[3], 4);        // 9 names no queue: default kept
  EXPECT_EQ(g.MaximumTransferSize, 0xFF000u);  // 0 would move no byte per transfer
}

struct OsCase {
  ULONG major, minor, build;
  bool has_get_version;
  ULONG word;
  ULONG mask;
};

TEST_F(DriverEntryTest, OsVersionDecidesTheMappingMask) {
  const OsCase cases[] = {
      {6, 1, 7601, true, 0x06011DB1, 0},
      {6, 2, 9200, true, 0x060223F0, 0x40000000},
      {10, 0, 19045, true, 0x0A004A65, 0x40000000},
      {10, 0, 0x12345, true, 0x0A002345, 0x40000000},  // only the build's low 16 bits
      // Without RtlGetVersion the WDM probe answers, and knows no minor version past 6.0.
      {6, 3, 9600, false, 0x06000000, 0},
      {5, 2, 3790, false, 0x05020000, 0},
      {5, 1, 2600, false, 0x05010000, 0},
      {5, 0, 2195, false, 0x05000000, 0},
      {4, 0, 1381, false, 0x03010000, 0},
  };
  for (const OsCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.major << "." << c.minor << "." << c.build);
    kernel::SetOsVersion(c.major, c.minor, c.build, c.has_get_version);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(g_DriverServices->OsVersion, c.word);
    EXPECT_EQ(GetOsVersion(), c.word);
    EXPECT_EQ(QueryOsVersion(), c.word & 0xFFFF0000);
    EXPECT_EQ(G().MmAddressMask, c.mask);
    Unload();
  }
}

TEST_F(DriverEntryTest, AFailedPathCopyFailsTheLoadAndLeavesNothing) {
  kernel::pool::FailNthAllocation(kTagServiceKey, 1);
  EXPECT_EQ(Load(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(driver_, nullptr);
  EXPECT_FALSE(kernel::registry::KeyExists(ParametersPath()));
  EXPECT_EQ(g_DriverServices->RegistryPath.Buffer, nullptr);
}

TEST_F(DriverEntryTest, EveryRegistryBufferFailingStillLoadsWithDefaults) {
  const ULONG model = 2;
  SetParameter(u"DriverModel", REG_DWORD, &model, 4);
  kernel::pool::FailAllAllocations(kTagRegistry, true);
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  kernel::pool::FailAllAllocations(kTagRegistry, false);
  EXPECT_EQ(G().DriverModel, 1u);
  EXPECT_EQ(G().SupportPDOs, 0x109u);
}

TEST_F(DriverEntryTest, FunctionModulesFollowSupportPdos) {
  struct Case {
    ULONG support;
    bool display, audio;
  };
  for (const Case& c : {Case{0x109, true, true}, Case{0x001, true, false},
                        Case{0x108, false, true}, Case{0x000, false, false}}) {
    SCOPED_TRACE(c.support);
    SetParameter(u"SupportPDOs", REG_DWORD, &c.support, 4);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(g_FunctionModules[0].Registered, c.display);
    EXPECT_EQ(g_FunctionModules[3].Registered, c.audio);
    EXPECT_EQ(g_FunctionModules[8].Registered, c.audio);
    EXPECT_EQ(g_FunctionModules[8].Enabled, g_FunctionModules[3].Enabled);
    for (size_t i : {1, 2, 4, 5, 6, 7, 9}) EXPECT_EQ(g_FunctionModules[i].Registered, 0) << i;
    Unload();
    for (const FunctionModuleEntry& e : g_FunctionModules) EXPECT_EQ(e.Enabled, 0);
  }
}

TEST_F(DriverEntryTest, TheModuleLoadsByItsExportedEntry) {
  void* module = dlopen(HOLLIN_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(module, "DriverEntry"));
  ASSERT_NE(entry, nullptr);
  ASSERT_EQ(Load(entry), STATUS_SUCCESS);
  EXPECT_NE(DriverContext(), 0u);
  Unload();
  EXPECT_EQ(DriverContext(), 0u);
  dlclose(module);
}

}  // namespace
}  // namespace vorn::station::testing
