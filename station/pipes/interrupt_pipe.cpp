// The interrupt-IN pipe: one 64-byte read kept outstanding as a chain of completions (the
// 1 ms tick starts it again after an error), the station's own share of every packet acted on
// at once (user events in NS mode, bulk-IN credits, the jack state, the end of a panel save),
// and the packets kept per channel for the requests that wait on it: channel 0 for the display
// child, channel 5 for the ROM update. Waiters and kept packets are matched one to one, first
// in, first out, after every packet and on every tick.
//
// Lifetime: ReadBusy stays set from the start of a read to the end of its completion, and
// Pairing counts the ticks that pair outside a read. Whoever ends either signals
// ReadIdleEvent under ReadLock as its last touch of the pipe, so disabling, which waits until
// both are clear, never frees what a completion or a tick still uses. Nothing is called down
// and no callback is called with a pipe lock held: the layer below may complete inline.
#include "station/pipes/interrupt_pipe.h"

#include <cstddef>
#include <cstring>

#include "protocol/byte_order.h"
#include "protocol/interrupt_packet.h"
#include "station/kernel_utils.h"
#include "station/pipes/device_gone.h"
#include "station/station_extension.h"

namespace vorn::station {
namespace {

constexpr ULONG kTagInterruptPipe = PoolTag("epii");
constexpr ULONG kTagInterruptJob = PoolTag("QJob");
constexpr ULONG kUrbBlockBytes = 152;
constexpr ULONG kPacketBytes = protocol::kIntInPacketSize;
constexpr ULONG kDisplayChannel = 0;
constexpr ULONG kSystemChannel = 5;
constexpr ULONG kReadFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

enum JobKind : ULONG { kReceived = 0, kWaiting = 1 };
constexpr ULONG kJobKinds = 2;

struct InterruptJob {
  LIST_ENTRY Links;
  ULONG Channel;
  ULONG Kind;
  union {
    UCHAR Packet[kPacketBytes];  // kReceived
    struct {                     // kWaiting
      PVOID Buffer;
      ULONG RequestId;
      InterruptMessageCallback Callback;  // taken by exchange: called at most once
      PVOID Context;
      PVOID Data;
    } Wait;
  };
};

struct InterruptJobList {
  KSPIN_LOCK ListLock;
  LIST_ENTRY Free;
  LIST_ENTRY Pending;
  ULONG Channel;
  ULONG Kind;
  LONG PendingCount;
};

struct InterruptPipe {
  StationExtension* Station;
  USBD_PIPE_INFORMATION PipeInfo;
  IRP* Irp;
  URB* Urb;
  KMUTEX Mutex;
  KSPIN_LOCK ReadLock;
  KEVENT ReadIdleEvent;
  InterruptJobList Lists[kChannelCount][kJobKinds];
  UCHAR Buffer[kPacketBytes];
  ULONG RequestIdCounter;
  UCHAR Enabled;
  UCHAR ReadBusy;
  LONG Pairing;        // ticks pairing outside a read (under ReadLock)
  KSPIN_LOCK PairLock;  // one pairing takes its waiter and its packet at a time
  InterruptPipeCounters Counters;
};

InterruptPipe* Pipe(PVOID object) { return static_cast<InterruptPipe*>(object); }

void Count(ULONG& counter) {
  __atomic_add_fetch(&counter, 1, __ATOMIC_RELAXED);
}

// Job lists. Each operation holds the list's own lock only for the list change.

InterruptJob* AllocateInterruptJob(InterruptJobList* list) {
  auto* job = static_cast<InterruptJob*>(
      AllocatePool(NonPagedPoolNx, sizeof(InterruptJob), kTagInterruptJob));
  if (job) {
    job->Channel = list->Channel;
    job->Kind = list->Kind;
  }
  return job;
}

InterruptJob* TakeFreeJob(InterruptJobList* list) {
  KIRQL irql;
  KeAcquireSpinLock(&list->ListLock, &irql);
  InterruptJob* job = nullptr;
  if (!IsListEmpty(&list->Free))
    job = CONTAINING_RECORD(RemoveHeadList(&list->Free), InterruptJob, Links);
  KeReleaseSpinLock(&list->ListLock, irql);
  return job;
}

InterruptJob* TakeQueuedJob(InterruptJobList* list) {
  KIRQL irql;
  KeAcquireSpinLock(&list->ListLock, &irql);
  InterruptJob* job = nullptr;
  if (!IsListEmpty(&list->Pending)) {
    job = CONTAINING_RECORD(RemoveHeadList(&list->Pending), InterruptJob, Links);
    InterlockedDecrement(&list->PendingCount);
  }
  KeReleaseSpinLock(&list->ListLock, irql);
  return job;
}

void ReturnJob(InterruptJobList* list, InterruptJob* job) {
  KIRQL irql;
  KeAcquireSpinLock(&list->ListLock, &irql);
  InsertTailList(&list->Free, &job->Links);
  KeReleaseSpinLock(&list->ListLock, irql);
}

void QueueJob(InterruptJobList* list, InterruptJob* job) {
  KIRQL irql;
  KeAcquireSpinLock(&list->ListLock, &irql);
  InsertTailList(&list->Pending, &job->Links);
  InterlockedIncrement(&list->PendingCount);
  KeReleaseSpinLock(&list->ListLock, irql);
}

void RequeueJob(InterruptJobList* list, InterruptJob* job) {
  KIRQL irql;
  KeAcquireSpinLock(&list->ListLock, &irql);
  InsertHeadList(&list->Pending, &job->Links);
  InterlockedIncrement(&list->PendingCount);
  KeReleaseSpinLock(&list->ListLock, irql);
}

bool ListEmpty(InterruptJobList* list) {
  KIRQL irql;
  KeAcquireSpinLock(&list->ListLock, &irql);
  bool empty = IsListEmpty(&list->Pending);
  KeReleaseSpinLock(&list->ListLock, irql);
  return empty;
}

// Frees every job of the list, queued or free. Queued waiters must have been flushed.
void FreeJobs(InterruptJobList* list) {
  LIST_ENTRY jobs;
  InitializeListHead(&jobs);
  KIRQL irql;
  KeAcquireSpinLock(&list->ListLock, &irql);
  while (!IsListEmpty(&list->Pending)) {
    InsertTailList(&jobs, RemoveHeadList(&list->Pending));
    InterlockedDecrement(&list->PendingCount);
  }
  while (!IsListEmpty(&list->Free)) InsertTailList(&jobs, RemoveHeadList(&list->Free));
  KeReleaseSpinLock(&list->ListLock, irql);
  while (!IsListEmpty(&jobs))
    ExFreePoolWithTag(CONTAINING_RECORD(RemoveHeadList(&jobs), InterruptJob, Links),
                      kTagInterruptJob);
}

// Keeps |packet| for |channel|. A full channel gives its oldest packet's job to the new one.
NTSTATUS QueueInterruptMessage(InterruptPipe* pipe, ULONG channel, const UCHAR* packet) {
  InterruptJobList* list = &pipe->Lists[channel][kReceived];
  KIRQL irql;
  KeAcquireSpinLock(&list->ListLock, &irql);
  if (list->PendingCount >= kMaxHeldInterruptPackets && !IsListEmpty(&list->Pending)) {
    auto* oldest = CONTAINING_RECORD(RemoveHeadList(&list->Pending), InterruptJob, Links);
    std::memcpy(oldest->Packet, packet, kPacketBytes);
    InsertTailList(&list->Pending, &oldest->Links);
    KeReleaseSpinLock(&list->ListLock, irql);
    Count(pipe->Counters.DroppedPackets);
    return STATUS_SUCCESS;
  }
  KeReleaseSpinLock(&list->ListLock, irql);
  InterruptJob* job = TakeFreeJob(list);
  if (!job) job = AllocateInterruptJob(list);
  if (!job) {
    Count(pipe->Counters.LostPackets);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  std::memcpy(job->Packet, packet, kPacketBytes);
  QueueJob(list, job);
  return STATUS_SUCCESS;
}

NTSTATUS QueueInterruptWaiter(InterruptPipe* pipe, ULONG channel, PVOID buffer,
                              ULONG* request_id, InterruptMessageCallback callback,
                              PVOID context, PVOID data) {
  InterruptJobList* list = &pipe->Lists[channel][kWaiting];
  InterruptJob* job = TakeFreeJob(list);
  if (!job) job = AllocateInterruptJob(list);
  if (!job) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG id = static_cast<ULONG>(
      InterlockedIncrement(reinterpret_cast<volatile LONG*>(&pipe->RequestIdCounter)));
  job->Wait.Buffer = buffer;
  job->Wait.RequestId = id;
  job->Wait.Callback = callback;
  job->Wait.Context = context;
  job->Wait.Data = data;
  if (request_id) *request_id = id;  // before the job is visible to a pairing
  QueueJob(list, job);
  return STATUS_SUCCESS;
}

// One match on |channel|: the oldest waiter gets the oldest kept packet.
bool PairChannel(InterruptPipe* pipe, ULONG channel) {
  InterruptJobList* waiting = &pipe->Lists[channel][kWaiting];
  InterruptJobList* received = &pipe->Lists[channel][kReceived];
  if (ListEmpty(waiting) || ListEmpty(received)) return false;
  KIRQL irql;
  KeAcquireSpinLock(&pipe->PairLock, &irql);
  InterruptJob* waiter = TakeQueuedJob(waiting);
  InterruptJob* packet = TakeQueuedJob(received);
  if (!waiter || !packet) {
    if (waiter) RequeueJob(waiting, waiter);
    if (packet) RequeueJob(received, packet);
    KeReleaseSpinLock(&pipe->PairLock, irql);
    return false;
  }
  std::memcpy(waiter->Wait.Buffer, packet->Packet, kPacketBytes);
  auto callback = __atomic_exchange_n(&waiter->Wait.Callback, nullptr, __ATOMIC_SEQ_CST);
  PVOID context = waiter->Wait.Context;
  PVOID data = waiter->Wait.Data;
  ULONG id = waiter->Wait.RequestId;
  KeReleaseSpinLock(&pipe->PairLock, irql);
  ReturnJob(received, packet);
  ReturnJob(waiting, waiter);
  if (callback) callback(context, data, id, kPacketBytes, 0, STATUS_SUCCESS, 0);
  return true;
}

void PairAllChannels(InterruptPipe* pipe) {
  for (ULONG channel = 0; channel < kChannelCount; ++channel) PairChannel(pipe, channel);
}

void FlushChannel(PVOID object, ULONG channel) {
  InterruptPipe* pipe = Pipe(object);
  if (!pipe || channel >= kChannelCount) return;
  InterruptJobList* list = &pipe->Lists[channel][kWaiting];
  // The waiters of the moment are detached at once, so a callback that waits again is not
  // flushed by this call; they are then completed in queue order with no lock held.
  LIST_ENTRY flushed;
  InitializeListHead(&flushed);
  KIRQL irql;
  KeAcquireSpinLock(&list->ListLock, &irql);
  while (!IsListEmpty(&list->Pending)) {
    InsertTailList(&flushed, RemoveHeadList(&list->Pending));
    InterlockedDecrement(&list->PendingCount);
  }
  KeReleaseSpinLock(&list->ListLock, irql);
  while (!IsListEmpty(&flushed)) {
    auto* job = CONTAINING_RECORD(RemoveHeadList(&flushed), InterruptJob, Links);
    auto callback = __atomic_exchange_n(&job->Wait.Callback, nullptr, __ATOMIC_SEQ_CST);
    PVOID context = job->Wait.Context;
    PVOID data = job->Wait.Data;
    ULONG id = job->Wait.RequestId;
    ReturnJob(list, job);
    if (callback)
      callback(context, data, id, 0, 0, STATUS_CANCELLED, static_cast<ULONG>(USBD_STATUS_CANCELED));
  }
}

// The station's share of a packet, then the packet kept for its channels.
void ParseInterruptMessage(InterruptPipe* pipe, const UCHAR* packet) {
  StationExtension* station = pipe->Station;
  const UCHAR flags = packet[offsetof(protocol::INT_IN_PACKET, PacketFlags)];
  bool kept_display = false;
  if (flags & protocol::kPacketFlagDisplay) {
    if (ReadFlag(station->NsMode)) {
      const UCHAR events = packet[offsetof(protocol::INT_IN_PACKET, EventBits)];
      if (events & protocol::kEventMonitorStatus0) WriteFlag(station->UserEvents[0].Pending, 1);
      if (events & protocol::kEventMonitorStatus1) WriteFlag(station->UserEvents[1].Pending, 1);
      if (events & (protocol::kEventMonitorStatus0 | protocol::kEventMonitorStatus1))
        KeSetEvent(&station->WorkerKickEvent, 0, FALSE);
    }
    kept_display = NT_SUCCESS(QueueInterruptMessage(pipe, kDisplayChannel, packet));
  }
  if (flags & protocol::kPacketFlagStatusValid) {
    const ULONG status_word =
        protocol::LoadLe32(packet + offsetof(protocol::INT_IN_PACKET, StatusWord));
    if (status_word & protocol::kStatusBulkInWaiting) {
      const PipeOps& bulk_in = station->Pipes[kBulkInPipe];
      if (bulk_in.Object && bulk_in.AddReadCredits) bulk_in.AddReadCredits(bulk_in.Object, 1);
    }
    const UCHAR jack = protocol::JackStateOfStatusWord(status_word);
    if (ReadFlag(station->JackState) != jack) WriteFlag(station->JackState, jack);
  }
  if (flags & protocol::kPacketFlagSystem) {
    if (packet[offsetof(protocol::INT_IN_PACKET, RomStatus)] ==
        protocol::kRomStatusPanelSaveDone) {
      KeClearEvent(&station->PanelBusyEvent);
    } else if (NT_SUCCESS(QueueInterruptMessage(pipe, kSystemChannel, packet))) {
      PairAllChannels(pipe);
      return;
    }
  }
  if (kept_display) PairAllChannels(pipe);
}

// Ends the read chain. The last touch of the pipe by the completion.
void EndRead(InterruptPipe* pipe) {
  KIRQL irql;
  KeAcquireSpinLock(&pipe->ReadLock, &irql);
  pipe->ReadBusy = 0;
  if (pipe->Pairing == 0) KeSetEvent(&pipe->ReadIdleEvent, 0, FALSE);
  KeReleaseSpinLock(&pipe->ReadLock, irql);
}

NTSTATUS InterruptReadCompletion(DEVICE_OBJECT*, IRP* irp, PVOID context);

// Fills the URB for a 64-byte read into the receive buffer and points the IRP's next
// location at it. Under ReadLock.
void BuildRead(InterruptPipe* pipe) {
  auto& r = pipe->Urb->UrbBulkOrInterruptTransfer;
  std::memset(&r, 0, sizeof r);
  r.Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
  r.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  r.PipeHandle = pipe->PipeInfo.PipeHandle;
  r.TransferFlags = kReadFlags;
  r.TransferBufferLength = kPacketBytes;
  r.TransferBuffer = pipe->Buffer;
  IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(pipe->Irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = pipe->Urb;
  IoSetCompletionRoutine(pipe->Irp, InterruptReadCompletion, pipe, TRUE, TRUE, TRUE);
}

NTSTATUS InterruptReadCompletion(DEVICE_OBJECT*, IRP* irp, PVOID context) {
  InterruptPipe* pipe = Pipe(context);
  StationExtension* station = pipe->Station;
  const auto& r = pipe->Urb->UrbBulkOrInterruptTransfer;
  const NTSTATUS status = irp->IoStatus.Status;
  if (!NT_SUCCESS(status) || r.Hdr.Status < 0) {
    // Not parsed and not retried here: the tick starts the next read.
    ApplyDeviceGoneRule(station, DeviceGoneForm::kInterrupt, status, r.Hdr.Status);
    EndRead(pipe);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  // Only a whole packet is one: a short read would leave bytes of the last packet behind.
  if (r.TransferBufferLength == kPacketBytes) {
    ParseInterruptMessage(pipe, pipe->Buffer);
    Count(pipe->Counters.Packets);  // once the packet has had its effects
  } else {
    Count(pipe->Counters.ShortReads);
  }
  PairAllChannels(pipe);

  KIRQL irql;
  KeAcquireSpinLock(&pipe->ReadLock, &irql);
  if (ReadFlag(station->DeviceGone) || !ReadFlag(pipe->Enabled)) {
    pipe->ReadBusy = 0;
    if (pipe->Pairing == 0) KeSetEvent(&pipe->ReadIdleEvent, 0, FALSE);
    KeReleaseSpinLock(&pipe->ReadLock, irql);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  BuildRead(pipe);  // the same IRP, the same buffer, not zeroed
  KeReleaseSpinLock(&pipe->ReadLock, irql);
  IoCallDriver(station->LowerDeviceObject, irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void KickInterruptPipe(PVOID object) {
  InterruptPipe* pipe = Pipe(object);
  StationExtension* station = pipe->Station;
  if (ReadFlag(station->DeviceGone) || !ReadFlag(pipe->Enabled)) return;

  // Kept packets meet waiters that came after the last packet, without waiting for the next.
  KIRQL irql;
  KeAcquireSpinLock(&pipe->ReadLock, &irql);
  const bool pair = ReadFlag(pipe->Enabled) != 0;
  if (pair) ++pipe->Pairing;
  KeReleaseSpinLock(&pipe->ReadLock, irql);
  if (!pair) return;
  PairAllChannels(pipe);

  KeAcquireSpinLock(&pipe->ReadLock, &irql);
  --pipe->Pairing;
  const bool start =
      !pipe->ReadBusy && ReadFlag(pipe->Enabled) && !ReadFlag(station->DeviceGone);
  if (start) {
    pipe->ReadBusy = 1;
    IoReuseIrp(pipe->Irp, STATUS_SUCCESS);
    std::memset(pipe->Urb, 0, kUrbBlockBytes);
    std::memset(pipe->Buffer, 0, sizeof pipe->Buffer);
    BuildRead(pipe);
    KeResetEvent(&pipe->ReadIdleEvent);
  } else if (pipe->Pairing == 0 && !pipe->ReadBusy) {
    KeSetEvent(&pipe->ReadIdleEvent, 0, FALSE);
  }
  KeReleaseSpinLock(&pipe->ReadLock, irql);
  // The completion routine runs for every outcome, a failure returned here included, and
  // ends the chain itself.
  if (start) IoCallDriver(station->LowerDeviceObject, pipe->Irp);
}

NTSTATUS WaitInterruptMessage(PVOID object, ULONG channel, PVOID buffer, ULONG length,
                              ULONG* request_id, InterruptMessageCallback callback,
                              PVOID context, PVOID data) {
  InterruptPipe* pipe = Pipe(object);
  if (!pipe || !buffer || length != kPacketBytes || channel >= kChannelCount)
    return STATUS_INVALID_PARAMETER;
  StationExtension* station = pipe->Station;
  if (ReadFlag(station->DeviceGone)) return STATUS_DEVICE_NOT_CONNECTED;
  if (__atomic_load_n(&station->FdoState, __ATOMIC_SEQ_CST) != kFdoStarted)
    return STATUS_INVALID_DEVICE_STATE;
  // Served by the next pairing: after the next packet, or at the next tick.
  return QueueInterruptWaiter(pipe, channel, buffer, request_id, callback, context, data);
}

// Every waiter completed with STATUS_CANCELLED, every job freed.
void DrainJobs(InterruptPipe* pipe) {
  for (ULONG channel = 0; channel < kChannelCount; ++channel) {
    FlushChannel(pipe, channel);
    for (InterruptJobList& list : pipe->Lists[channel]) FreeJobs(&list);
  }
}

void EnableInterruptPipe(PVOID object, UCHAR on) {
  InterruptPipe* pipe = Pipe(object);
  on = on ? 1 : 0;
  KeWaitForSingleObject(&pipe->Mutex, Executive, KernelMode, FALSE, nullptr);
  if (on != ReadFlag(pipe->Enabled)) {
    KIRQL irql;
    KeAcquireSpinLock(&pipe->ReadLock, &irql);
    WriteFlag(pipe->Enabled, on);
    const bool busy = pipe->ReadBusy != 0;
    KeReleaseSpinLock(&pipe->ReadLock, irql);
    if (!on) {
      // Cancelled after the lock: an inline completion takes it.
      if (busy) IoCancelIrp(pipe->Irp);
      for (;;) {
        KeAcquireSpinLock(&pipe->ReadLock, &irql);
        const bool idle = !pipe->ReadBusy && pipe->Pairing == 0;
        KeReleaseSpinLock(&pipe->ReadLock, irql);
        if (idle) break;
        KeWaitForSingleObject(&pipe->ReadIdleEvent, Executive, KernelMode, FALSE, nullptr);
      }
      DrainJobs(pipe);  // kept packets are discarded
    }
    // On: the next tick starts the read.
  }
  KeReleaseMutex(&pipe->Mutex, FALSE);
}

void FreeInterruptPipe(InterruptPipe* pipe) {
  if (pipe->Irp) IoFreeIrp(pipe->Irp);
  if (pipe->Urb) ExFreePoolWithTag(pipe->Urb, kTagInterruptPipe);
  ExFreePoolWithTag(pipe, kTagInterruptPipe);
}

void DestroyInterruptPipe(PVOID object) {
  InterruptPipe* pipe = Pipe(object);
  EnableInterruptPipe(pipe, 0);
  DrainJobs(pipe);  // a waiter queued while the pipe was off
  FreeInterruptPipe(pipe);
}

}  // namespace

NTSTATUS QueryInterruptPipeCounters(PVOID object, InterruptPipeCounters* out) {
  InterruptPipe* pipe = Pipe(object);
  if (!pipe || !out) return STATUS_INVALID_PARAMETER;
  InterruptPipeCounters c{};
  c.Packets = __atomic_load_n(&pipe->Counters.Packets, __ATOMIC_RELAXED);
  c.ShortReads = __atomic_load_n(&pipe->Counters.ShortReads, __ATOMIC_RELAXED);
  c.DroppedPackets = __atomic_load_n(&pipe->Counters.DroppedPackets, __ATOMIC_RELAXED);
  c.LostPackets = __atomic_load_n(&pipe->Counters.LostPackets, __ATOMIC_RELAXED);
  for (ULONG i = 0; i < kChannelCount; ++i) {
    c.Held[i] = InterlockedRead(&pipe->Lists[i][kReceived].PendingCount);
    c.Waiting[i] = InterlockedRead(&pipe->Lists[i][kWaiting].PendingCount);
  }
  *out = c;
  return STATUS_SUCCESS;
}

NTSTATUS CreateInterruptPipe(StationExtension* station, PipeOps* table, ULONG table_size,
                             const USBD_PIPE_INFORMATION* info) {
  if (!station || !table || !info || table_size < sizeof(PipeOps)) return STATUS_INVALID_PARAMETER;
  *table = PipeOps{};
  auto* pipe = static_cast<InterruptPipe*>(
      AllocatePool(NonPagedPoolNx, sizeof(InterruptPipe), kTagInterruptPipe));
  if (!pipe) return STATUS_INSUFFICIENT_RESOURCES;
  pipe->Station = station;
  pipe->PipeInfo = *info;
  pipe->Urb = static_cast<URB*>(AllocatePool(NonPagedPoolNx, kUrbBlockBytes, kTagInterruptPipe));
  CCHAR stack = station->LowerDeviceObject ? station->LowerDeviceObject->StackSize : 0;
  pipe->Irp = pipe->Urb ? IoAllocateIrp(static_cast<CCHAR>(stack + 1), FALSE) : nullptr;
  if (!pipe->Irp) {
    FreeInterruptPipe(pipe);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  KeInitializeMutex(&pipe->Mutex, 0);
  KeInitializeSpinLock(&pipe->ReadLock);
  KeInitializeSpinLock(&pipe->PairLock);
  KeInitializeEvent(&pipe->ReadIdleEvent, SynchronizationEvent, TRUE);
  for (ULONG channel = 0; channel < kChannelCount; ++channel)
    for (ULONG kind = 0; kind < kJobKinds; ++kind) {
      InterruptJobList& list = pipe->Lists[channel][kind];
      KeInitializeSpinLock(&list.ListLock);
      InitializeListHead(&list.Free);
      InitializeListHead(&list.Pending);
      list.Channel = channel;
      list.Kind = kind;
    }
  table->Object = pipe;
  table->Destroy = DestroyInterruptPipe;
  table->Enable = EnableInterruptPipe;
  table->Kick = KickInterruptPipe;
  table->WaitInterruptMessage = WaitInterruptMessage;
  table->FlushChannel = FlushChannel;
  return STATUS_SUCCESS;
}

}  // namespace vorn::station
