// The bulk-IN pipe: messages from the device (captured audio, ROM read replies) read as a
// two-phase chain of transfers, a 32-byte header and then its payload in pieces of at most
// the payload buffer's size, each piece handed to the read handler of the message's channel.
// The device announces each waiting message through the interrupt pipe; a header is read only
// against a read credit, one per announced message.
//
// Lifetime: State stays non-zero from the start of a read to the end of its completion, which
// sets ReadIdleEvent under ReadLock as its last touch of the pipe, so disabling, which waits
// until State is 0, never frees what a completion still uses. Nothing is called down and no
// handler is called with a pipe lock held: the layer below may complete inline.
#include "station/pipes/bulk_in_pipe.h"

#include <algorithm>
#include <cstring>

#include "protocol/bus_message.h"
#include "protocol/byte_order.h"
#include "protocol/channels.h"
#include "station/driver_globals.h"
#include "station/kernel_utils.h"
#include "station/pipes/device_gone.h"
#include "station/registry.h"
#include "station/station_extension.h"

namespace vorn::station {
namespace {

constexpr ULONG kTagBulkInPipe = PoolTag("epbi");
constexpr ULONG kUrbBlockBytes = 152;
constexpr ULONG kHeaderBytes = protocol::kBusMessageHeaderSize;
constexpr ULONG kDefaultPayloadBytes = 0xFF000;
constexpr ULONG kReadFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
constexpr ULONG kNoChannel = protocol::kNoBusChannel;
// With BulkInByInterrupt off, each credit given is worth this many more reads.
constexpr LONG kExtraCreditsWithoutInterrupt = 2;
constexpr ULONG kCreditStep = 0x10000;
constexpr LONG kCreditLimit = 0x40000000;

enum ReadState : UCHAR { kIdle = 0, kReadingHeader = 1, kReadingPayload = 2 };

struct ReadHandler {
  ReadHandlerRoutine Routine;
  PVOID Context;
  PVOID Data;
};

struct BulkInPipe {
  StationExtension* Station;
  USBD_PIPE_INFORMATION PipeInfo;
  KMUTEX Mutex;
  KSPIN_LOCK ReadLock;
  KEVENT ReadIdleEvent;
  IRP* Irp;
  URB* Urb;
  UCHAR* Payload;
  UCHAR Header[kHeaderBytes];
  ReadHandler Handlers[kChannelCount];
  ULONG PayloadSize;
  ULONG BytesDone;  // of the current phase
  LONG Credits;
  ULONG Channel;    // of the current message
  UCHAR Enabled;
  UCHAR State;
  UCHAR BulkInByInterrupt;
  UCHAR StandaloneMic;
  ULONG TotalLength;  // of the current message
  UCHAR Dropping;     // the current message is read but handed to nobody
  KSPIN_LOCK HandlerLock;  // guards Handlers and CallingChannel
  ULONG CallingChannel;    // the channel whose handler runs now, kNoChannel when none
  BulkInPipeCounters Counters;
};

BulkInPipe* Pipe(PVOID object) { return static_cast<BulkInPipe*>(object); }

void Count(ULONG& counter) { __atomic_add_fetch(&counter, 1, __ATOMIC_RELAXED); }

// State is read whole outside ReadLock (the tick, diagnostics), so it is written whole.
void SetState(BulkInPipe* pipe, UCHAR state) { __atomic_store_n(&pipe->State, state, __ATOMIC_SEQ_CST); }
UCHAR GetState(const BulkInPipe* pipe) { return __atomic_load_n(&pipe->State, __ATOMIC_SEQ_CST); }

NTSTATUS BulkInReadCompletion(DEVICE_OBJECT*, IRP* irp, PVOID context);

// Fills the URB for a read of |length| bytes into |buffer| and points the IRP's next location
// at it. Under ReadLock.
void BuildRead(BulkInPipe* pipe, UCHAR* buffer, ULONG length) {
  auto& r = pipe->Urb->UrbBulkOrInterruptTransfer;
  std::memset(&r, 0, sizeof r);
  r.Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
  r.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  r.PipeHandle = pipe->PipeInfo.PipeHandle;
  r.TransferFlags = kReadFlags;
  r.TransferBufferLength = length;
  r.TransferBuffer = buffer;
  IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(pipe->Irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = pipe->Urb;
  IoSetCompletionRoutine(pipe->Irp, BulkInReadCompletion, pipe, TRUE, TRUE, TRUE);
}

// Takes one credit when there is one. Under ReadLock, so only the adders race with it.
bool TakeCredit(BulkInPipe* pipe) {
  if (InterlockedRead(&pipe->Credits) < 1) return false;
  InterlockedDecrement(&pipe->Credits);
  return true;
}

// Ends the read chain. The last touch of the pipe by the completion.
void EndRead(BulkInPipe* pipe) {
  KIRQL irql;
  KeAcquireSpinLock(&pipe->ReadLock, &irql);
  SetState(pipe, kIdle);
  KeSetEvent(&pipe->ReadIdleEvent, 0, FALSE);
  KeReleaseSpinLock(&pipe->ReadLock, irql);
}

// The device sent more than was asked for: the stream can no longer be followed.
NTSTATUS ProtocolError(BulkInPipe* pipe) {
  Count(pipe->Counters.ProtocolErrors);
  WriteFlag(pipe->Station->DeviceGone, 1);
  EndRead(pipe);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void DeliverPiece(BulkInPipe* pipe, ULONG length) {
  const ULONG channel = pipe->Channel;
  KIRQL irql;
  KeAcquireSpinLock(&pipe->HandlerLock, &irql);
  const ReadHandler handler = pipe->Handlers[channel];
  if (handler.Routine) pipe->CallingChannel = channel;
  KeReleaseSpinLock(&pipe->HandlerLock, irql);
  if (!handler.Routine) return;
  handler.Routine(handler.Context, handler.Data,
                  reinterpret_cast<const protocol::BusMessageHeader*>(pipe->Header),
                  pipe->Payload, pipe->BytesDone, length);
  KeAcquireSpinLock(&pipe->HandlerLock, &irql);
  pipe->CallingChannel = kNoChannel;
  KeReleaseSpinLock(&pipe->HandlerLock, irql);
}

bool HasHandler(BulkInPipe* pipe, ULONG channel) {
  KIRQL irql;
  KeAcquireSpinLock(&pipe->HandlerLock, &irql);
  const bool has = pipe->Handlers[channel].Routine != nullptr;
  KeReleaseSpinLock(&pipe->HandlerLock, irql);
  return has;
}

NTSTATUS BulkInReadCompletion(DEVICE_OBJECT*, IRP* irp, PVOID context) {
  BulkInPipe* pipe = Pipe(context);
  StationExtension* station = pipe->Station;
  const auto& r = pipe->Urb->UrbBulkOrInterruptTransfer;
  const NTSTATUS status = irp->IoStatus.Status;
  if (!NT_SUCCESS(status)) {
    ApplyDeviceGoneRule(station, DeviceGoneForm::kBulk, status, r.Hdr.Status);
    EndRead(pipe);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  const ULONG n = r.TransferBufferLength;
  bool complete = false;
  UCHAR* next_buffer = nullptr;
  ULONG next_length = 0;
  if (GetState(pipe) == kReadingHeader) {
    if (n > kHeaderBytes - pipe->BytesDone) return ProtocolError(pipe);
    pipe->BytesDone += n;
    if (pipe->BytesDone == kHeaderBytes) {
      const ULONG type = protocol::LoadLe32(pipe->Header + 0);
      pipe->TotalLength = protocol::LoadLe32(pipe->Header + 4);
      pipe->Channel = protocol::MessageTypeToChannel(type, pipe->StandaloneMic != 0);
      Count(pipe->Counters.Messages);
      // A message no handler takes is still read to its end, so the next header is found.
      pipe->Dropping = 0;
      if (pipe->TotalLength > kMaxBulkInMessageBytes) {
        pipe->Dropping = 1;
        Count(pipe->Counters.OversizedMessages);
      } else if (!protocol::IsBusChannel(pipe->Channel)) {
        pipe->Dropping = 1;
        Count(pipe->Counters.DroppedMessages);
      } else if (!HasHandler(pipe, pipe->Channel)) {
        Count(pipe->Counters.DroppedMessages);  // unless a handler is set before its pieces
      }
      if (pipe->TotalLength == 0) {
        complete = true;
      } else {
        SetState(pipe, kReadingPayload);
        pipe->BytesDone = 0;
        next_buffer = pipe->Payload;
        next_length = std::min(pipe->TotalLength, pipe->PayloadSize);
      }
    } else {
      next_buffer = pipe->Header + pipe->BytesDone;
      next_length = kHeaderBytes - pipe->BytesDone;
    }
  } else if (GetState(pipe) == kReadingPayload) {
    if (n > pipe->TotalLength - pipe->BytesDone) return ProtocolError(pipe);
    // Each piece goes to the handler the channel has at that moment, if any.
    if (!pipe->Dropping && n) DeliverPiece(pipe, n);
    pipe->BytesDone += n;
    if (pipe->BytesDone == pipe->TotalLength) {
      complete = true;
    } else {
      next_buffer = pipe->Payload;
      next_length = std::min(pipe->TotalLength - pipe->BytesDone, pipe->PayloadSize);
    }
  }

  KIRQL irql;
  KeAcquireSpinLock(&pipe->ReadLock, &irql);
  if (complete) {
    // A credit that came while this message was read starts the next header at once.
    if (ReadFlag(pipe->Enabled) && TakeCredit(pipe)) {
      SetState(pipe, kReadingHeader);
      pipe->BytesDone = 0;
      std::memset(pipe->Header, 0, sizeof pipe->Header);
      next_buffer = pipe->Header;
      next_length = kHeaderBytes;
    } else {
      SetState(pipe, kIdle);
    }
  }
  if (!ReadFlag(station->DeviceGone) && ReadFlag(pipe->Enabled) && GetState(pipe) != kIdle &&
      next_buffer) {
    BuildRead(pipe, next_buffer, next_length);  // the same IRP, not reused
    KeReleaseSpinLock(&pipe->ReadLock, irql);
    IoCallDriver(station->LowerDeviceObject, irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  SetState(pipe, kIdle);
  KeSetEvent(&pipe->ReadIdleEvent, 0, FALSE);
  KeReleaseSpinLock(&pipe->ReadLock, irql);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void KickBulkInPipe(PVOID object) {
  BulkInPipe* pipe = Pipe(object);
  StationExtension* station = pipe->Station;
  if (ReadFlag(station->DeviceGone) || !ReadFlag(pipe->Enabled) ||
      InterlockedRead(&pipe->Credits) < 1)
    return;
  KIRQL irql;
  KeAcquireSpinLock(&pipe->ReadLock, &irql);
  const bool start = GetState(pipe) == kIdle && ReadFlag(pipe->Enabled) &&
                     !ReadFlag(station->DeviceGone) && TakeCredit(pipe);
  if (start) {
    SetState(pipe, kReadingHeader);
    pipe->BytesDone = 0;
    IoReuseIrp(pipe->Irp, STATUS_SUCCESS);
    std::memset(pipe->Urb, 0, kUrbBlockBytes);
    std::memset(pipe->Header, 0, sizeof pipe->Header);
    BuildRead(pipe, pipe->Header, kHeaderBytes);
    KeResetEvent(&pipe->ReadIdleEvent);
  }
  KeReleaseSpinLock(&pipe->ReadLock, irql);
  // The completion routine runs for every outcome, a failure returned here included, and
  // ends the chain itself.
  if (start) IoCallDriver(station->LowerDeviceObject, pipe->Irp);
}

NTSTATUS SetReadHandler(PVOID object, ULONG channel, ReadHandlerRoutine routine, PVOID context,
                        PVOID data) {
  BulkInPipe* pipe = Pipe(object);
  if (!pipe || channel >= kChannelCount) return STATUS_INVALID_PARAMETER;
  KIRQL irql;
  KeAcquireSpinLock(&pipe->HandlerLock, &irql);
  pipe->Handlers[channel] = ReadHandler{routine, context, data};
  KeReleaseSpinLock(&pipe->HandlerLock, irql);
  // A caller that removes its handler may free what the handler uses once this returns: wait
  // out a call of the old handler in progress. (A handler changing handlers does not wait.)
  if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
    for (;;) {
      KeAcquireSpinLock(&pipe->HandlerLock, &irql);
      const bool calling = pipe->CallingChannel == channel;
      KeReleaseSpinLock(&pipe->HandlerLock, irql);
      if (!calling) break;
      DelayMicroseconds(10);
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS AddReadCredits(PVOID object, ULONG n) {
  BulkInPipe* pipe = Pipe(object);
  if (!pipe) return STATUS_INVALID_PARAMETER;
  // Credits never wrap: a count above kCreditStep counts as kCreditStep, and the counter
  // stops at kCreditLimit (both far above what a device announces; the callers give 1).
  LONG add = static_cast<LONG>(std::min<ULONG>(n, kCreditStep));
  if (!pipe->BulkInByInterrupt) add += kExtraCreditsWithoutInterrupt;
  if (InterlockedExchangeAdd(&pipe->Credits, add) + add > kCreditLimit)
    InterlockedExchange(&pipe->Credits, kCreditLimit);
  return STATUS_SUCCESS;
}

NTSTATUS BulkInWriteNotSupported(PVOID, const protocol::BusMessageHeader*, ULONG, ULONG*,
                                 const void*, ULONG, ULONG*, PVOID, ULONG* usbd_status) {
  if (usbd_status) *usbd_status = static_cast<ULONG>(USBD_STATUS_NOT_SUPPORTED);
  return STATUS_NOT_SUPPORTED;
}

void EnableBulkInPipe(PVOID object, UCHAR on) {
  BulkInPipe* pipe = Pipe(object);
  on = on ? 1 : 0;
  KeWaitForSingleObject(&pipe->Mutex, Executive, KernelMode, FALSE, nullptr);
  if (on != ReadFlag(pipe->Enabled)) {
    KIRQL irql;
    KeAcquireSpinLock(&pipe->ReadLock, &irql);
    WriteFlag(pipe->Enabled, on);
    bool busy = false;
    if (!on) {
      InterlockedExchange(&pipe->Credits, 0);
      busy = GetState(pipe) != kIdle;
    }
    KeReleaseSpinLock(&pipe->ReadLock, irql);
    if (!on) {
      // Cancelled after the lock: an inline completion takes it.
      if (busy) IoCancelIrp(pipe->Irp);
      for (;;) {
        KeAcquireSpinLock(&pipe->ReadLock, &irql);
        const bool idle = GetState(pipe) == kIdle;
        KeReleaseSpinLock(&pipe->ReadLock, irql);
        if (idle) break;
        KeWaitForSingleObject(&pipe->ReadIdleEvent, Executive, KernelMode, FALSE, nullptr);
      }
      InterlockedExchange(&pipe->Credits, 0);
    }
    // On: reading starts with the next credit.
  }
  KeReleaseMutex(&pipe->Mutex, FALSE);
}

void FreeBulkInPipe(BulkInPipe* pipe) {
  if (pipe->Irp) IoFreeIrp(pipe->Irp);
  if (pipe->Urb) ExFreePoolWithTag(pipe->Urb, kTagBulkInPipe);
  if (pipe->Payload) ExFreePoolWithTag(pipe->Payload, kTagBulkInPipe);
  ExFreePoolWithTag(pipe, kTagBulkInPipe);
}

void DestroyBulkInPipe(PVOID object) {
  BulkInPipe* pipe = Pipe(object);
  EnableBulkInPipe(pipe, 0);
  FreeBulkInPipe(pipe);
}

}  // namespace

NTSTATUS QueryBulkInPipeCounters(PVOID object, BulkInPipeCounters* out) {
  BulkInPipe* pipe = Pipe(object);
  if (!pipe || !out) return STATUS_INVALID_PARAMETER;
  BulkInPipeCounters c{};
  c.Credits = InterlockedRead(&pipe->Credits);
  c.State = __atomic_load_n(&pipe->State, __ATOMIC_RELAXED);
  c.ByInterrupt = pipe->BulkInByInterrupt;
  c.Messages = __atomic_load_n(&pipe->Counters.Messages, __ATOMIC_RELAXED);
  c.DroppedMessages = __atomic_load_n(&pipe->Counters.DroppedMessages, __ATOMIC_RELAXED);
  c.OversizedMessages = __atomic_load_n(&pipe->Counters.OversizedMessages, __ATOMIC_RELAXED);
  c.ProtocolErrors = __atomic_load_n(&pipe->Counters.ProtocolErrors, __ATOMIC_RELAXED);
  *out = c;
  return STATUS_SUCCESS;
}

NTSTATUS CreateBulkInPipe(StationExtension* station, PipeOps* table, ULONG table_size,
                          const USBD_PIPE_INFORMATION* info) {
  if (!station || !table || !info || table_size < sizeof(PipeOps)) return STATUS_INVALID_PARAMETER;
  *table = PipeOps{};
  auto* pipe = static_cast<BulkInPipe*>(
      AllocatePool(NonPagedPoolNx, sizeof(BulkInPipe), kTagBulkInPipe));
  if (!pipe) return STATUS_INSUFFICIENT_RESOURCES;
  pipe->Station = station;
  pipe->PipeInfo = *info;
  pipe->PayloadSize = g_StationGlobals && g_StationGlobals->MaximumTransferSize
                          ? g_StationGlobals->MaximumTransferSize
                          : kDefaultPayloadBytes;
  pipe->StandaloneMic = g_StationGlobals ? g_StationGlobals->StandaloneMic : 0;
  UCHAR by_interrupt = 1;
  ReadParameter(u"BulkInByInterrupt", REG_BINARY, sizeof by_interrupt, &by_interrupt);
  pipe->BulkInByInterrupt = by_interrupt;
  pipe->Urb = static_cast<URB*>(AllocatePool(NonPagedPoolNx, kUrbBlockBytes, kTagBulkInPipe));
  pipe->Payload = pipe->Urb ? static_cast<UCHAR*>(
                                  AllocatePool(NonPagedPoolNx, pipe->PayloadSize, kTagBulkInPipe))
                            : nullptr;
  CCHAR stack = station->LowerDeviceObject ? station->LowerDeviceObject->StackSize : 0;
  pipe->Irp = pipe->Payload ? IoAllocateIrp(static_cast<CCHAR>(stack + 1), FALSE) : nullptr;
  if (!pipe->Irp) {
    FreeBulkInPipe(pipe);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  KeInitializeMutex(&pipe->Mutex, 0);
  KeInitializeSpinLock(&pipe->ReadLock);
  KeInitializeSpinLock(&pipe->HandlerLock);
  KeInitializeEvent(&pipe->ReadIdleEvent, SynchronizationEvent, TRUE);
  pipe->CallingChannel = kNoChannel;
  table->Object = pipe;
  table->Destroy = DestroyBulkInPipe;
  table->Enable = EnableBulkInPipe;
  table->Kick = KickBulkInPipe;
  table->WriteAndWait = BulkInWriteNotSupported;
  table->FlushChannel = NoOpFlush;
  table->SetReadHandler = SetReadHandler;
  table->AddReadCredits = AddReadCredits;
  table->Notify = NoOpNotify;
  return STATUS_SUCCESS;
}

}  // namespace vorn::station
