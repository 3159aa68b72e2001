// The station index, the start sequence, the 1 ms tick with the worker, and the cleanup.
#include <cstring>

#include "platform/kernel/registry.h"
#include "platform/kernel/thread.h"
#include "station/control_interface.h"
#include "station/driver_globals.h"
#include "station/kernel_utils.h"
#include "station/pool_tags.h"
#include "station/registry.h"
#include "station/station_start.h"

namespace vorn::station {
namespace {

constexpr ULONG kMaxLinkBytes = 1024;
constexpr LONGLONG kTickPeriodMs = 1;
constexpr LONGLONG kHundredNsPerMs = 10000;
constexpr size_t kMaxLinkChars = 256;
constexpr size_t kProductBufferBytes = 512;
constexpr size_t kMaxMadeStringChars = 125;
constexpr ULONG kStringHeadBytes = 4;  // bLength, bDescriptorType and the first character
constexpr ULONG kStringRequestBytes = 136;
constexpr char16_t kEnumKey[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\";

// Per-station values deleted when an index is taken.
constexpr const char16_t* kStaleValues[] = {
    u"HalError",   u"ThdError", u"BootCodeVersion",     u"ImageCodeVersion", u"VendorCmdVersion",
    u"HwPlatform", u"RomSize",  u"AvailableImage2Size", u"SerialNumber",     u"PrjCode",
};

void WriteStep(StationExtension* station, const char16_t* name, ULONG step) {
  WriteStationValue(station->StationIndex, name, REG_DWORD, sizeof step, &step);
}

void WriteDeviceContext(StationExtension* station, const StationExtension* address) {
  uint64_t value = reinterpret_cast<uintptr_t>(address);
  WriteStationValue(station->StationIndex, u"DeviceContext", REG_BINARY, sizeof value, &value);
}

size_t WideLength(const WCHAR* text, size_t max) {
  size_t n = 0;
  while (n < max && text[n]) ++n;
  return n;
}

NTSTATUS Fail(StationExtension* station, ULONG step, NTSTATUS status) {
  SetHalError(station, step);
  StationCleanup(station);
  return status;
}

NTSTATUS ReadDriverKey(StationExtension* station) {
  PVOID buffer = nullptr;
  ULONG length = 0, size = 0;
  NTSTATUS status = QueryDeviceProperty(station->PhysicalDeviceObject,
                                        DevicePropertyDriverKeyName, &buffer, &length, &size);
  if (!NT_SUCCESS(status)) return status;
  // Keep our own copy so the cleanup frees it with our tag.
  auto* copy = static_cast<WCHAR*>(AllocatePool(NonPagedPoolNx, size, kTagDriverKey));
  if (!copy) {
    ExFreePoolWithTag(buffer, kTagProperty);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  std::memcpy(copy, buffer, size);
  ExFreePoolWithTag(buffer, kTagProperty);
  size_t chars = WideLength(copy, size / 2);
  station->DriverKey.Buffer = copy;
  station->DriverKey.Length = static_cast<USHORT>(chars * 2);
  station->DriverKey.MaximumLength = static_cast<USHORT>(size);
  WriteStationValue(station->StationIndex, u"DriverKey", REG_SZ,
                    static_cast<ULONG>(chars * 2 + 2), copy);
  return STATUS_SUCCESS;
}

NTSTATUS ReadStrings(StationExtension* station) {
  const USB_DEVICE_DESCRIPTOR& d = station->DeviceDescriptor;
  station->ManufacturerString = d.iManufacturer ? ReadStringDescriptor(station, d.iManufacturer)
                                                : MakeStringDescriptor(kDefaultManufacturer);
  station->ProductString = d.iProduct ? ReadStringDescriptor(station, d.iProduct)
                                      : MakeStringDescriptor(kDefaultProduct);
  return station->ManufacturerString && station->ProductString ? STATUS_SUCCESS
                                                               : STATUS_UNSUCCESSFUL;
}

// The control pipe, then the first bulk IN, bulk OUT and interrupt IN pipes of the interface.
NTSTATUS CreatePipes(StationExtension* station) {
  USBD_PIPE_INFORMATION control{};
  control.MaximumPacketSize = station->DeviceDescriptor.bMaxPacketSize0;
  control.PipeType = UsbdPipeTypeControl;
  NTSTATUS status = CreateControlPipe(station, &station->Pipes[kControlPipe], sizeof(PipeOps),
                                      &control);
  if (!NT_SUCCESS(status)) return status;
  const USBD_INTERFACE_INFORMATION* info = station->InterfaceInfo;
  ULONG pipes = 0;
  if (info) {
    // Never read pipe records past the copy's own length.
    ULONG room = (info->Length - offsetof(USBD_INTERFACE_INFORMATION, Pipes)) /
                 sizeof(USBD_PIPE_INFORMATION);
    pipes = info->NumberOfPipes < room ? info->NumberOfPipes : room;
  }
  for (ULONG i = 0; i < pipes; ++i) {
    const USBD_PIPE_INFORMATION& p = info->Pipes[i];
    bool in = (p.EndpointAddress & 0x80) != 0;
    ULONG slot;
    CreatePipeRoutine create;
    if (p.PipeType == UsbdPipeTypeBulk && in) {
      slot = kBulkInPipe;
      create = CreateBulkInPipe;
    } else if (p.PipeType == UsbdPipeTypeBulk) {
      slot = kBulkOutPipe;
      create = CreateBulkOutPipe;
    } else if (p.PipeType == UsbdPipeTypeInterrupt && in) {
      slot = kInterruptPipe;
      create = CreateInterruptPipe;
    } else {
      continue;
    }
    if (station->Pipes[slot].Object) continue;  // the first of a kind only
    status = create(station, &station->Pipes[slot], sizeof(PipeOps), &p);
    if (!NT_SUCCESS(status)) return status;
  }
  for (PipeOps& ops : station->Pipes)
    if (ops.Object && ops.Enable) ops.Enable(ops.Object, 1);
  return STATUS_SUCCESS;
}

void FreeStringDescriptor(USB_STRING_DESCRIPTOR** s) {
  if (*s) ExFreePoolWithTag(*s, kTagString);
  *s = nullptr;
}

}  // namespace

void SetHalState(StationExtension* station, ULONG step) { WriteStep(station, u"HalState", step); }
void SetHalError(StationExtension* station, ULONG step) { WriteStep(station, u"HalError", step); }
void SetThdState(StationExtension* station, ULONG step) { WriteStep(station, u"ThdState", step); }
void SetThdError(StationExtension* station, ULONG step) { WriteStep(station, u"ThdError", step); }

LONGLONG MillisecondsSinceBoot() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER now = KeQueryPerformanceCounter(&frequency);
  return now.QuadPart * 1000 / frequency.QuadPart;
}

LONGLONG MillisecondsSinceStart(const StationExtension* station) {
  LARGE_INTEGER frequency;
  LARGE_INTEGER now = KeQueryPerformanceCounter(&frequency);
  return (now.QuadPart - station->StartTime) * 1000 / frequency.QuadPart;
}

NTSTATUS AssignStationIndex(StationExtension* station) {
  KeInitializeTimerEx(&station->TickTimer, NotificationTimer);
  KeInitializeDpc(&station->TickDpc, PipeTickDpc, station);
  const UNICODE_STRING& link = station->InterfaceLink1;
  if (!link.Buffer || link.Length == 0) return STATUS_UNSUCCESSFUL;

  auto* stored = static_cast<WCHAR*>(AllocatePool(PagedPool, kMaxLinkBytes + 2, kTagNaming));
  if (!stored) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG index = 0;
  for (ULONG i = kFirstStationIndex; i <= kLastStationIndex && !index; ++i) {
    std::memset(stored, 0, kMaxLinkBytes + 2);
    NTSTATUS s = ReadStationValue(i, u"DeviceInterface", REG_SZ, kMaxLinkBytes, stored);
    // Only an index with no value at all is free: a value that cannot be read (too long, of
    // the wrong kind) still belongs to another device.
    if (s == STATUS_OBJECT_NAME_NOT_FOUND) {
      index = i;
    } else if (NT_SUCCESS(s)) {
      UNICODE_STRING text;
      text.Buffer = stored;
      text.Length = static_cast<USHORT>(WideLength(stored, kMaxLinkBytes / 2) * 2);
      text.MaximumLength = text.Length;
      if (RtlEqualUnicodeString(&text, &link, TRUE)) index = i;
    }
  }
  ExFreePoolWithTag(stored, kTagNaming);
  if (!index) return STATUS_INSUFFICIENT_RESOURCES;
  station->StationIndex = static_cast<UCHAR>(index);

  for (const char16_t* name : kStaleValues) DeleteStationValue(index, name);
  DeleteNsValues(station);
  UCHAR latest = station->StationIndex;
  WriteParameter(u"LatestStation", REG_BINARY, 1, &latest);
  ULONG link_bytes = link.Length + 2u;
  if (link_bytes > link.MaximumLength) link_bytes = link.MaximumLength;
  WriteStationValue(index, u"DeviceInterface", REG_SZ, link_bytes, link.Buffer);
  WriteDeviceContext(station, station);
  SetHalState(station, kHalIndexAssigned);
  SetThdState(station, kThdAssigned);
  for (ULONG i = 0; i < kFileSessionCount; ++i) InitSession(&station->Sessions[i], station, i);
  return STATUS_SUCCESS;
}

NTSTATUS StationStart(StationExtension* station) {
  SetHalState(station, kHalEntered);
  if (!station->ConfigurationDescriptor) return Fail(station, kHalEntered, STATUS_UNSUCCESSFUL);

  SetHalState(station, kHalDriverKeyOpen);
  SetHalState(station, kHalDriverKey);
  NTSTATUS status = ReadDriverKey(station);
  if (!NT_SUCCESS(status)) return Fail(station, kHalDriverKey, status);

  SetHalState(station, kHalStrings);
  status = ReadStrings(station);
  if (!NT_SUCCESS(status)) return Fail(station, kHalStrings, status);

  if (UCHAR policy = g_StationGlobals->DeviceNamePolicy) {
    SetHalState(station, kHalNaming);
    USB_STRING_DESCRIPTOR* product = station->ProductString;
    status = ApplyDeviceNamePolicy(station, &station->InterfaceLink1, product->bString,
                                   product->bLength - 2u, policy);
    if (!NT_SUCCESS(status)) SetHalError(station, kHalNaming);  // naming is not fatal
  }

  SetHalState(station, kHalPipes);
  status = CreatePipes(station);
  if (!NT_SUCCESS(status)) return Fail(station, kHalPipes, status);

  SetHalState(station, kHalSessions);

  SetHalState(station, kHalRomReplies);
  status = ArmRomReplies(station);
  if (!NT_SUCCESS(status)) return Fail(station, kHalRomReplies, status);

  SetHalState(station, kHalFirmware);
  status = ReadFirmwareInfo(station);
  if (!NT_SUCCESS(status)) return Fail(station, kHalFirmware, status);

  station->StartTime = KeQueryPerformanceCounter(nullptr).QuadPart;
  WriteFlag(station->StartSucceeded, 1);
  status = StartStationTimer(station);
  if (!NT_SUCCESS(status)) {
    StationCleanup(station);
    return status;
  }
  return status;
}

void StationCleanup(StationExtension* station) {
  WriteFlag(station->StartSucceeded, 0);
  StopStationTimer(station);
  KeRemoveQueueDpc(&station->TickDpc);
  ClearNsMode(station);
  RomCleanup(station);
  // Every table is cleared, so nothing can reach a destroyed pipe through a stale slot.
  for (PipeOps& ops : station->Pipes) {
    if (ops.Object && ops.Destroy) ops.Destroy(ops.Object);
    ops = PipeOps{};
  }
  FreeStringDescriptor(&station->ProductString);
  FreeStringDescriptor(&station->ManufacturerString);
  if (station->DriverKey.Buffer) ExFreePoolWithTag(station->DriverKey.Buffer, kTagDriverKey);
  station->DriverKey = UNICODE_STRING{};
  SetHalState(station, kHalCleanedUp);
  WriteDeviceContext(station, nullptr);
}

NTSTATUS StartStationTimer(StationExtension* station) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) return STATUS_UNSUCCESSFUL;
  // Without the pipes of a successful start sequence there is nothing to tick and nothing
  // the worker could talk to.
  if (!ReadFlag(station->StartSucceeded) || !station->Pipes[kControlPipe].Object)
    return STATUS_DEVICE_NOT_READY;
  KeWaitForSingleObject(&station->TimerMutex, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = STATUS_SUCCESS;
  if (!station->TimerRunning) {
    station->TimerRunning = 1;
    SetHalState(station, kHalTimerStarting);
    LARGE_INTEGER due;
    due.QuadPart = -kTickPeriodMs * kHundredNsPerMs;
    KeSetTimerEx(&station->TickTimer, due, static_cast<LONG>(kTickPeriodMs), &station->TickDpc);
    SetHalState(station, kHalWorkerStarting);
    status = StartWorkerThread(station);
    if (!NT_SUCCESS(status)) {
      SetHalError(station, kHalWorkerStarting);
      StopWorkerThread(station);
    }
  }
  KeReleaseMutex(&station->TimerMutex, FALSE);
  return status;
}

void StopStationTimer(StationExtension* station) {
  KeWaitForSingleObject(&station->TimerMutex, Executive, KernelMode, FALSE, nullptr);
  if (station->TimerRunning) {
    station->TimerRunning = 0;
    StopWorkerThread(station);
    KeCancelTimer(&station->TickTimer);
    // A tick already queued runs before the pipes it kicks can go away.
    KeFlushQueuedDpcs();
    SetHalState(station, kHalTimerStopped);
  }
  KeReleaseMutex(&station->TimerMutex, FALSE);
}

void PipeTickDpc(KDPC*, PVOID context, PVOID, PVOID) {
  auto* station = static_cast<StationExtension*>(context);
  for (const PipeOps& ops : station->Pipes)
    if (ops.Kick && ops.Object) ops.Kick(ops.Object);
}

NTSTATUS StartWorkerThread(StationExtension* station) {
  if (station->WorkerThread) return STATUS_SUCCESS;
  WriteFlag(station->WorkerRunning, 1);
  KeClearEvent(&station->WorkerStopEvent);
  SetThdState(station, kThdCreating);
  NTSTATUS status = StartReferencedSystemThread(StationWorkerThread, station, &station->WorkerThread);
  if (!NT_SUCCESS(status)) {
    // A thread that started without a reference cannot be waited for: ask it to end at once.
    WriteFlag(station->WorkerRunning, 0);
    KeSetEvent(&station->WorkerStopEvent, 0, FALSE);
  }
  return status;
}

void StopWorkerThread(StationExtension* station) {
  WriteFlag(station->WorkerRunning, 0);
  if (!station->WorkerThread) return;
  KeSetEvent(&station->WorkerStopEvent, 0, FALSE);
  KeWaitForSingleObject(station->WorkerThread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(station->WorkerThread);
  station->WorkerThread = nullptr;
  SetThdState(station, kThdStopped);
}

USB_STRING_DESCRIPTOR* ReadStringDescriptor(StationExtension* station, UCHAR index) {
  auto* urb = static_cast<URB*>(AllocatePool(NonPagedPoolNx, kStringRequestBytes, kTagStringUrb));
  if (!urb) return nullptr;
  USB_STRING_DESCRIPTOR* result = nullptr;
  UCHAR head[kStringHeadBytes] = {};
  auto read = [&](UCHAR i, USHORT language, void* buffer, ULONG length) {
    std::memset(urb, 0, kStringRequestBytes);
    UsbBuildGetDescriptorRequest(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_STRING_DESCRIPTOR_TYPE, i, language, buffer, nullptr, length,
                                 nullptr);
    return SubmitUrbSync(station, urb);
  };
  bool ok = true;
  if (!station->LanguageId) {
    // The language id is bytes 2-3 of descriptor 0, as far as the device sent them.
    ok = NT_SUCCESS(read(0, 0, head, sizeof head));
    if (ok) station->LanguageId = static_cast<USHORT>(head[2] | head[3] << 8);
  }
  if (ok) {
    std::memset(head, 0, sizeof head);
    ok = NT_SUCCESS(read(index, station->LanguageId, head, sizeof head));
  }
  // A bLength below 2 cannot hold the descriptor's own head: its text length would wrap.
  UCHAR length = head[0];
  if (ok && length >= 2) {
    auto* buffer =
        static_cast<USB_STRING_DESCRIPTOR*>(AllocatePool(NonPagedPoolNx, length + 4u, kTagString));
    if (buffer && NT_SUCCESS(read(index, station->LanguageId, buffer, length))) {
      result = buffer;
    } else if (buffer) {
      ExFreePoolWithTag(buffer, kTagString);
    }
  }
  ExFreePoolWithTag(urb, kTagStringUrb);
  // The descriptor is kept as the device sent it, except a second head whose bLength no
  // longer fits the buffer (or wraps): the text is then the length the first head promised.
  if (result && (result->bLength > length || result->bLength < 2)) result->bLength = length;
  return result;
}

USB_STRING_DESCRIPTOR* MakeStringDescriptor(const char16_t* text) {
  // bLength is the byte length + 4 in one byte: at most 125 characters fit.
  size_t bytes = WideLength(text, kMaxMadeStringChars) * 2;
  auto* d = static_cast<USB_STRING_DESCRIPTOR*>(AllocatePool(NonPagedPoolNx, bytes + 4, kTagString));
  if (!d) return nullptr;
  d->bLength = static_cast<UCHAR>(bytes + 4);
  d->bDescriptorType = USB_STRING_DESCRIPTOR_TYPE;
  std::memcpy(d->bString, text, bytes);
  return d;
}

NTSTATUS ApplyDeviceNamePolicy(StationExtension*, const UNICODE_STRING* link,
                               const WCHAR* product, ULONG byte_count, ULONG policy) {
  if (!link || !link->Buffer || !byte_count || !product) return STATUS_INVALID_PARAMETER;
  WCHAR path[kMaxLinkChars + 1] = {};
  size_t chars = link->Length / 2 < kMaxLinkChars ? link->Length / 2 : kMaxLinkChars;
  std::memcpy(path, link->Buffer, chars * 2);
  chars = WideLength(path, chars);
  WCHAR text[kProductBufferBytes / 2 + 1] = {};
  std::memcpy(text, product, byte_count < kProductBufferBytes ? byte_count : kProductBufferBytes);

  if (chars < 4 || path[0] != u'\\' || path[1] != u'?' || path[2] != u'?' || path[3] != u'\\')
    return STATUS_SUCCESS;
  int hashes = 0;
  for (size_t i = 4; i < chars && hashes < 3; ++i) {
    if (path[i] != u'#') continue;
    path[i] = ++hashes < 3 ? u'\\' : 0;
  }
  if (hashes < 3) return STATUS_SUCCESS;

  const size_t device_chars = WideLength(path + 4, kMaxLinkChars);
  constexpr size_t kEnumChars = sizeof kEnumKey / 2 - 1;
  WCHAR key[kEnumChars + kMaxLinkChars + 1] = {};
  std::memcpy(key, kEnumKey, kEnumChars * 2);
  std::memcpy(key + kEnumChars, path + 4, device_chars * 2);
  UNICODE_STRING key_name;
  RtlInitUnicodeString(&key_name, key);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &key_name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  HANDLE handle = nullptr;
  NTSTATUS status = ZwCreateKey(&handle, KEY_WRITE, &attributes, 0, nullptr,
                                REG_OPTION_NON_VOLATILE, nullptr);
  if (!NT_SUCCESS(status)) return status;
  ULONG size = static_cast<ULONG>(WideLength(text, kProductBufferBytes / 2) * 2 + 2);
  const char16_t* names[] = {u"DeviceDesc", u"FriendlyName"};
  const ULONG bits[] = {2, 1};
  for (int i = 0; i < 2 && NT_SUCCESS(status); ++i) {
    if (!(policy & bits[i])) continue;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, names[i]);
    status = ZwSetValueKey(handle, &name, 0, REG_SZ, text, size);
  }
  ZwClose(handle);
  return status;
}

}  // namespace vorn::station
