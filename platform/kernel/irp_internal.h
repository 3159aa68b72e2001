// Kernel-internal: the tracking record of an IRP and the hooks the I/O manager, the PnP and
// power managers use to be told when an IRP they sent has completed.
#pragma once

#include <atomic>

#include "platform/kernel/irp.h"

namespace vorn::kernel::internal {

enum class IrpState { kIdle, kInDriver, kRoutine, kDone };
enum class IrpKind { kAllocated, kBuiltIoctl, kManaged };

struct IrpTrack {
  std::atomic<IrpState> state{IrpState::kIdle};
  IrpKind kind = IrpKind::kAllocated;
  // kBuiltIoctl: the caller's output buffer, copied back for buffered codes.
  PVOID output = nullptr;
  ULONG output_length = 0;
  bool copy_back = false;
  // kManaged: called when the IRP completes to its top, at the completing IRQL.
  void (*on_done)(IRP* irp, void* context) = nullptr;
  void* context = nullptr;
};

inline IrpTrack* Track(IRP* irp) { return static_cast<IrpTrack*>(irp->Internal); }

// An IRP whose completion the kernel itself receives: |on_done| runs when it completes to its
// top; the receiver frees it with IoFreeIrp.
IRP* AllocateManagedIrp(CCHAR stack_size, void (*on_done)(IRP*, void*), void* context);

// Copies a buffered device-control answer back: min(Information, length) bytes, reporting
// Information above the output length as a violation.
void CopyBack(IRP* irp, PVOID output, ULONG output_length);

}  // namespace vorn::kernel::internal
