// The audio child's request queues: one per kind (render URBs, capture URBs, render sends),
// each a free list of recycled records and a pending list, under the queue's spin lock. A
// URB's IRP is taken out of its record by atomic exchange, so that exactly one of the pump,
// the flush and the cancel routine completes it.
#include <cstring>

#include "station/bus/audio_child.h"
#include "station/bus/audio_stream_internal.h"
#include "station/kernel_utils.h"
#include "station/station_extension.h"

namespace vorn::station {
namespace {

AudioRequestQueue* QueueOf(AudioChild* a, ULONG kind) {
  return kind < kAudioQueueCount ? &a->Queues[kind] : nullptr;
}

bool HoldsUrb(ULONG kind) { return kind == kAudioRenderUrb || kind == kAudioCaptureUrb; }

AudioRequest* FromPending(LIST_ENTRY* e) { return CONTAINING_RECORD(e, AudioRequest, PendingLink); }
AudioRequest* FromFree(LIST_ENTRY* e) { return CONTAINING_RECORD(e, AudioRequest, FreeLink); }

}  // namespace

AudioRequest* AllocAudioRequest(AudioChild* a, ULONG kind) {
  if (!a || !QueueOf(a, kind) || !ReadFlag(a->Started)) return nullptr;
  auto* r = static_cast<AudioRequest*>(
      AllocatePool(NonPagedPoolNx, sizeof(AudioRequest), kTagAudioRequest));
  if (!r) return nullptr;
  std::memset(static_cast<void*>(r), 0, sizeof *r);
  InitializeListHead(&r->FreeLink);
  InitializeListHead(&r->PendingLink);
  r->Kind = kind;
  if (kind == kAudioRenderSend) {
    r->Hold.Header = protocol::BusMessageHeader{};
    r->Hold.Header.Type = protocol::ToWire(protocol::BusMessageType::Audio);
  }
  return r;
}

AudioRequest* TakeAudioRequest(AudioChild* a, ULONG kind) {
  AudioRequestQueue* q = QueueOf(a, kind);
  if (!q) return nullptr;
  AudioRequest* r = nullptr;
  KIRQL irql;
  KeAcquireSpinLock(&q->Lock, &irql);
  if (!IsListEmpty(&q->FreeList)) r = FromFree(RemoveHeadList(&q->FreeList));
  KeReleaseSpinLock(&q->Lock, irql);
  if (!r) return AllocAudioRequest(a, kind);
  InitializeListHead(&r->FreeLink);
  return r;
}

void ReturnAudioRequest(AudioChild* a, AudioRequest* r) {
  AudioRequestQueue* q = r ? QueueOf(a, r->Kind) : nullptr;
  if (!q) return;
  if (HoldsUrb(r->Kind)) r->Hold.Urb = AudioUrbHold{};
  r->DueFrame = 0;
  KIRQL irql;
  KeAcquireSpinLock(&q->Lock, &irql);
  InsertTailList(&q->FreeList, &r->FreeLink);
  KeReleaseSpinLock(&q->Lock, irql);
}

void QueueAudioRequest(AudioChild* a, AudioRequest* r) {
  AudioRequestQueue* q = QueueOf(a, r->Kind);
  KIRQL irql;
  KeAcquireSpinLock(&q->Lock, &irql);
  InsertTailList(&q->PendingList, &r->PendingLink);
  InterlockedIncrement(&q->PendingCount);
  KeReleaseSpinLock(&q->Lock, irql);
}

AudioRequest* DequeueAudioRequest(AudioChild* a, ULONG kind) {
  AudioRequestQueue* q = QueueOf(a, kind);
  if (!q) return nullptr;
  AudioRequest* r = nullptr;
  KIRQL irql;
  KeAcquireSpinLock(&q->Lock, &irql);
  if (!IsListEmpty(&q->PendingList)) r = FromPending(RemoveHeadList(&q->PendingList));
  KeReleaseSpinLock(&q->Lock, irql);
  if (r) InitializeListHead(&r->PendingLink);
  return r;
}

void RequeueAudioRequest(AudioChild* a, AudioRequest* r) {
  AudioRequestQueue* q = QueueOf(a, r->Kind);
  KIRQL irql;
  KeAcquireSpinLock(&q->Lock, &irql);
  InsertHeadList(&q->PendingList, &r->PendingLink);
  KeReleaseSpinLock(&q->Lock, irql);
}

void CompleteQueuedAudioRequests(AudioChild* a, ULONG kind) {
  AudioRequestQueue* q = QueueOf(a, kind);
  if (!q || !HoldsUrb(kind)) return;
  // The IRPs are taken out under the lock and completed after it, a batch at a time:
  // completion runs the upper driver's routine, which may submit again.
  constexpr ULONG kBatch = 32;
  for (;;) {
    IRP* taken[kBatch];
    ULONG n = 0;
    KIRQL irql;
    KeAcquireSpinLock(&q->Lock, &irql);
    for (LIST_ENTRY* e = q->PendingList.Flink; e != &q->PendingList && n < kBatch; e = e->Flink) {
      AudioRequest* r = FromPending(e);
      auto* irp = static_cast<IRP*>(InterlockedExchangePointer(
          reinterpret_cast<PVOID volatile*>(&r->Hold.Urb.Irp), nullptr));
      if (irp) taken[n++] = irp;
    }
    KeReleaseSpinLock(&q->Lock, irql);
    if (n == 0) return;
    for (ULONG i = 0; i < n; ++i) {
      // A cleared cancel routine means IoCancelIrp has called it: it finds no request holding
      // this IRP any more and leaves the completion to this flush, cancelled all the same.
      ClearAudioCancelRoutine(taken[i]);
      CompleteIrp(taken[i], STATUS_CANCELLED, 0);
    }
  }
}

void FlushAudioQueue(AudioChild* a, ULONG kind) {
  AudioRequestQueue* q = QueueOf(a, kind);
  if (!q) return;
  CompleteQueuedAudioRequests(a, kind);
  LIST_ENTRY gone;
  InitializeListHead(&gone);
  KIRQL irql;
  KeAcquireSpinLock(&q->Lock, &irql);
  while (!IsListEmpty(&q->PendingList)) {
    AudioRequest* r = FromPending(RemoveHeadList(&q->PendingList));
    InitializeListHead(&r->PendingLink);
    InterlockedDecrement(&q->PendingCount);
    InsertTailList(&q->FreeList, &r->FreeLink);
  }
  while (!IsListEmpty(&q->FreeList)) InsertTailList(&gone, RemoveHeadList(&q->FreeList));
  KeReleaseSpinLock(&q->Lock, irql);
  while (!IsListEmpty(&gone)) ExFreePoolWithTag(FromFree(RemoveHeadList(&gone)), kTagAudioRequest);
}

}  // namespace vorn::station
