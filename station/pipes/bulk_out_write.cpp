// The producer side of the bulk-OUT pipe: request slots, slicing into transfer descriptors
// with patched headers, the queues, and the accounting that reports every accepted request
// exactly once, whether it ends by its last slice, by a failed transfer or by a flush.
#include <cstring>

#include "protocol/byte_order.h"
#include "station/kernel_utils.h"
#include "station/pipes/bulk_out_pipe.h"
#include "station/station_extension.h"

namespace vorn::station::bulk_out {
namespace {

constexpr ULONG kSliceLengthOffset = 12;
constexpr ULONG kSliceOffsetOffset = 16;
constexpr ULONG kMoreSlicesOffset = 20;

ULONG HeaderType(const UCHAR* h) { return protocol::LoadLe32(h + 0); }
ULONG HeaderTotal(const UCHAR* h) { return protocol::LoadLe32(h + 4); }

// Takes the first free slot of the type's channel. Null for a type without channel or a
// channel whose 2048 slots are all busy.
RequestSlot* AllocateRequestSlot(BulkOutPipe* pipe, ULONG type, ULONG* slice_size,
                                 UCHAR* priority) {
  ULONG channel = protocol::MessageTypeToChannel(type, g_StationGlobals->StandaloneMic != 0);
  if (!protocol::IsBusChannel(channel)) return nullptr;
  BulkChannel& ch = pipe->Channels[channel];
  *slice_size = ch.MaxSliceSize;
  // A station with one child function sends whole messages.
  if (__atomic_load_n(&pipe->Station->ActiveFunctionCount, __ATOMIC_SEQ_CST) == 1 &&
      !g_StationGlobals->ForcedSlicing)
    *slice_size = protocol::kUnlimitedSliceSize;
  *priority = ch.PriorityLevel;
  RequestSlot* found = nullptr;
  KIRQL irql;
  KeAcquireSpinLock(&ch.ChannelLock, &irql);
  for (RequestSlot& slot : ch.Slots) {
    if (LoadByte(slot.Busy) == kSlotFree) {
      StoreByte(slot.Busy, kSlotFilling);
      found = &slot;
      break;
    }
  }
  KeReleaseSpinLock(&ch.ChannelLock, irql);
  return found;
}

void FillSlot(BulkOutPipe* pipe, RequestSlot* slot, const UCHAR* header, ULONG header_length,
              const void* data, ULONG length, WriteCompletion completion, PVOID context,
              IRP* irp) {
  std::memcpy(slot->Header, header, kHeaderBytes);
  slot->Data = static_cast<const UCHAR*>(data);
  slot->HeaderLength = header_length;
  slot->DataLength = length;
  slot->DataBytesDone = 0;
  slot->Completion = completion;
  slot->CompletionContext = context;
  slot->ProducerIrp = irp;
  slot->InFlight = 0;
  slot->Cancelled = 0;
  slot->RequestId = static_cast<ULONG>(InterlockedIncrement(
      reinterpret_cast<volatile LONG*>(&pipe->RequestIdCounter)));
}

// From now on completion and flush may act on the slot.
void ActivateSlot(BulkOutPipe* pipe, RequestSlot* slot) {
  KIRQL irql;
  KeAcquireSpinLock(&pipe->RequestLock, &irql);
  StoreByte(slot->Busy, kSlotActive);
  KeReleaseSpinLock(&pipe->RequestLock, irql);
}

TransferDescriptor* GetDescriptor(BulkOutPipe* pipe) {
  TransferDescriptor* d = TakeFreeDescriptor(pipe);
  return d ? d : NewTransferDescriptor();
}

void InitDescriptor(BulkOutPipe* pipe, TransferDescriptor* d, RequestSlot* slot,
                    const UCHAR* data, ULONG length, bool with_header, UCHAR priority) {
  d->DataStart = data;
  d->HeaderLength = with_header ? kHeaderBytes : 0;
  d->Current = with_header ? d->Header : data;
  d->DataLength = length;
  d->Remaining = with_header ? kHeaderBytes : length;
  d->HeaderBytesDone = 0;
  d->DataBytesDone = 0;
  d->Sequence = static_cast<ULONG>(
      InterlockedIncrement(reinterpret_cast<volatile LONG*>(&pipe->SequenceCounter)));
  d->SliceCompletion = CompleteRequestSlice;
  d->Slot = slot;
  d->RequestId = slot->RequestId;
  d->Priority = priority;
}

// Appends every descriptor of |list| (linked by QueueLink) to its queue in one step, so the
// slices of one request stand in their queue in order and none is visible before all exist.
void EnqueueList(BulkOutPipe* pipe, LIST_ENTRY* list) {
  KIRQL irql;
  KeAcquireSpinLock(&pipe->QueueLock, &irql);
  while (!IsListEmpty(list)) {
    auto* d = CONTAINING_RECORD(RemoveHeadList(list), TransferDescriptor, QueueLink);
    UCHAR q = d->Priority < kPriorityQueueCount ? d->Priority : kPriorityQueueCount - 1;
    InsertTailList(&pipe->Queues[q], &d->QueueLink);
    ++pipe->QueueCounts[q];
  }
  KeReleaseSpinLock(&pipe->QueueLock, irql);
}

void ReleaseList(BulkOutPipe* pipe, LIST_ENTRY* list) {
  while (!IsListEmpty(list))
    ReleaseDescriptor(pipe, CONTAINING_RECORD(RemoveHeadList(list), TransferDescriptor, QueueLink));
}

NTSTATUS WriteWithHeader(BulkOutPipe* pipe, const UCHAR* header, const void* data, ULONG length,
                         ULONG* request_id, WriteCompletion completion, PVOID context, IRP* irp) {
  ULONG type = HeaderType(header);
  ULONG slice_size = 0;
  UCHAR priority = 0;
  RequestSlot* slot = AllocateRequestSlot(pipe, type, &slice_size, &priority);
  if (!slot) return STATUS_INSUFFICIENT_RESOURCES;
  FillSlot(pipe, slot, header, kHeaderBytes, data, length, completion, context, irp);
  const bool two_plane = type == protocol::ToWire(protocol::BusMessageType::TwoPlane);
  const ULONG total = HeaderTotal(header);
  if (two_plane) StoreUlong(pipe->Type7WriteRemainder, total > length ? total - length : 0);

  // Every slice gets its descriptor before any is queued: a request either goes out whole or
  // fails here without a byte queued.
  LIST_ENTRY slices;
  InitializeListHead(&slices);
  const auto* bytes = static_cast<const UCHAR*>(data);
  ULONG offset = protocol::LoadLe32(header + kSliceOffsetOffset);
  const ULONG end = offset + length;
  ULONG remaining = length;
  while (remaining) {
    ULONG piece = remaining < slice_size ? remaining : slice_size;
    TransferDescriptor* d = GetDescriptor(pipe);
    if (!d) {
      ReleaseList(pipe, &slices);
      if (two_plane) StoreUlong(pipe->Type7WriteRemainder, 0);
      StoreByte(slot->Busy, kSlotFree);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(d->Header, slot->Header, kHeaderBytes);
    if (!two_plane) {
      protocol::StoreLe32(d->Header + kSliceLengthOffset, piece);
      protocol::StoreLe32(d->Header + kSliceOffsetOffset, offset);
      d->Header[kMoreSlicesOffset] = (total != end || piece != remaining) ? 1 : 0;
    }
    InitDescriptor(pipe, d, slot, bytes, piece, true, priority);
    InsertTailList(&slices, &d->QueueLink);
    offset += piece;
    bytes += piece;
    remaining -= piece;
  }
  *request_id = slot->RequestId;
  ActivateSlot(pipe, slot);
  EnqueueList(pipe, &slices);
  return STATUS_PENDING;
}

// Continuation data: part of the open two-plane message while its remainder lasts, otherwise
// display data; one descriptor, never sliced.
NTSTATUS WriteHeaderless(BulkOutPipe* pipe, const void* data, ULONG length, ULONG* request_id,
                         WriteCompletion completion, PVOID context, IRP* irp) {
  const bool two_plane = LoadUlong(pipe->Type7WriteRemainder) != 0;
  ULONG type = two_plane ? protocol::ToWire(protocol::BusMessageType::TwoPlane)
                         : protocol::ToWire(protocol::BusMessageType::Display);
  ULONG slice_size = 0;
  UCHAR priority = 0;
  RequestSlot* slot = AllocateRequestSlot(pipe, type, &slice_size, &priority);
  if (!slot) {
    StoreUlong(pipe->Type7WriteRemainder, 0);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  TransferDescriptor* d = GetDescriptor(pipe);
  if (!d) {
    StoreByte(slot->Busy, kSlotFree);
    StoreUlong(pipe->Type7WriteRemainder, 0);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (two_plane) SubtractClamped(pipe->Type7WriteRemainder, length);
  UCHAR header[kHeaderBytes] = {};
  protocol::StoreLe32(header + 0, type);
  protocol::StoreLe32(header + 4, length);
  protocol::StoreLe32(header + kSliceLengthOffset, length);
  FillSlot(pipe, slot, header, 0, data, length, completion, context, irp);
  std::memcpy(d->Header, header, kHeaderBytes);
  InitDescriptor(pipe, d, slot, static_cast<const UCHAR*>(data), length, false, priority);
  *request_id = slot->RequestId;
  ActivateSlot(pipe, slot);
  LIST_ENTRY one;
  InitializeListHead(&one);
  InsertTailList(&one, &d->QueueLink);
  EnqueueList(pipe, &one);
  return STATUS_PENDING;
}

struct WriteWait {
  KEVENT Done;
  ULONG HeaderBytes;
  ULONG DataBytes;
  NTSTATUS Status;
  ULONG UsbdStatus;
};

void SignalWriteDone(PVOID context, IRP*, ULONG, ULONG header_bytes, ULONG data_bytes,
                     NTSTATUS status, ULONG usbd_status) {
  auto* wait = static_cast<WriteWait*>(context);
  wait->HeaderBytes = header_bytes;
  wait->DataBytes = data_bytes;
  wait->Status = status;
  wait->UsbdStatus = usbd_status;
  KeSetEvent(&wait->Done, 0, FALSE);
}

}  // namespace

TransferDescriptor* TakeFreeDescriptor(BulkOutPipe* pipe) {
  TransferDescriptor* d = nullptr;
  KIRQL irql;
  KeAcquireSpinLock(&pipe->QueueLock, &irql);
  if (!IsListEmpty(&pipe->FreeDescriptors))
    d = CONTAINING_RECORD(RemoveHeadList(&pipe->FreeDescriptors), TransferDescriptor, FreeLink);
  KeReleaseSpinLock(&pipe->QueueLock, irql);
  return d;
}

TransferDescriptor* NewTransferDescriptor() {
  return static_cast<TransferDescriptor*>(
      AllocatePool(NonPagedPoolNx, sizeof(TransferDescriptor), kTagDescriptor));
}

void ReleaseDescriptor(BulkOutPipe* pipe, TransferDescriptor* d) {
  d->Slot = nullptr;
  d->SliceCompletion = nullptr;
  KIRQL irql;
  KeAcquireSpinLock(&pipe->QueueLock, &irql);
  InsertTailList(&pipe->FreeDescriptors, &d->FreeLink);
  KeReleaseSpinLock(&pipe->QueueLock, irql);
}

void EnqueueDescriptor(BulkOutPipe* pipe, TransferDescriptor* d) {
  LIST_ENTRY one;
  InitializeListHead(&one);
  InsertTailList(&one, &d->QueueLink);
  EnqueueList(pipe, &one);
}

void RequeueAtHead(BulkOutPipe* pipe, TransferDescriptor* d) {
  UCHAR q = d->Priority < kPriorityQueueCount ? d->Priority : kPriorityQueueCount - 1;
  KIRQL irql;
  KeAcquireSpinLock(&pipe->QueueLock, &irql);
  InsertHeadList(&pipe->Queues[q], &d->QueueLink);
  ++pipe->QueueCounts[q];
  KeReleaseSpinLock(&pipe->QueueLock, irql);
}

void DropQueuedDescriptors(BulkOutPipe* pipe) {
  KIRQL irql;
  KeAcquireSpinLock(&pipe->QueueLock, &irql);
  for (ULONG q = 0; q < kPriorityQueueCount; ++q) {
    while (!IsListEmpty(&pipe->Queues[q])) {
      auto* d = CONTAINING_RECORD(RemoveHeadList(&pipe->Queues[q]), TransferDescriptor, QueueLink);
      --pipe->QueueCounts[q];
      d->Slot = nullptr;
      d->SliceCompletion = nullptr;
      InsertTailList(&pipe->FreeDescriptors, &d->FreeLink);
    }
  }
  KeReleaseSpinLock(&pipe->QueueLock, irql);
}

void CompleteRequestSlice(BulkOutPipe* pipe, RequestSlot* slot, ULONG request_id, ULONG,
                          ULONG header_bytes, ULONG data_bytes, NTSTATUS status,
                          ULONG usbd_status) {
  WriteCompletion routine = nullptr;
  PVOID context = nullptr;
  IRP* irp = nullptr;
  ULONG done = 0;
  KIRQL irql;
  KeAcquireSpinLock(&pipe->RequestLock, &irql);
  if (LoadByte(slot->Busy) == kSlotActive && slot->RequestId == request_id) {
    slot->InFlight = 0;
    slot->DataBytesDone += data_bytes;
    const bool failed = status < 0 || static_cast<LONG>(usbd_status) < 0;
    const bool all_sent = slot->DataBytesDone >= slot->DataLength;
    if (!failed && !all_sent && slot->Cancelled) {
      // Flushed while this slice was on the wire: the rest of it is dropped.
      status = STATUS_CANCELLED;
      usbd_status = static_cast<ULONG>(USBD_STATUS_CANCELED);
    }
    if (failed || all_sent || slot->Cancelled) {
      routine = slot->Completion;
      slot->Completion = nullptr;
      context = slot->CompletionContext;
      irp = slot->ProducerIrp;
      done = slot->DataBytesDone;
      slot->Cancelled = 0;
      StoreByte(slot->Busy, kSlotFree);
    }
  }
  KeReleaseSpinLock(&pipe->RequestLock, irql);
  if (routine) routine(context, irp, request_id, header_bytes, done, status, usbd_status);
}

bool DispatchCheck(BulkOutPipe* pipe, TransferDescriptor* d) {
  RequestSlot* slot = d->Slot;
  KIRQL irql;
  KeAcquireSpinLock(&pipe->RequestLock, &irql);
  bool open = slot && LoadByte(slot->Busy) == kSlotActive && slot->RequestId == d->RequestId &&
              !slot->Cancelled;
  if (open) slot->InFlight = 1;
  KeReleaseSpinLock(&pipe->RequestLock, irql);
  return open;
}

NTSTATUS WriteAsync(PVOID object, const protocol::BusMessageHeader* header, ULONG header_length,
                    const void* data, ULONG length, ULONG* request_id, WriteCompletion completion,
                    PVOID context, IRP* irp) {
  auto* pipe = static_cast<BulkOutPipe*>(object);
  if (!pipe) return STATUS_INVALID_PARAMETER;
  NTSTATUS status;
  ULONG id = 0;
  if (ReadFlag(pipe->Station->DeviceGone)) {
    status = STATUS_NO_SUCH_DEVICE;
  } else if (header && header_length) {
    if (!data || !length || header_length != kHeaderBytes) {
      status = STATUS_INVALID_PARAMETER;
    } else {
      UCHAR bytes[kHeaderBytes];
      std::memcpy(bytes, header, kHeaderBytes);
      status = WriteWithHeader(pipe, bytes, data, length, &id, completion, context, irp);
    }
  } else if (!data || !length) {
    // Nothing to send would never complete.
    status = STATUS_INVALID_PARAMETER;
  } else {
    status = WriteHeaderless(pipe, data, length, &id, completion, context, irp);
  }
  if (status == STATUS_PENDING && request_id) *request_id = id;
  KeSetEvent(&pipe->DispatcherKickEvent, 0, FALSE);
  return status;
}

NTSTATUS WriteAndWait(PVOID object, const protocol::BusMessageHeader* header,
                      ULONG header_length, ULONG* header_bytes, const void* data, ULONG length,
                      ULONG* data_bytes, PVOID, ULONG* usbd_status) {
  ULONG ignored = 0;
  if (!usbd_status) usbd_status = &ignored;
  auto* pipe = static_cast<BulkOutPipe*>(object);
  if (!pipe) {
    *usbd_status = static_cast<ULONG>(USBD_STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  if (ReadFlag(pipe->Station->DeviceGone)) {
    *usbd_status = static_cast<ULONG>(USBD_STATUS_DEVICE_GONE);
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  WriteWait wait{};
  KeInitializeEvent(&wait.Done, NotificationEvent, FALSE);
  ULONG id = 0;
  NTSTATUS status =
      WriteAsync(pipe, header, header_length, data, length, &id, SignalWriteDone, &wait, nullptr);
  if (status != STATUS_PENDING) {
    *usbd_status = static_cast<ULONG>(USBD_STATUS_DATA_BUFFER_ERROR);
    return status;
  }
  KeWaitForSingleObject(&wait.Done, Executive, KernelMode, FALSE, nullptr);
  if (header_bytes) *header_bytes = wait.HeaderBytes;
  if (data_bytes) *data_bytes = wait.DataBytes;
  *usbd_status = wait.UsbdStatus;
  return wait.Status;
}

namespace {

// Withdraws the requests of |channel| (all of them, or only the one of |request_id|): their
// queued slices leave the queues first, so none of them is sent once its request has been
// reported; then each is reported cancelled, except one whose slice is on the wire: that one
// is reported when its transfer has ended and no longer reads its data. Whether any request
// was still open.
bool Withdraw(BulkOutPipe* pipe, ULONG channel, bool all, ULONG request_id) {
  auto chosen = [&](ULONG id) { return all || id == request_id; };
  bool found = false;
  KIRQL irql;
  KeAcquireSpinLock(&pipe->QueueLock, &irql);
  for (ULONG q = 0; q < kPriorityQueueCount; ++q) {
    LIST_ENTRY* e = pipe->Queues[q].Flink;
    while (e != &pipe->Queues[q]) {
      LIST_ENTRY* next = e->Flink;
      auto* d = CONTAINING_RECORD(e, TransferDescriptor, QueueLink);
      if (ChannelOf(d) == channel && chosen(d->RequestId)) {
        RemoveEntryList(e);
        --pipe->QueueCounts[q];
        d->Slot = nullptr;
        d->SliceCompletion = nullptr;
        InsertTailList(&pipe->FreeDescriptors, &d->FreeLink);
      }
      e = next;
    }
  }
  KeReleaseSpinLock(&pipe->QueueLock, irql);

  for (RequestSlot& slot : pipe->Channels[channel].Slots) {
    if (LoadByte(slot.Busy) != kSlotActive) continue;
    WriteCompletion routine = nullptr;
    PVOID context = nullptr;
    IRP* irp = nullptr;
    ULONG id = 0, done = 0;
    KeAcquireSpinLock(&pipe->RequestLock, &irql);
    if (LoadByte(slot.Busy) == kSlotActive && chosen(slot.RequestId)) {
      found = true;
      if (slot.InFlight) {
        slot.Cancelled = 1;
      } else {
        routine = slot.Completion;
        slot.Completion = nullptr;
        context = slot.CompletionContext;
        irp = slot.ProducerIrp;
        id = slot.RequestId;
        done = slot.DataBytesDone;
        StoreByte(slot.Busy, kSlotFree);
      }
    }
    KeReleaseSpinLock(&pipe->RequestLock, irql);
    if (routine)
      routine(context, irp, id, 0, done, STATUS_CANCELLED, static_cast<ULONG>(USBD_STATUS_CANCELED));
  }
  return found;
}

// A piece of a withdrawn request on the wire ends only with its transfer, and a chip that
// never answers would hold the producer (its cancel, its stop, the station's removal) for
// ever: the transfer is cancelled, and its completion then reports the request cancelled.
void CancelOnWire(BulkOutPipe* pipe, ULONG channel, bool all, ULONG request_id) {
  KIRQL irql;
  KeAcquireSpinLock(&pipe->DispatchLock, &irql);
  for (TransferContext& ctx : pipe->Contexts)
    if (__atomic_load_n(&ctx.Phase, __ATOMIC_SEQ_CST) != kPhaseIdle && ctx.Channel == channel &&
        (all || ctx.RequestId == request_id))
      IoCancelIrp(ctx.Irp);
  KeReleaseSpinLock(&pipe->DispatchLock, irql);
}

}  // namespace

void FlushChannel(PVOID object, ULONG channel) {
  auto* pipe = static_cast<BulkOutPipe*>(object);
  if (!pipe || !protocol::IsBusChannel(channel)) return;
  if (channel == kTwoPlaneChannel) ResetType7(pipe);
  Withdraw(pipe, channel, true, 0);
  CancelOnWire(pipe, channel, true, 0);
}

void WithdrawRequest(PVOID object, ULONG channel, ULONG request_id) {
  auto* pipe = static_cast<BulkOutPipe*>(object);
  if (!pipe || !protocol::IsBusChannel(channel) || request_id == 0) return;
  // A two-plane message given up on: the pipe no longer waits for the rest of it. A request
  // that has ended leaves the message that may follow it alone.
  if (Withdraw(pipe, channel, false, request_id) && channel == kTwoPlaneChannel) ResetType7(pipe);
  CancelOnWire(pipe, channel, false, request_id);
}

}  // namespace vorn::station::bulk_out
