#include "platform/kernel/irp.h"

#include <cstring>
#include <map>
#include <mutex>

#include "platform/kernel/irp_internal.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/sync.h"
#include "platform/kernel/violations.h"

using vorn::kernel::ReportViolation;
using namespace vorn::kernel::internal;

namespace {

constexpr ULONG kIrpTag = PoolTag("Irp ");
constexpr ULONG kMdlTag = PoolTag("Mdl ");
constexpr ULONG kBufferTag = PoolTag("IoBf");

KSPIN_LOCK g_cancel_lock = 0;

struct Tracker {
  std::mutex lock;
  std::map<IRP*, IrpTrack*> irps;
};
Tracker& T() {
  static Tracker* t = new Tracker;
  return *t;
}

void ResetStack(IRP* irp) {
  std::memset(irp->StackBase, 0, sizeof(IO_STACK_LOCATION) * irp->StackCount);
  irp->CurrentLocation = static_cast<CCHAR>(irp->StackCount + 1);
  irp->Tail.Overlay.CurrentStackLocation = irp->StackBase + irp->StackCount;
}

IRP* NewIrp(CCHAR stack_size, IrpKind kind) {
  if (stack_size < 1) {
    ReportViolation("IRP allocated with %d stack locations", stack_size);
    return nullptr;
  }
  size_t size = sizeof(IRP) + sizeof(IO_STACK_LOCATION) * static_cast<size_t>(stack_size);
  auto* irp = static_cast<IRP*>(ExAllocatePoolWithTag(NonPagedPoolNx | POOL_ZERO_ALLOCATION, size, kIrpTag));
  if (!irp) return nullptr;
  irp->Type = 6;
  irp->Size = static_cast<USHORT>(size);
  irp->StackCount = stack_size;
  irp->StackBase = reinterpret_cast<IO_STACK_LOCATION*>(irp + 1);
  ResetStack(irp);
  auto* track = new IrpTrack;
  track->kind = kind;
  irp->Internal = track;
  std::lock_guard<std::mutex> guard(T().lock);
  T().irps[irp] = track;
  return irp;
}

const char* StateName(IrpState s) {
  switch (s) {
    case IrpState::kIdle: return "not sent";
    case IrpState::kInDriver: return "in a driver";
    case IrpState::kRoutine: return "in a completion routine";
    case IrpState::kDone: return "completed";
  }
  return "?";
}

// The built device-control request has completed: hand the result to its issuer and free it.
void FinishBuiltIoctl(IRP* irp) {
  IrpTrack* t = Track(irp);
  if (t->copy_back && !NT_ERROR(irp->IoStatus.Status)) CopyBack(irp, t->output, t->output_length);
  if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
  if (irp->AssociatedIrp.SystemBuffer) ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kBufferTag);
  irp->AssociatedIrp.SystemBuffer = nullptr;
  if (irp->MdlAddress) IoFreeMdl(irp->MdlAddress);
  irp->MdlAddress = nullptr;
  PKEVENT event = irp->UserEvent;
  IoFreeIrp(irp);
  if (event) KeSetEvent(event, 0, FALSE);
}

}  // namespace

namespace vorn::kernel::internal {

IRP* AllocateManagedIrp(CCHAR stack_size, void (*on_done)(IRP*, void*), void* context) {
  IRP* irp = NewIrp(stack_size, IrpKind::kManaged);
  if (irp) {
    Track(irp)->on_done = on_done;
    Track(irp)->context = context;
  }
  return irp;
}

void CopyBack(IRP* irp, PVOID output, ULONG output_length) {
  ULONG_PTR n = irp->IoStatus.Information;
  if (n > output_length) {
    ReportViolation("device-control Information %lu exceeds the output length %u",
                    static_cast<unsigned long>(n), output_length);
    n = output_length;
  }
  if (n && output && irp->AssociatedIrp.SystemBuffer) std::memcpy(output, irp->AssociatedIrp.SystemBuffer, n);
}

}  // namespace vorn::kernel::internal

PIRP IoAllocateIrp(CCHAR stack_size, BOOLEAN) { return NewIrp(stack_size, IrpKind::kAllocated); }

void IoFreeIrp(PIRP irp) {
  if (!irp) return;
  IrpTrack* t = Track(irp);
  IrpState s = t->state.load();
  if (s == IrpState::kInDriver) {
    ReportViolation("IRP %p freed while a driver holds it", static_cast<void*>(irp));
    return;  // leaked rather than freed under the driver's feet
  }
  {
    std::lock_guard<std::mutex> guard(T().lock);
    T().irps.erase(irp);
  }
  delete t;
  irp->Internal = nullptr;
  ExFreePoolWithTag(irp, kIrpTag);
}

void IoReuseIrp(PIRP irp, NTSTATUS status) {
  IrpTrack* t = Track(irp);
  if (t->state.load() == IrpState::kInDriver) ReportViolation("IRP %p reused while a driver holds it", static_cast<void*>(irp));
  irp->MdlAddress = nullptr;
  irp->Flags = 0;
  irp->AssociatedIrp.SystemBuffer = nullptr;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  irp->PendingReturned = FALSE;
  __atomic_store_n(&irp->Cancel, 0, __ATOMIC_SEQ_CST);
  __atomic_store_n(&irp->CancelRoutine, nullptr, __ATOMIC_SEQ_CST);
  irp->UserBuffer = nullptr;
  std::memset(&irp->Tail, 0, sizeof(irp->Tail));
  ResetStack(irp);
  t->state = IrpState::kIdle;
}

void IoCopyCurrentIrpStackLocationToNext(PIRP irp) {
  IO_STACK_LOCATION* current = IoGetCurrentIrpStackLocation(irp);
  IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
  std::memcpy(next, current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
  next->Control = 0;
  next->CompletionRoutine = nullptr;
  next->Context = nullptr;
}

void IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                            BOOLEAN on_success, BOOLEAN on_error, BOOLEAN on_cancel) {
  IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
  next->CompletionRoutine = routine;
  next->Context = context;
  next->Control = 0;
  if (on_success) next->Control |= SL_INVOKE_ON_SUCCESS;
  if (on_error) next->Control |= SL_INVOKE_ON_ERROR;
  if (on_cancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

NTSTATUS IofCallDriver(DEVICE_OBJECT* device, PIRP irp) {
  if (!device || !irp) {
    ReportViolation("IoCallDriver with a null %s", device ? "IRP" : "device");
    return STATUS_INVALID_PARAMETER;
  }
  IrpTrack* t = Track(irp);
  if (t->state.load() == IrpState::kDone)
    ReportViolation("IRP %p sent again after it completed (reuse it first)", static_cast<void*>(irp));
  if (irp->CurrentLocation <= 1) {
    ReportViolation("IRP %p has no stack location left for device %p", static_cast<void*>(irp),
                    static_cast<void*>(device));
    return STATUS_INVALID_PARAMETER;
  }
  --irp->CurrentLocation;
  IO_STACK_LOCATION* stack = --irp->Tail.Overlay.CurrentStackLocation;
  stack->DeviceObject = device;
  t->state = IrpState::kInDriver;
  PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[stack->MajorFunction];
  KIRQL irql = KeGetCurrentIrql();
  NTSTATUS status = dispatch(device, irp);
  if (KeGetCurrentIrql() != irql)
    ReportViolation("dispatch routine (major %u) returned at IRQL %d, entered at %d",
                    stack->MajorFunction, KeGetCurrentIrql(), irql);
  return status;
}

void IofCompleteRequest(PIRP irp, CCHAR) {
  IrpTrack* t = Track(irp);
  IrpState s = t->state.load();
  if (s == IrpState::kDone || s == IrpState::kIdle) {
    ReportViolation("IRP %p completed while %s (double completion)", static_cast<void*>(irp), StateName(s));
    return;
  }
  if (__atomic_exchange_n(&irp->CancelRoutine, nullptr, __ATOMIC_SEQ_CST))
    ReportViolation("IRP %p completed with its cancel routine still set", static_cast<void*>(irp));
  if (irp->IoStatus.Status == STATUS_PENDING)
    ReportViolation("IRP %p completed with STATUS_PENDING", static_cast<void*>(irp));
  t->state = IrpState::kInDriver;
  while (irp->CurrentLocation <= irp->StackCount) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    UCHAR control = stack->Control;
    stack->Control = 0;
    stack->CompletionRoutine = nullptr;
    stack->Context = nullptr;
    ++irp->CurrentLocation;
    ++irp->Tail.Overlay.CurrentStackLocation;
    NTSTATUS status = irp->IoStatus.Status;
    bool invoke = routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                              (NT_ERROR(status) && (control & SL_INVOKE_ON_ERROR)) ||
                              (!NT_SUCCESS(status) && !NT_ERROR(status) && (control & SL_INVOKE_ON_ERROR)) ||
                              (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && (control & SL_INVOKE_ON_CANCEL)));
    if (invoke) {
      DEVICE_OBJECT* device = irp->CurrentLocation <= irp->StackCount
                                  ? IoGetCurrentIrpStackLocation(irp)->DeviceObject
                                  : nullptr;
      t->state = IrpState::kRoutine;
      if (routine(device, irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;  // hands off
      IrpState expected = IrpState::kRoutine;
      if (!t->state.compare_exchange_strong(expected, IrpState::kInDriver)) {
        ReportViolation("completion routine of IRP %p let completion go on after the IRP was %s",
                        static_cast<void*>(irp), StateName(expected));
        return;
      }
    } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
      IoMarkIrpPending(irp);
    }
  }
  t->state = IrpState::kDone;
  switch (t->kind) {
    case IrpKind::kAllocated:
      ReportViolation("IRP %p from IoAllocateIrp completed past its top location: its completion "
                      "routine must return STATUS_MORE_PROCESSING_REQUIRED", static_cast<void*>(irp));
      break;
    case IrpKind::kBuiltIoctl:
      FinishBuiltIoctl(irp);
      break;
    case IrpKind::kManaged:
      t->on_done(irp, t->context);
      break;
  }
}

PIRP IoBuildDeviceIoControlRequest(ULONG code, DEVICE_OBJECT* device, PVOID input,
                                   ULONG input_length, PVOID output, ULONG output_length,
                                   BOOLEAN internal, PKEVENT event, PIO_STATUS_BLOCK io_status) {
  if (!device) return nullptr;
  IRP* irp = NewIrp(device->StackSize, IrpKind::kBuiltIoctl);
  if (!irp) return nullptr;
  IrpTrack* t = Track(irp);
  irp->UserIosb = io_status;
  irp->UserEvent = event;
  irp->RequestorMode = KernelMode;
  IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = code;
  next->Parameters.DeviceIoControl.InputBufferLength = input_length;
  next->Parameters.DeviceIoControl.OutputBufferLength = output_length;
  ULONG method = IoControlMethod(code);
  if (method == METHOD_NEITHER) {
    next->Parameters.DeviceIoControl.Type3InputBuffer = input;
    irp->UserBuffer = output;
    return irp;
  }
  ULONG system_length = method == METHOD_BUFFERED ? std::max(input_length, output_length) : input_length;
  if (system_length) {
    irp->AssociatedIrp.SystemBuffer = ExAllocatePoolWithTag(NonPagedPoolNx | POOL_ZERO_ALLOCATION, system_length, kBufferTag);
    if (!irp->AssociatedIrp.SystemBuffer) {
      IoFreeIrp(irp);
      return nullptr;
    }
    if (input && input_length) std::memcpy(irp->AssociatedIrp.SystemBuffer, input, input_length);
  }
  if (method == METHOD_BUFFERED) {
    t->output = output;
    t->output_length = output_length;
    t->copy_back = output && output_length;
  } else if (output && output_length) {
    irp->MdlAddress = IoAllocateMdl(output, output_length, FALSE, FALSE, nullptr);
    if (!irp->MdlAddress) {
      if (irp->AssociatedIrp.SystemBuffer) ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kBufferTag);
      IoFreeIrp(irp);
      return nullptr;
    }
  }
  irp->UserBuffer = output;
  return irp;
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine) {
  return __atomic_exchange_n(&irp->CancelRoutine, routine, __ATOMIC_SEQ_CST);
}

void IoAcquireCancelSpinLock(KIRQL* irql) { KeAcquireSpinLock(&g_cancel_lock, irql); }
void IoReleaseCancelSpinLock(KIRQL irql) { KeReleaseSpinLock(&g_cancel_lock, irql); }

BOOLEAN IoCancelIrp(PIRP irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  __atomic_store_n(&irp->Cancel, 1, __ATOMIC_SEQ_CST);
  PDRIVER_CANCEL routine = __atomic_exchange_n(&irp->CancelRoutine, nullptr, __ATOMIC_SEQ_CST);
  if (!routine) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  irp->CancelIrql = irql;
  DEVICE_OBJECT* device = irp->CurrentLocation <= irp->StackCount
                              ? IoGetCurrentIrpStackLocation(irp)->DeviceObject
                              : nullptr;
  routine(device, irp);
  if (__atomic_load_n(&g_cancel_lock, __ATOMIC_SEQ_CST) == vorn::kernel::CurrentThreadToken()) {
    ReportViolation("cancel routine returned holding the cancel spin lock");
    IoReleaseCancelSpinLock(irql);
  }
  return TRUE;
}

PMDL IoAllocateMdl(PVOID address, ULONG length, BOOLEAN, BOOLEAN, IRP* irp) {
  auto* mdl = static_cast<MDL*>(ExAllocatePoolWithTag(NonPagedPoolNx | POOL_ZERO_ALLOCATION, sizeof(MDL), kMdlTag));
  if (!mdl) return nullptr;
  mdl->Size = sizeof(MDL);
  mdl->StartVa = address;
  mdl->ByteCount = length;
  if (irp && !irp->MdlAddress) irp->MdlAddress = mdl;
  return mdl;
}

void IoFreeMdl(PMDL mdl) { ExFreePoolWithTag(mdl, kMdlTag); }

void MmBuildMdlForNonPagedPool(PMDL mdl) {
  mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
  mdl->MappedSystemVa = mdl->StartVa;
}

PVOID MmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE, MEMORY_CACHING_TYPE, PVOID, ULONG, ULONG) {
  if (!mdl) return nullptr;
  mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  mdl->MappedSystemVa = mdl->StartVa;
  return mdl->MappedSystemVa;
}

void MmUnmapLockedPages(PVOID, PMDL mdl) {
  mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
}

BOOLEAN MmIsAddressValid(PVOID address) { return address != nullptr; }

namespace vorn::kernel::irp {

std::vector<Info> InDriver() {
  std::vector<Info> out;
  std::lock_guard<std::mutex> guard(T().lock);
  for (auto& [irp, track] : T().irps) {
    if (track->state.load() != IrpState::kInDriver) continue;
    IO_STACK_LOCATION* s = irp->CurrentLocation <= irp->StackCount ? IoGetCurrentIrpStackLocation(irp) : nullptr;
    out.push_back(Info{irp, s ? s->MajorFunction : UCHAR{0}, s ? s->MinorFunction : UCHAR{0},
                       s ? s->DeviceObject : nullptr});
  }
  return out;
}

size_t CheckNoneInDriver() {
  auto held = InDriver();
  for (const Info& i : held)
    ReportViolation("IRP %p (major %u minor %u) never completed by device %p", static_cast<void*>(i.irp),
                    i.major, i.minor, static_cast<void*>(i.device));
  return held.size();
}

}  // namespace vorn::kernel::irp
