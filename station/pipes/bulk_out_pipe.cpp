// The bulk-OUT pipe engine: creation with its ten channels, enable and disable, the dispatcher
// thread, Kick choosing the next descriptor by priority (or only the open two-plane message's
// continuation), and the transfer path that sends a descriptor's header and then its data in
// pieces of at most MaximumTransferSize on one reused IRP. Exactly one transfer is in flight
// at a time; the two contexts take turns, and a finished transfer starts the next one from
// its completion routine.
#include <cstring>

#include "protocol/byte_order.h"
#include "station/kernel_utils.h"
#include "station/pipes/bulk_out_pipe.h"
#include "station/pipes/device_gone.h"
#include "station/station_extension.h"

namespace vorn::station {
namespace bulk_out {
namespace {

constexpr LONGLONG kDispatcherPollInterval = -500000;  // 50 ms, relative
constexpr ULONG kDisableSettleMicroseconds = 50;
constexpr ULONG kIdlePollMicroseconds = 100;
constexpr USHORT kUsb3 = 0x0300;

NTSTATUS BulkOutWriteCompletion(DEVICE_OBJECT*, IRP* irp, PVOID context);

ULONG PieceLimit() { return g_StationGlobals->MaximumTransferSize; }

bool IsTwoPlaneHeader(const TransferDescriptor* d) {
  return d->HeaderLength &&
         protocol::LoadLe32(d->Header) == protocol::ToWire(protocol::BusMessageType::TwoPlane);
}

void MakeIdle(TransferContext* ctx) {
  ctx->Descriptor = nullptr;
  __atomic_store_n(&ctx->Phase, kPhaseIdle, __ATOMIC_SEQ_CST);
}

// Sends the next piece of the context's current phase.
void SubmitPiece(TransferContext* ctx) {
  BulkOutPipe* pipe = ctx->Pipe;
  TransferDescriptor* d = ctx->Descriptor;
  auto& r = ctx->Urb->UrbBulkOrInterruptTransfer;
  std::memset(ctx->Urb, 0, kUrbBlockBytes);
  r.Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
  r.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  r.PipeHandle = pipe->PipeInfo.PipeHandle;
  r.TransferFlags = USBD_SHORT_TRANSFER_OK;
  ULONG limit = PieceLimit();
  r.TransferBufferLength = d->Remaining < limit ? d->Remaining : limit;
  r.TransferBuffer = const_cast<UCHAR*>(d->Current);
  IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(ctx->Irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.Others.Argument1 = ctx->Urb;
  next->Parameters.Others.Argument2 = nullptr;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  IoSetCompletionRoutine(ctx->Irp, BulkOutWriteCompletion, ctx, TRUE, TRUE, TRUE);
  // The completion routine runs in every case, also for a refusal, and may already have run
  // (and the context been reused) when the call returns: nothing here looks at the result.
  IofCallDriver(pipe->Station->LowerDeviceObject, ctx->Irp);
}

// A descriptor Kick took that cannot go out now: the request it belongs to keeps its place
// at the head of its queue unless a flush ended it meanwhile.
void ReturnUnsent(BulkOutPipe* pipe, TransferContext* ctx) {
  TransferDescriptor* d = ctx->Descriptor;
  RequestSlot* slot = d->Slot;
  bool open;
  KIRQL irql;
  KeAcquireSpinLock(&pipe->RequestLock, &irql);
  slot->InFlight = 0;
  open = LoadByte(slot->Busy) == kSlotActive && slot->RequestId == d->RequestId && !slot->Cancelled;
  KeReleaseSpinLock(&pipe->RequestLock, irql);
  if (open) {
    RequeueAtHead(pipe, d);
  } else {
    // Flushed while Kick held it: report it now that it will not be sent.
    CompleteRequestSlice(pipe, slot, d->RequestId, d->Sequence, 0, 0, STATUS_CANCELLED,
                         static_cast<ULONG>(USBD_STATUS_CANCELED));
    ReleaseDescriptor(pipe, d);
  }
}

void SendDescriptor(BulkOutPipe* pipe, TransferContext* ctx) {
  if (ReadFlag(pipe->Station->DeviceGone)) {
    ctx->LastStatus = STATUS_NO_SUCH_DEVICE;
    ctx->LastUsbdStatus = static_cast<ULONG>(USBD_STATUS_DEVICE_GONE);
    ReturnUnsent(pipe, ctx);
    MakeIdle(ctx);
    return;
  }
  SubmitPiece(ctx);
}

// A descriptor that cannot be sent at all ends its transfer and its request at once, so the
// context does not stay busy and stop the pipe.
void RefuseDescriptor(BulkOutPipe* pipe, TransferContext* ctx) {
  TransferDescriptor* d = ctx->Descriptor;
  ctx->LastStatus = STATUS_INVALID_PARAMETER;
  ctx->LastUsbdStatus = static_cast<ULONG>(USBD_STATUS_INVALID_PARAMETER);
  CompleteRequestSlice(pipe, d->Slot, d->RequestId, d->Sequence, d->HeaderBytesDone,
                       d->DataBytesDone, ctx->LastStatus, ctx->LastUsbdStatus);
  if (ChannelOf(d) == kTwoPlaneChannel) ResetType7(pipe);
  ReleaseDescriptor(pipe, d);
  MakeIdle(ctx);
}

// The head of the highest non-empty queue; while a two-plane message is open, only its next
// continuation piece from channel 7's queue.
TransferDescriptor* ChooseDescriptor(BulkOutPipe* pipe) {
  TransferDescriptor* d = nullptr;
  KIRQL irql;
  KeAcquireSpinLock(&pipe->QueueLock, &irql);
  if (LoadUlong(pipe->Type7SendRemainder)) {
    ULONG q = pipe->Channels[kTwoPlaneChannel].PriorityLevel;
    for (LIST_ENTRY* e = pipe->Queues[q].Flink; e != &pipe->Queues[q]; e = e->Flink) {
      auto* c = CONTAINING_RECORD(e, TransferDescriptor, QueueLink);
      if (ChannelOf(c) == kTwoPlaneChannel && c->HeaderLength == 0) {
        d = c;
        break;
      }
    }
    if (d) {
      RemoveEntryList(&d->QueueLink);
      --pipe->QueueCounts[q];
      SubtractClamped(pipe->Type7SendRemainder, d->DataLength);
    }
  } else {
    for (ULONG q = kPriorityQueueCount; q-- > 0;) {
      if (IsListEmpty(&pipe->Queues[q])) continue;
      d = CONTAINING_RECORD(RemoveHeadList(&pipe->Queues[q]), TransferDescriptor, QueueLink);
      --pipe->QueueCounts[q];
      break;
    }
  }
  KeReleaseSpinLock(&pipe->QueueLock, irql);
  return d;
}

// Chooses the next descriptor and the context to send it on, under DispatchLock: nothing when
// the pipe is disabled, the device is gone, the context started last is still busy (exactly
// one transfer is in flight) or nothing is queued. |finishing| is the context whose completion
// asks; it counts as idle.
TransferContext* PrepareNext(BulkOutPipe* pipe, TransferContext* finishing, bool* refused) {
  TransferContext* ctx = nullptr;
  KIRQL irql;
  KeAcquireSpinLock(&pipe->DispatchLock, &irql);
  if (LoadByte(pipe->Enabled) && !ReadFlag(pipe->Station->DeviceGone) &&
      !LoadByte(pipe->ResetPending) &&
      (pipe->LastContext == finishing ||
       __atomic_load_n(&pipe->LastContext->Phase, __ATOMIC_SEQ_CST) == kPhaseIdle)) {
    TransferDescriptor* d;
    // Slices of requests that already completed (failed or flushed) are dropped unsent.
    while ((d = ChooseDescriptor(pipe)) && !DispatchCheck(pipe, d)) ReleaseDescriptor(pipe, d);
    if (d) {
      ctx = pipe->LastContext->Next;
      pipe->LastContext = ctx;
      ctx->Descriptor = d;
      ctx->Channel = ChannelOf(d);
      ctx->RequestId = d->RequestId;
      __atomic_store_n(&ctx->Phase, d->HeaderLength ? kPhaseHeader : kPhaseData, __ATOMIC_SEQ_CST);
      *refused = !d->Current || !d->Remaining || !ctx->Irp;
      // Reused under the lock, so a disable that cancels this context's IRP from now on
      // always reaches the transfer.
      if (!*refused) IoReuseIrp(ctx->Irp, STATUS_SUCCESS);
    }
  }
  KeReleaseSpinLock(&pipe->DispatchLock, irql);
  return ctx;
}

void Launch(BulkOutPipe* pipe, TransferContext* ctx, bool refused) {
  if (refused)
    RefuseDescriptor(pipe, ctx);
  else
    SendDescriptor(pipe, ctx);
}

void KickBulkOutPipe(PVOID object) {
  auto* pipe = static_cast<BulkOutPipe*>(object);
  bool refused = false;
  if (TransferContext* ctx = PrepareNext(pipe, nullptr, &refused)) Launch(pipe, ctx, refused);
}

// Completions start the next transfer themselves, at most this many deep on one thread (a
// bus that completes inside the call would otherwise nest them without bound); beyond it the
// dispatcher thread takes over.
constexpr int kMaxChainDepth = 4;
thread_local int t_chain_depth = 0;

NTSTATUS BulkOutWriteCompletion(DEVICE_OBJECT*, IRP* irp, PVOID context) {
  auto* ctx = static_cast<TransferContext*>(context);
  BulkOutPipe* pipe = ctx->Pipe;
  StationExtension* station = pipe->Station;
  TransferDescriptor* d = ctx->Descriptor;
  auto& r = ctx->Urb->UrbBulkOrInterruptTransfer;
  NTSTATUS status = irp->IoStatus.Status;
  ULONG usbd = static_cast<ULONG>(r.Hdr.Status);
  ULONG n = r.TransferBufferLength < d->Remaining ? r.TransferBufferLength : d->Remaining;
  ULONG phase = __atomic_load_n(&ctx->Phase, __ATOMIC_SEQ_CST);
  if (phase == kPhaseHeader)
    d->HeaderBytesDone += n;
  else
    d->DataBytesDone += n;
  d->Remaining -= n;
  d->Current += n;

  if (NT_SUCCESS(status)) {
    if (d->Remaining > 0 && n == 0) {
      // The device took nothing: asking again would loop for ever.
      status = STATUS_DEVICE_DATA_ERROR;
      usbd = static_cast<ULONG>(USBD_STATUS_DATA_BUFFER_ERROR);
    } else if (d->Remaining > 0) {
      SubmitPiece(ctx);
      return STATUS_MORE_PROCESSING_REQUIRED;
    } else if (phase == kPhaseHeader && d->DataLength > 0) {
      if (IsTwoPlaneHeader(d)) {
        ULONG total = protocol::LoadLe32(d->Header + 4);
        StoreUlong(pipe->Type7SendRemainder, total > d->DataLength ? total - d->DataLength : 0);
      }
      __atomic_store_n(&ctx->Phase, kPhaseData, __ATOMIC_SEQ_CST);
      d->Remaining = d->DataLength;
      d->Current = d->DataStart;
      SubmitPiece(ctx);
      return STATUS_MORE_PROCESSING_REQUIRED;
    } else {
      irp->IoStatus.Information = d->HeaderBytesDone + d->DataBytesDone;
    }
  } else {
    ApplyDeviceGoneRule(station, DeviceGoneForm::kBulk, status, static_cast<USBD_STATUS>(usbd));
    // Cancelled after part of the message went (its header, some data, or the start of a
    // two-plane message this piece continues): the device is left in the middle of it.
    if (status == STATUS_CANCELLED &&
        (d->HeaderBytesDone + d->DataBytesDone > 0 || d->HeaderLength == 0))
      StoreByte(pipe->ResetPending, 1);
  }
  const bool failed = !NT_SUCCESS(status) || static_cast<LONG>(usbd) < 0;
  // A two-plane message that broke off is over: the dispatcher must not wait for its rest.
  if (failed && ChannelOf(d) == kTwoPlaneChannel) ResetType7(pipe);
  ctx->LastStatus = status;
  ctx->LastUsbdStatus = usbd;

  auto routine = __atomic_exchange_n(&d->SliceCompletion, nullptr, __ATOMIC_SEQ_CST);
  if (routine)
    routine(pipe, d->Slot, d->RequestId, d->Sequence, d->HeaderBytesDone, d->DataBytesDone,
            status, usbd);
  ReleaseDescriptor(pipe, d);
  // The context goes idle last: a disable waiting for it may free the pipe at once, unless
  // the next transfer, started here, keeps the other context busy.
  ctx->Descriptor = nullptr;
  if (ReadFlag(station->DeviceGone)) {
    KeSetEvent(&pipe->DispatcherStopEvent, 0, FALSE);
    __atomic_store_n(&ctx->Phase, kPhaseIdle, __ATOMIC_SEQ_CST);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  bool refused = false;
  TransferContext* next = nullptr;
  if (t_chain_depth < kMaxChainDepth) next = PrepareNext(pipe, ctx, &refused);
  if (!next && LoadByte(pipe->Enabled)) KeSetEvent(&pipe->DispatcherKickEvent, 0, FALSE);
  __atomic_store_n(&ctx->Phase, kPhaseIdle, __ATOMIC_SEQ_CST);
  if (next) {
    ++t_chain_depth;
    Launch(pipe, next, refused);
    --t_chain_depth;
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

bool ContextsIdle(BulkOutPipe* pipe) {
  for (TransferContext& ctx : pipe->Contexts)
    if (__atomic_load_n(&ctx.Phase, __ATOMIC_SEQ_CST) != kPhaseIdle) return false;
  return true;
}

// Resets the device's bulk-OUT pipe once the transfer that was cut off has ended, so the
// device drops the part of the message it holds and reads the next bytes as a new message.
// Runs on the dispatcher thread (PASSIVE_LEVEL), which the pipe's disable stops before the
// pipe or the lower device goes away. A reset the stack refuses is not retried: sending
// goes on either way.
void ResetDevicePipe(BulkOutPipe* pipe) {
  if (!ContextsIdle(pipe)) return;  // the cut transfer is still ending: the next wake
  StationExtension* station = pipe->Station;
  if (!ReadFlag(station->DeviceGone)) {
    URB urb{};
    urb.UrbPipeRequest.Hdr.Length = sizeof(_URB_PIPE_REQUEST);
    urb.UrbPipeRequest.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    urb.UrbPipeRequest.PipeHandle = pipe->PipeInfo.PipeHandle;
    SubmitUrbSync(station, &urb);
  }
  StoreByte(pipe->ResetPending, 0);
}

void BulkOutDispatcherThread(PVOID context) {
  auto* pipe = static_cast<BulkOutPipe*>(context);
  while (LoadByte(pipe->ThreadRunning)) {
    PVOID events[] = {&pipe->DispatcherStopEvent, &pipe->DispatcherKickEvent};
    LARGE_INTEGER timeout;
    timeout.QuadPart = kDispatcherPollInterval;
    NTSTATUS wait = KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE,
                                             &timeout, nullptr);
    if (wait == STATUS_WAIT_0 || !LoadByte(pipe->ThreadRunning)) break;
    if (LoadByte(pipe->ResetPending)) ResetDevicePipe(pipe);
    KickBulkOutPipe(pipe);
  }
  for (ULONG channel = 0; channel < kChannelCount; ++channel) FlushChannel(pipe, channel);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS StartDispatcherThread(BulkOutPipe* pipe) {
  StoreByte(pipe->ThreadRunning, 1);
  KeClearEvent(&pipe->DispatcherStopEvent);
  KeClearEvent(&pipe->DispatcherKickEvent);
  NTSTATUS status =
      StartReferencedSystemThread(BulkOutDispatcherThread, pipe, &pipe->DispatcherThread);
  if (!NT_SUCCESS(status)) {
    // A thread that started without a reference cannot be waited for: it ends at once.
    StoreByte(pipe->ThreadRunning, 0);
    KeSetEvent(&pipe->DispatcherStopEvent, 0, FALSE);
  }
  return status;
}

void StopDispatcherThread(BulkOutPipe* pipe) {
  if (!pipe->DispatcherThread) return;
  StoreByte(pipe->ThreadRunning, 0);
  KeSetEvent(&pipe->DispatcherStopEvent, 0, FALSE);
  KeWaitForSingleObject(pipe->DispatcherThread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(pipe->DispatcherThread);
  pipe->DispatcherThread = nullptr;
}

void EnableBulkOutPipe(PVOID object, UCHAR on) {
  auto* pipe = static_cast<BulkOutPipe*>(object);
  on = on ? 1 : 0;
  KeWaitForSingleObject(&pipe->Mutex, Executive, KernelMode, FALSE, nullptr);
  if (on != LoadByte(pipe->Enabled)) {
    StoreByte(pipe->Enabled, on);
    if (on) {
      ResetType7(pipe);
      StartDispatcherThread(pipe);
    } else {
      DelayMicroseconds(kDisableSettleMicroseconds);
      KIRQL irql;
      KeAcquireSpinLock(&pipe->DispatchLock, &irql);
      for (TransferContext& ctx : pipe->Contexts)
        if (__atomic_load_n(&ctx.Phase, __ATOMIC_SEQ_CST) != kPhaseIdle) IoCancelIrp(ctx.Irp);
      KeReleaseSpinLock(&pipe->DispatchLock, irql);
      StopDispatcherThread(pipe);
      // The cancelled transfers still own their descriptors and read their producers' data:
      // nothing is reported or freed before they have ended.
      while (!ContextsIdle(pipe)) DelayMicroseconds(kIdlePollMicroseconds);
      for (ULONG channel = 0; channel < kChannelCount; ++channel) FlushChannel(pipe, channel);
      DropQueuedDescriptors(pipe);
    }
  }
  KeReleaseMutex(&pipe->Mutex, FALSE);
}

void FreePipe(BulkOutPipe* pipe) {
  for (TransferContext& ctx : pipe->Contexts) {
    if (ctx.Irp) IoFreeIrp(ctx.Irp);
    if (ctx.Urb) ExFreePoolWithTag(ctx.Urb, kTagPipe);
  }
  DropQueuedDescriptors(pipe);
  while (!IsListEmpty(&pipe->FreeDescriptors))
    ExFreePoolWithTag(CONTAINING_RECORD(RemoveHeadList(&pipe->FreeDescriptors),
                                        TransferDescriptor, FreeLink),
                      kTagDescriptor);
  ExFreePoolWithTag(pipe, kTagPipe);
}

void DestroyBulkOutPipe(PVOID object) {
  auto* pipe = static_cast<BulkOutPipe*>(object);
  EnableBulkOutPipe(pipe, 0);
  FreePipe(pipe);
}

void InitChannel(BulkOutPipe* pipe, ULONG i, bool usb3) {
  BulkChannel& ch = pipe->Channels[i];
  ch.Pipe = pipe;
  ch.Index = i;
  KeInitializeSpinLock(&ch.ChannelLock);
  const protocol::BusChannelDefaults& defaults = protocol::kBusChannelDefaults[i];
  ULONG slice = usb3 ? g_StationGlobals->MaxSliceSizeSS[i] : g_StationGlobals->MaxSliceSizeHS[i];
  // A slice size of 0 would never finish slicing; a priority above 4 names no queue.
  if (slice == 0) slice = usb3 ? defaults.MaxSliceSizeSS : defaults.MaxSliceSizeHS;
  ch.MaxSliceSize = slice;
  UCHAR priority = g_StationGlobals->PriorityLevel[i];
  ch.PriorityLevel = priority < kPriorityQueueCount ? priority : kPriorityQueueCount - 1;
  ch.Next = i + 1 < kChannelCount ? &pipe->Channels[i + 1] : nullptr;
  for (RequestSlot& slot : ch.Slots) slot.Channel = &ch;
}

}  // namespace
}  // namespace bulk_out

NTSTATUS CreateBulkOutPipe(StationExtension* station, PipeOps* table, ULONG table_size,
                           const USBD_PIPE_INFORMATION* info) {
  using namespace bulk_out;
  if (!station || !table || !info || table_size < sizeof(PipeOps)) return STATUS_INVALID_PARAMETER;
  *table = PipeOps{};
  auto* pipe = static_cast<BulkOutPipe*>(AllocatePool(NonPagedPoolNx, sizeof(BulkOutPipe), kTagPipe));
  if (!pipe) return STATUS_INSUFFICIENT_RESOURCES;
  pipe->Station = station;
  pipe->PipeInfo = *info;
  KeInitializeSpinLock(&pipe->DispatchLock);
  KeInitializeSpinLock(&pipe->RequestLock);
  KeInitializeSpinLock(&pipe->QueueLock);
  KeInitializeMutex(&pipe->Mutex, 0);
  KeInitializeEvent(&pipe->DispatcherStopEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&pipe->DispatcherKickEvent, SynchronizationEvent, FALSE);
  InitializeListHead(&pipe->FreeDescriptors);
  for (LIST_ENTRY& q : pipe->Queues) InitializeListHead(&q);
  const bool usb3 = station->DeviceDescriptor.bcdUSB >= kUsb3;
  for (ULONG i = 0; i < kChannelCount; ++i) InitChannel(pipe, i, usb3);
  pipe->FirstChannel = &pipe->Channels[0];

  CCHAR stack = static_cast<CCHAR>(station->LowerDeviceObject->StackSize + 1);
  for (ULONG c = 0; c < 2; ++c) {
    TransferContext& ctx = pipe->Contexts[c];
    ctx.Pipe = pipe;
    ctx.Next = &pipe->Contexts[1 - c];
    ctx.Irp = IoAllocateIrp(stack, FALSE);
    ctx.Urb = static_cast<URB*>(AllocatePool(NonPagedPoolNx, kUrbBlockBytes, kTagPipe));
    if (!ctx.Irp || !ctx.Urb) {
      FreePipe(pipe);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  pipe->LastContext = &pipe->Contexts[0];

  table->Object = pipe;
  table->Destroy = DestroyBulkOutPipe;
  table->Enable = EnableBulkOutPipe;
  table->Kick = KickBulkOutPipe;
  table->WriteAndWait = WriteAndWait;
  table->WriteAsync = WriteAsync;
  table->FlushChannel = FlushChannel;
  table->Notify = NoOpNotify;
  return STATUS_SUCCESS;
}

}  // namespace vorn::station
