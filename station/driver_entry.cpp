#include "station/driver_entry.h"

#include <cstdio>
#include <cstring>

#include "platform/kernel/timer.h"
#include "station/bus/function_modules.h"
#include "station/dispatch.h"
#include "station/driver_globals.h"
#include "station/kernel_utils.h"
#include "station/os_version.h"
#include "station/pipes/channel_settings.h"
#include "station/pool_tags.h"
#include "station/registry.h"
#include "station/settings.h"
#include "station/usb_stack.h"

namespace vorn::station {

namespace {
StationGlobals g_station_globals_data;
DriverServices g_driver_services_data;

constexpr ULONG kDefaultDebugLevel = 3;
constexpr int kVersionMajor = 1, kVersionMinor = 0, kVersionBuild = 22, kVersionRevision = 921;
constexpr size_t kVersionTextChars = 64;
// The registry path copy gets room for a terminator; a counted string holds 0xFFFF bytes.
constexpr USHORT kMaxRegistryPathBytes = 0xFFFF - 2;

void FreeRegistryPath() {
  UNICODE_STRING& path = g_DriverServices->RegistryPath;
  if (path.Buffer) ExFreePoolWithTag(path.Buffer, kTagServiceKey);
  path = UNICODE_STRING{};
}

NTSTATUS InitDriverServices(DRIVER_OBJECT* driver, const UNICODE_STRING* registry_path) {
  DriverServices* services = g_DriverServices;
  *services = DriverServices{};
  services->DriverObject = driver;
  GetOsVersion();

  if (!registry_path || !registry_path->Buffer || registry_path->Length == 0 ||
      registry_path->Length > kMaxRegistryPathBytes)
    return STATUS_INVALID_PARAMETER;
  USHORT length = registry_path->Length & ~1;
  auto* copy = static_cast<char16_t*>(AllocatePool(NonPagedPoolNx, length + 2, kTagServiceKey));
  if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(copy, registry_path->Buffer, length);
  services->RegistryPath.Buffer = copy;
  services->RegistryPath.Length = length;
  services->RegistryPath.MaximumLength = static_cast<USHORT>(length + 2);

  services->DebugLevel = kDefaultDebugLevel;
  services->DebugLevel2 = 0;
  ReadParameter(u"AssertLevel", REG_DWORD, sizeof(ULONG), &services->AssertLevel);
  ReadParameter(u"AssertLevel2", REG_DWORD, sizeof(ULONG), &services->AssertLevel2);
  ReadParameter(u"DebugLevel", REG_DWORD, sizeof(ULONG), &services->DebugLevel);
  ReadParameter(u"DebugLevel2", REG_DWORD, sizeof(ULONG), &services->DebugLevel2);
  return STATUS_SUCCESS;
}

// DriverContext: the address of StationGlobals while loaded, eight zero bytes otherwise.
void WriteDriverContext(const StationGlobals* globals) {
  uint64_t address = reinterpret_cast<uintptr_t>(globals);
  WriteParameter(u"DriverContext", REG_BINARY, sizeof address, &address);
}

void WriteDriverVersion() {
  char narrow[kVersionTextChars];
  int n = std::snprintf(narrow, sizeof narrow, "%d.%d.%d.%d", kVersionMajor, kVersionMinor,
                        kVersionBuild, kVersionRevision);
  char16_t text[kVersionTextChars] = {};
  for (int i = 0; i < n; ++i) text[i] = static_cast<unsigned char>(narrow[i]);
  WriteParameter(u"DriverVersion", REG_SZ, static_cast<ULONG>(n * 2 + 2), text);
}

void WriteUsbStackVersion(StationGlobals* globals) {
  UsbStackVersion version = QueryUsbStackVersion();
  globals->USBDIVersion = version.usbdi;
  globals->USBSVersion = version.supported_usb;
  WriteParameter(u"USBDIVersion", REG_DWORD, sizeof(ULONG), &globals->USBDIVersion);
  WriteParameter(u"USBSVersion", REG_DWORD, sizeof(ULONG), &globals->USBSVersion);
}

}  // namespace

StationGlobals* g_StationGlobals = &g_station_globals_data;
DriverServices* g_DriverServices = &g_driver_services_data;

void StationUnload(DRIVER_OBJECT*) {
  UnloadFunctionModules();
  WriteDriverContext(nullptr);
  FreeRegistryPath();
}

}  // namespace vorn::station

using namespace vorn::station;

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(
    DRIVER_OBJECT* driver, PUNICODE_STRING registry_path) {
  g_StationGlobals = &g_station_globals_data;
  g_DriverServices = &g_driver_services_data;
  StationGlobals* globals = g_StationGlobals;
  *globals = StationGlobals{};

  KeInitializeMutex(&globals->AddDeviceMutex, 0);
  NTSTATUS status = InitDriverServices(driver, registry_path);
  if (NT_SUCCESS(status)) {
    WriteDriverContext(globals);
    ReadParameter(u"Dummy", REG_DWORD, sizeof(ULONG), &globals->Dummy);
    WriteDriverVersion();
    LARGE_INTEGER frequency;
    KeQueryPerformanceCounter(&frequency);
    globals->PerformanceFrequency = frequency.QuadPart;
    WriteUsbStackVersion(globals);
    LoadDriverParameters(globals, GetOsVersion());
    InstallDispatchRoutines(driver);
    LoadChannelSettings(globals);
    status = RegisterFunctionModules();
    if (NT_SUCCESS(status)) return STATUS_SUCCESS;
  }
  // A failed load leaves nothing allocated and no address of the unloaded driver behind.
  UnloadFunctionModules();
  if (g_DriverServices->RegistryPath.Buffer) WriteDriverContext(nullptr);
  FreeRegistryPath();
  return status;
}
