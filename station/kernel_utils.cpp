#include "station/kernel_utils.h"

#include "platform/kernel/debug.h"

#include "platform/kernel/sync.h"
#include "station/pool_tags.h"

namespace vorn::station {
namespace {

// Relative waits are negative counts of 100 ns.
constexpr LONGLONG kTicksPerMicrosecond = 10;
constexpr LONGLONG kTicksPerMillisecond = 10'000;

void WaitTicks(LONGLONG ticks) {
  if (ticks == 0) return;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -ticks;
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
}

}  // namespace

PVOID AllocatePool(POOL_TYPE type, SIZE_T size, ULONG tag) {
  return ExAllocatePoolWithTag(type | POOL_ZERO_ALLOCATION, size, tag);
}

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void DelayMicroseconds(ULONG n) { WaitTicks(n * kTicksPerMicrosecond); }

void DelayMilliseconds(ULONG n) { WaitTicks(n * kTicksPerMillisecond); }

NTSTATUS QueryDeviceProperty(DEVICE_OBJECT* device, DEVICE_REGISTRY_PROPERTY property,
                             PVOID* buffer, ULONG* length, ULONG* buffer_size) {
  if (!device || !buffer || !length || !buffer_size) return STATUS_INVALID_PARAMETER;
  *buffer = nullptr;
  *length = 0;
  *buffer_size = 0;

  ULONG needed = 0;
  IoGetDeviceProperty(device, property, 0, nullptr, &needed);
  if (needed == 0) return STATUS_UNSUCCESSFUL;
  // Room for a terminator after the property, checked so a huge length cannot wrap.
  if (needed > 0xFFFFFFFFu - 2) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG size = needed + 2;
  void* block = AllocatePool(NonPagedPoolNx, size, kTagProperty);
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;

  ULONG got = 0;
  NTSTATUS status = IoGetDeviceProperty(device, property, needed, block, &got);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(block, kTagProperty);
    return status;
  }
  *buffer = block;
  *length = got < needed ? got : needed;
  *buffer_size = size;
  return STATUS_SUCCESS;
}

NTSTATUS StartReferencedSystemThread(PKSTART_ROUTINE routine, PVOID context, KTHREAD** thread) {
  *thread = nullptr;
  HANDLE handle = nullptr;
  NTSTATUS status =
      PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, context);
  if (!NT_SUCCESS(status)) return status;
  PVOID object = nullptr;
  status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                     &object, nullptr);
  ZwClose(handle);
  if (NT_SUCCESS(status)) *thread = static_cast<KTHREAD*>(object);
  return status;
}

NTSTATUS NotBuilt(const char* routine) {
  DbgPrint("hollin: %s is not built in this driver\n", routine);
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS CompleteNotBuilt(PIRP irp, const char* routine) {
  return CompleteIrp(irp, NotBuilt(routine), 0);
}

}  // namespace vorn::station
