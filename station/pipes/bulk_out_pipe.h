// The bulk-OUT pipe's records and the routines its two halves share: bulk_out_write.cpp takes
// producer requests, slices them into transfer descriptors and reports each request once;
// bulk_out_pipe.cpp creates and enables the pipe, runs its dispatcher thread and sends one
// descriptor at a time on two alternating transfer contexts.
//
// Locks, always taken in this order: DispatchLock (choice of the next descriptor and
// context), then QueueLock (the five queues and the free list) or RequestLock (completion
// accounting of every slot). A ChannelLock guards only its channel's slot allocation. No lock
// is held while a producer's routine runs or a transfer is handed to the bus.
#pragma once

#include "platform/kernel/pool.h"
#include "platform/kernel/sync.h"
#include "platform/kernel/thread.h"
#include "platform/kernel/usb.h"
#include "protocol/bus_message.h"
#include "protocol/channels.h"
#include "station/driver_globals.h"
#include "station/pipes/channel_settings.h"
#include "station/pipes/pipe_callbacks.h"

namespace vorn::station {

struct StationExtension;

namespace bulk_out {

constexpr ULONG kTagPipe = PoolTag("epbo");        // the pipe block and the URB blocks
constexpr ULONG kTagDescriptor = PoolTag("epmx");  // transfer descriptors
constexpr ULONG kSlotsPerChannel = 2048;
constexpr ULONG kUrbBlockBytes = 152;
constexpr ULONG kHeaderBytes = protocol::kBusMessageHeaderSize;
constexpr ULONG kTwoPlaneChannel = protocol::ToWire(protocol::BusChannel::Nv12);

// Busy values of a slot: free, taken by a WriteAsync that is still filling it, or an accepted
// request that completion and flush may act on.
enum SlotState : UCHAR { kSlotFree = 0, kSlotFilling = 1, kSlotActive = 2 };

// Phase values of a transfer context.
enum Phase : ULONG { kPhaseIdle = 0, kPhaseHeader = 1, kPhaseData = 2 };

struct BulkChannel;
struct BulkOutPipe;

// One producer request.
struct RequestSlot {
  UCHAR Header[kHeaderBytes];  // the caller's header, or one built for continuation data
  BulkChannel* Channel;
  const UCHAR* Data;
  ULONG HeaderLength;          // 32 or 0
  ULONG DataLength;
  ULONG DataBytesDone;
  ULONG RequestId;
  WriteCompletion Completion;
  PVOID CompletionContext;
  IRP* ProducerIrp;            // passed back, never touched
  UCHAR Busy;                  // SlotState, read and written as an atomic
  UCHAR InFlight;              // a descriptor of this request is being sent (RequestLock)
  UCHAR Cancelled;             // flushed while in flight: completes cancelled when it ends
};

// One slice as it goes on the wire: its header phase, then its data phase.
struct TransferDescriptor {
  UCHAR Header[kHeaderBytes];  // the slice's header as sent
  LIST_ENTRY FreeLink;
  LIST_ENTRY QueueLink;
  const UCHAR* DataStart;
  const UCHAR* Current;
  ULONG HeaderLength;          // 32 or 0
  ULONG DataLength;
  ULONG Remaining;             // bytes left of the current phase
  ULONG HeaderBytesDone;
  ULONG DataBytesDone;
  ULONG Sequence;
  void (*SliceCompletion)(BulkOutPipe* pipe, RequestSlot* slot, ULONG request_id, ULONG sequence,
                          ULONG header_bytes, ULONG data_bytes, NTSTATUS status,
                          ULONG usbd_status);
  RequestSlot* Slot;
  ULONG RequestId;
  UCHAR Priority;
};

// One bulk transfer in progress; two per pipe, used in turn.
struct TransferContext {
  BulkOutPipe* Pipe;
  IRP* Irp;
  URB* Urb;
  TransferDescriptor* Descriptor;
  NTSTATUS LastStatus;
  ULONG LastUsbdStatus;
  ULONG Phase;  // read and written as an atomic
  // The channel and request of the descriptor being sent, set with it under DispatchLock.
  ULONG Channel;
  ULONG RequestId;
  TransferContext* Next;
};

struct BulkChannel {
  BulkOutPipe* Pipe;
  RequestSlot Slots[kSlotsPerChannel];
  KSPIN_LOCK ChannelLock;
  ULONG Index;
  ULONG MaxSliceSize;
  UCHAR PriorityLevel;
  BulkChannel* Next;
};

struct BulkOutPipe {
  StationExtension* Station;
  USBD_PIPE_INFORMATION PipeInfo;
  KSPIN_LOCK DispatchLock;
  KSPIN_LOCK RequestLock;
  KSPIN_LOCK QueueLock;
  KTHREAD* DispatcherThread;
  KMUTEX Mutex;
  KEVENT DispatcherStopEvent;
  KEVENT DispatcherKickEvent;
  TransferContext Contexts[2];
  TransferContext* LastContext;
  BulkChannel Channels[kChannelCount];
  BulkChannel* FirstChannel;
  LIST_ENTRY FreeDescriptors;
  LIST_ENTRY Queues[kPriorityQueueCount];
  LONG QueueCounts[kPriorityQueueCount];
  ULONG RequestIdCounter;
  ULONG SequenceCounter;
  ULONG Type7WriteRemainder;  // atomics
  ULONG Type7SendRemainder;
  UCHAR Enabled;              // atomics
  UCHAR ThreadRunning;
  // A transfer ended cancelled in the middle of a message: the device holds part of it and
  // would read the next bytes as its rest, so nothing more is sent until the dispatcher has
  // reset the device's pipe. An atomic.
  UCHAR ResetPending;
};

// The remainders and flags shared by producers, Kick and completions.
inline ULONG LoadUlong(const ULONG& v) { return __atomic_load_n(&v, __ATOMIC_SEQ_CST); }
inline void StoreUlong(ULONG& v, ULONG value) { __atomic_store_n(&v, value, __ATOMIC_SEQ_CST); }
inline UCHAR LoadByte(const UCHAR& v) { return __atomic_load_n(&v, __ATOMIC_SEQ_CST); }
inline void StoreByte(UCHAR& v, UCHAR value) { __atomic_store_n(&v, value, __ATOMIC_SEQ_CST); }
// |v| less |n|, never below zero.
inline void SubtractClamped(ULONG& v, ULONG n) {
  ULONG old = LoadUlong(v);
  while (!__atomic_compare_exchange_n(&v, &old, old > n ? old - n : 0, false, __ATOMIC_SEQ_CST,
                                      __ATOMIC_SEQ_CST)) {
  }
}
// Both type-7 remainders back to zero: the open two-plane message is over (sent, failed,
// cancelled or flushed), so the dispatcher serves every queue again.
inline void ResetType7(BulkOutPipe* pipe) {
  StoreUlong(pipe->Type7WriteRemainder, 0);
  StoreUlong(pipe->Type7SendRemainder, 0);
}

inline ULONG ChannelOf(const TransferDescriptor* d) { return d->Slot->Channel->Index; }

// Descriptors (bulk_out_write.cpp).
TransferDescriptor* TakeFreeDescriptor(BulkOutPipe* pipe);
TransferDescriptor* NewTransferDescriptor();
void ReleaseDescriptor(BulkOutPipe* pipe, TransferDescriptor* d);
void EnqueueDescriptor(BulkOutPipe* pipe, TransferDescriptor* d);
void RequeueAtHead(BulkOutPipe* pipe, TransferDescriptor* d);
void DropQueuedDescriptors(BulkOutPipe* pipe);

// Completion accounting (bulk_out_write.cpp). |CompleteRequestSlice| reports the request once
// when this slice ends it; |DispatchCheck| tells Kick whether a descriptor's request is still
// open (and marks it in flight), so no data of a completed request is read again.
void CompleteRequestSlice(BulkOutPipe* pipe, RequestSlot* slot, ULONG request_id, ULONG sequence,
                          ULONG header_bytes, ULONG data_bytes, NTSTATUS status,
                          ULONG usbd_status);
bool DispatchCheck(BulkOutPipe* pipe, TransferDescriptor* d);

// Pipe operations (bulk_out_write.cpp).
NTSTATUS WriteAsync(PVOID object, const protocol::BusMessageHeader* header, ULONG header_length,
                    const void* data, ULONG length, ULONG* request_id, WriteCompletion completion,
                    PVOID context, IRP* irp);
NTSTATUS WriteAndWait(PVOID object, const protocol::BusMessageHeader* header,
                      ULONG header_length, ULONG* header_bytes, const void* data, ULONG length,
                      ULONG* data_bytes, PVOID reserved, ULONG* usbd_status);
// Withdraws every request of |channel|: queued ones are reported cancelled at once; a transfer
// of the channel on the wire is cancelled and its request reported once it has ended.
void FlushChannel(PVOID object, ULONG channel);
// The one request |request_id| of |channel| only, as FlushChannel withdraws each of its
// requests; nothing when that request has ended (its id is never used again).
void WithdrawRequest(PVOID object, ULONG channel, ULONG request_id);

}  // namespace bulk_out
}  // namespace vorn::station
