// Driver and device objects, device stacks, driver loading.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/kernel/device_internal.h"
#include "platform/kernel/registry.h"
#include "platform/kernel/violations.h"
#include "platform/kernel/wmi_internal.h"

using vorn::kernel::ReportViolation;
using namespace vorn::kernel::internal;

namespace {

std::mutex g_stack_lock;  // guards AttachedDevice links and driver device lists
std::atomic<size_t> g_live_devices{0};

NTSTATUS InvalidRequest(DEVICE_OBJECT*, IRP* irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

void DestroyDevice(void* p) {
  auto* device = static_cast<DEVICE_OBJECT*>(p);
  delete Record(device);
  std::free(device);
  --g_live_devices;
}

struct DriverRecord {
  WString service_path;
  WString service_name;
};

}  // namespace

namespace vorn::kernel::internal {
std::mutex& IdsLock() {
  static std::mutex* m = new std::mutex;
  return *m;
}

std::shared_ptr<const DeviceIds> IdsOf(DEVICE_OBJECT* device) {
  DEVICE_OBJECT* pdo = StackBottom(device);
  std::lock_guard<std::mutex> guard(IdsLock());
  return Record(pdo)->ids;
}

DEVICE_OBJECT* StackBottom(DEVICE_OBJECT* device) {
  std::lock_guard<std::mutex> guard(g_stack_lock);
  while (Record(device)->lower) device = Record(device)->lower;
  return device;
}
}  // namespace vorn::kernel::internal

NTSTATUS IoCreateDevice(DRIVER_OBJECT* driver, ULONG extension_size, PUNICODE_STRING,
                        ULONG device_type, ULONG characteristics, BOOLEAN, DEVICE_OBJECT** device) {
  if (!driver || !device) return STATUS_INVALID_PARAMETER;
  *device = nullptr;
  size_t head = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};
  auto* d = static_cast<DEVICE_OBJECT*>(std::calloc(1, head + extension_size));
  if (!d) return STATUS_INSUFFICIENT_RESOURCES;
  d->Type = 3;
  d->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT));
  d->DriverObject = driver;
  d->DeviceType = device_type;
  d->Characteristics = characteristics;
  d->Flags = DO_DEVICE_INITIALIZING;
  d->StackSize = 1;
  d->DeviceExtension = extension_size ? reinterpret_cast<char*>(d) + head : nullptr;
  d->Internal = new DeviceRecord;
  RegisterObject(d, *IoDeviceObjectType, DestroyDevice);
  ++g_live_devices;
  {
    std::lock_guard<std::mutex> guard(g_stack_lock);
    d->NextDevice = driver->DeviceObject;
    driver->DeviceObject = d;
  }
  *device = d;
  return STATUS_SUCCESS;
}

void IoDeleteDevice(DEVICE_OBJECT* device) {
  WmiDeviceDeleted(device);
  {
    std::lock_guard<std::mutex> guard(g_stack_lock);
    DeviceRecord* r = Record(device);
    if (r->deleted) {
      ReportViolation("device %p deleted twice", static_cast<void*>(device));
      return;
    }
    r->deleted = true;
    // A PDO is deleted in its REMOVE while the FDO above still sits on it; the FDO detaches
    // right after, and the memory lives until the last reference goes.
    if (r->lower) ReportViolation("device %p deleted without detaching from %p", static_cast<void*>(device),
                                  static_cast<void*>(r->lower));
    DEVICE_OBJECT** link = &device->DriverObject->DeviceObject;
    while (*link && *link != device) link = &(*link)->NextDevice;
    if (*link) *link = device->NextDevice;
  }
  ObDereferenceObject(device);
}

DEVICE_OBJECT* IoAttachDeviceToDeviceStack(DEVICE_OBJECT* source, DEVICE_OBJECT* target) {
  std::lock_guard<std::mutex> guard(g_stack_lock);
  DEVICE_OBJECT* top = target;
  while (top->AttachedDevice) top = top->AttachedDevice;
  if (Record(top)->deleted) return nullptr;
  top->AttachedDevice = source;
  source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  Record(source)->lower = top;
  return top;
}

void IoDetachDevice(DEVICE_OBJECT* lower) {
  std::lock_guard<std::mutex> guard(g_stack_lock);
  DEVICE_OBJECT* upper = lower->AttachedDevice;
  if (!upper) {
    ReportViolation("IoDetachDevice on %p, which has nothing attached", static_cast<void*>(lower));
    return;
  }
  Record(upper)->lower = nullptr;
  lower->AttachedDevice = nullptr;
}

DEVICE_OBJECT* IoGetAttachedDevice(DEVICE_OBJECT* device) {
  std::lock_guard<std::mutex> guard(g_stack_lock);
  while (device->AttachedDevice) device = device->AttachedDevice;
  return device;
}

DEVICE_OBJECT* IoGetAttachedDeviceReference(DEVICE_OBJECT* device) {
  DEVICE_OBJECT* top = IoGetAttachedDevice(device);
  ObReferenceObject(top);
  return top;
}

namespace vorn::kernel {

DRIVER_OBJECT* LoadDriver(WStringView name, PDRIVER_INITIALIZE entry, NTSTATUS* status) {
  auto* driver = new DRIVER_OBJECT{};
  auto* record = new DriverRecord{WString(registry::kServicesPath) + u"\\" + WString(name), WString(name)};
  driver->Type = 4;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverStart = record;
  driver->DriverExtension = new DRIVER_EXTENSION{};
  driver->DriverExtension->DriverObject = driver;
  RtlInitUnicodeString(&driver->DriverExtension->ServiceKeyName, record->service_name.c_str());
  driver->DriverInit = entry;
  for (auto& slot : driver->MajorFunction) slot = InvalidRequest;
  registry::CreateKey(record->service_path);
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, record->service_path.c_str());
  NTSTATUS s = entry ? entry(driver, &path) : STATUS_SUCCESS;
  if (status) *status = s;
  if (!NT_SUCCESS(s)) {
    if (driver->DeviceObject) ReportViolation("driver entry failed and left device objects behind");
    delete driver->DriverExtension;
    delete record;
    delete driver;
    return nullptr;
  }
  return driver;
}

void UnloadDriver(DRIVER_OBJECT* driver) {
  if (!driver) return;
  if (driver->DeviceObject)
    ReportViolation("driver unloaded while it still has device objects");
  if (driver->DriverUnload) driver->DriverUnload(driver);
  delete static_cast<DriverRecord*>(driver->DriverStart);
  delete driver->DriverExtension;
  delete driver;
}

WString ServiceKeyPath(DRIVER_OBJECT* driver) {
  return static_cast<DriverRecord*>(driver->DriverStart)->service_path;
}

size_t LiveDeviceCount() { return g_live_devices.load(); }

}  // namespace vorn::kernel
