// Synchronous requests a driver builds for a device below or beside it (PnP queries such as
// QUERY_INTERFACE and QUERY_CAPABILITIES): the kernel sets the caller's event and status block
// when the request completes to its top, and frees it.
#include <cstring>

#include "platform/kernel/irp_internal.h"
#include "platform/kernel/pnp.h"
#include "platform/kernel/sync.h"

namespace {

void SynchronousDone(IRP* irp, void*) {
  if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
  PKEVENT event = irp->UserEvent;
  IoFreeIrp(irp);
  if (event) KeSetEvent(event, 0, FALSE);
}

}  // namespace

PIRP IoBuildSynchronousFsdRequest(ULONG major, DEVICE_OBJECT* device, PVOID buffer,
                                  ULONG length, LARGE_INTEGER* offset, PKEVENT event,
                                  PIO_STATUS_BLOCK io_status) {
  if (!device || !event || !io_status || major > IRP_MJ_MAXIMUM_FUNCTION) return nullptr;
  IRP* irp = vorn::kernel::internal::AllocateManagedIrp(device->StackSize, SynchronousDone, nullptr);
  if (!irp) return nullptr;
  irp->UserIosb = io_status;
  irp->UserEvent = event;
  irp->UserBuffer = buffer;
  irp->RequestorMode = KernelMode;
  IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = static_cast<UCHAR>(major);
  if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
    next->Parameters.Read.Length = length;
    if (offset) next->Parameters.Read.ByteOffset = *offset;
  }
  return irp;
}
