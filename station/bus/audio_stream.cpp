// The audio child's isochronous streaming: start and stop, the 1 ms timer and its DPC or
// one thread per stream, the dispatch of isochronous URBs, the pumps that complete URBs at
// their start frame and the cancel routines. Render data goes out when its URB arrives
// (audio_stream_render.cpp); capture data comes in through the bulk-IN read handler
// (audio_stream_capture.cpp).
#include "platform/kernel/irp.h"
#include "station/bus/audio_stream_internal.h"
#include "station/bus/audio_stream_ring.h"
#include "station/bus/child_pdo_extension.h"
#include "station/bus/station_services.h"
#include "station/kernel_utils.h"
#include "station/station_extension.h"

namespace vorn::station {
namespace {

constexpr LONGLONG kTimerDue100ns = -10000;  // 1 ms from now
constexpr LONG kTimerPeriodMs = 1;
constexpr LONG kRenderBaseIncrement = 15;
constexpr KPRIORITY kRenderPriority = 14;
constexpr KPRIORITY kCapturePriority = 16;

bool Running(AudioStream* s) { return InterlockedRead(&s->Running) != 0; }

// The pending request of |kind| holding |irp|, taken out of the pending list with its IRP;
// null when none holds it any more.
AudioRequest* WithdrawHolder(AudioChild* a, ULONG kind, IRP* irp) {
  AudioRequestQueue* q = &a->Queues[kind];
  AudioRequest* found = nullptr;
  KIRQL irql;
  KeAcquireSpinLock(&q->Lock, &irql);
  for (LIST_ENTRY* e = q->PendingList.Flink; e != &q->PendingList; e = e->Flink) {
    AudioRequest* r = CONTAINING_RECORD(e, AudioRequest, PendingLink);
    if (r->Hold.Urb.Irp != irp) continue;
    if (TakeAudioIrp(r) != irp) break;
    RemoveEntryList(&r->PendingLink);
    InitializeListHead(&r->PendingLink);
    found = r;
    break;
  }
  KeReleaseSpinLock(&q->Lock, irql);
  return found;
}

void CancelHeld(DEVICE_OBJECT* device, IRP* irp, ULONG kind) {
  auto* child = device ? static_cast<ChildPdoExtension*>(device->DeviceExtension) : nullptr;
  AudioChild* a = AudioObject(SvcGetModuleContext(child));
  IoReleaseCancelSpinLock(irp->CancelIrql);
  if (!a) return;
  AudioRequest* r = WithdrawHolder(a, kind, irp);
  // Not held: a pump, thread or flush has the IRP and completes it as cancelled.
  if (!r) return;
  URB* urb = r->Hold.Urb.Urb;
  CountAudioRequestDone(a, kind);
  ReturnAudioRequest(a, r);
  SetUrbStatus(urb, USBD_STATUS_CANCELED);
  CompleteIrp(irp, STATUS_CANCELLED, 0);
}

// Waits until the render sends the bulk-OUT pipe still holds have completed: their records
// must not be freed under the pipe. Every accepted send completes once (a withdrawn one
// reports cancelled, one on the wire once its transfer has ended).
void WaitForRenderSends(AudioChild* a) {
  while (InterlockedRead(&a->Queues[kAudioRenderSend].PendingCount) > 0) DelayMilliseconds(1);
}

}  // namespace

ULONG AudioNow(AudioChild* a) { return SvcGetTime(a->Child); }

IRP* TakeAudioIrp(AudioRequest* r) {
  return static_cast<IRP*>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&r->Hold.Urb.Irp), nullptr));
}

bool ClearAudioCancelRoutine(IRP* irp) {
  if (IoSetCancelRoutine(irp, nullptr)) return true;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  IoReleaseCancelSpinLock(irql);
  return false;
}

void CompleteAudioUrb(IRP* irp, URB* urb, NTSTATUS status, USBD_STATUS usbd) {
  if (!ClearAudioCancelRoutine(irp)) {
    status = STATUS_CANCELLED;
    usbd = USBD_STATUS_CANCELED;
  }
  SetUrbStatus(urb, usbd);
  CompleteIrp(irp, status, 0);
}

NTSTATUS HoldAudioUrb(AudioChild* a, AudioStream* s, ULONG kind, IRP* irp, URB* urb,
                      PVOID buffer, ULONGLONG due, bool* pending) {
  AudioRequest* r = TakeAudioRequest(a, kind);
  if (!r) {
    SetUrbStatus(urb, USBD_STATUS_INSUFFICIENT_RESOURCES);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  r->Hold.Urb = AudioUrbHold{irp, urb, buffer};
  r->DueFrame = due;
  IoSetCancelRoutine(irp, kind == kAudioRenderUrb ? AudioRenderCancel : AudioCaptureCancel);
  if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr)) {
    // Cancelled before it was held, and the cancel routine was not called: refuse it here.
    ReturnAudioRequest(a, r);
    SetUrbStatus(urb, USBD_STATUS_CANCELED);
    return STATUS_CANCELLED;
  }
  IoMarkIrpPending(irp);
  QueueAudioRequest(a, r);
  KeSetEvent(&s->WorkEvent, 0, FALSE);
  *pending = true;
  return STATUS_PENDING;
}

void CountAudioRequestDone(AudioChild* a, ULONG kind) {
  InterlockedDecrement(&a->Queues[kind].PendingCount);
}

ULONG BytesToMs(const AudioStream* s, ULONGLONG bytes) {
  if (s->BytesPerMs == 0) return 0;
  const ULONGLONG ms = s->FractionalMs ? (s->BytesPer10Ms ? bytes / s->BytesPer10Ms * 10 : 0)
                                       : bytes / s->BytesPerMs;
  return ms > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<ULONG>(ms);
}

NTSTATUS AudioStart(PVOID ctx) {
  AudioChild* a = AudioObject(ctx);
  if (!a) return STATUS_INVALID_PARAMETER;
  if (!a->Initialized) return STATUS_UNSUCCESSFUL;
  KeWaitForSingleObject(&a->StateMutex, Executive, KernelMode, FALSE, nullptr);
  WriteFlag(a->Started, 1);
  if (g_AudioSettings.ServiceMode == kAudioServiceTimer) {
    LARGE_INTEGER due;
    due.QuadPart = kTimerDue100ns;
    a->TimerRunning = 1;
    KeSetTimerEx(&a->Timer, due, kTimerPeriodMs, &a->TimerDpc);
  } else if (g_AudioSettings.ServiceMode == kAudioServiceThreads) {
    for (AudioStream& s : a->Streams) {
      if (!s.Present) continue;
      const NTSTATUS status = StartAudioStreamThread(a, &s);
      if (!NT_SUCCESS(status)) {
        KeReleaseMutex(&a->StateMutex, FALSE);
        AudioStop(a);
        return status;
      }
    }
  }
  AudioStream& capture = a->Streams[kCaptureStream];
  if (capture.Present)
    SvcSetReadHandler(a->Child, kBulkInEndpointCode, AudioCaptureData, a, &capture);
  KeReleaseMutex(&a->StateMutex, FALSE);
  return STATUS_SUCCESS;
}

NTSTATUS StartAudioStreamThread(AudioChild* a, AudioStream* s) {
  if (!s->ThreadRoutine || s->Thread) return STATUS_SUCCESS;
  InterlockedExchange(&s->Running, 1);
  KeClearEvent(&s->StopEvent);
  KeClearEvent(&s->WorkEvent);
  const NTSTATUS status = StartReferencedSystemThread(s->ThreadRoutine, a, &s->Thread);
  if (!NT_SUCCESS(status)) {
    // A thread that started without a reference cannot be waited for: tell it to end.
    InterlockedExchange(&s->Running, 0);
    KeSetEvent(&s->StopEvent, 0, FALSE);
  }
  return status;
}

void AudioStop(PVOID ctx) {
  AudioChild* a = AudioObject(ctx);
  if (!a || !a->Initialized) return;
  KeWaitForSingleObject(&a->StateMutex, Executive, KernelMode, FALSE, nullptr);
  WriteFlag(a->Started, 0);
  for (AudioStream& s : a->Streams) {
    InterlockedExchange(&s.Running, 0);
    if (!s.Thread) continue;
    KeSetEvent(&s.StopEvent, 0, FALSE);
    KeWaitForSingleObject(s.Thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(s.Thread);
    s.Thread = nullptr;
  }
  if (a->TimerRunning) {
    a->TimerRunning = 0;
    if (KeCancelTimer(&a->Timer)) KeFlushQueuedDpcs();
  }
  SvcSetReadHandler(a->Child, kBulkInEndpointCode, nullptr, nullptr, nullptr);
  SvcFlushChannel(a->Child);
  WaitForRenderSends(a);
  for (ULONG kind = 0; kind < kAudioQueueCount; ++kind) FlushAudioQueue(a, kind);
  KeReleaseMutex(&a->StateMutex, FALSE);
}

void AudioTimerDpc(KDPC*, PVOID context, PVOID, PVOID) {
  AudioChild* a = AudioObject(context);
  if (!a || !ReadFlag(a->Started)) return;
  if (a->Streams[kRenderStream].Present) AudioRenderPump(a, &a->Streams[kRenderStream]);
  if (a->Streams[kCaptureStream].Present) AudioCapturePump(a, &a->Streams[kCaptureStream]);
}

void AudioRenderPump(AudioChild* a, AudioStream*) {
  for (;;) {
    AudioRequest* r = DequeueAudioRequest(a, kAudioRenderUrb);
    if (!r) return;
    if (AudioNow(a) < r->DueFrame) {
      RequeueAudioRequest(a, r);
      return;
    }
    URB* urb = r->Hold.Urb.Urb;
    IRP* irp = TakeAudioIrp(r);
    CountAudioRequestDone(a, kAudioRenderUrb);
    ReturnAudioRequest(a, r);
    if (irp) CompleteAudioUrb(irp, urb, irp->IoStatus.Status, USBD_STATUS_SUCCESS);
    if (!ReadFlag(a->Started)) return;
  }
}

void AudioCapturePump(AudioChild* a, AudioStream* s) {
  for (;;) {
    AudioRequest* r = DequeueAudioRequest(a, kAudioCaptureUrb);
    if (!r) return;
    if (AudioNow(a) < r->DueFrame) {
      RequeueAudioRequest(a, r);
      return;
    }
    const AudioUrbHold hold = r->Hold.Urb;
    IRP* irp = TakeAudioIrp(r);
    CountAudioRequestDone(a, kAudioCaptureUrb);
    ReturnAudioRequest(a, r);
    if (irp) CompleteCaptureUrb(a, s, irp, hold.Urb, hold.Buffer);
    if (!ReadFlag(a->Started)) return;
  }
}

void AudioRenderThread(PVOID context) {
  AudioChild* a = AudioObject(context);
  AudioStream* s = &a->Streams[kRenderStream];
  KeSetBasePriorityThread(KeGetCurrentThread(), kRenderBaseIncrement);
  KeSetPriorityThread(KeGetCurrentThread(), kRenderPriority);
  PVOID events[2] = {&s->StopEvent, &s->WorkEvent};
  LARGE_INTEGER tick;
  tick.QuadPart = kTimerDue100ns;
  while (Running(s)) {
    const NTSTATUS wait =
        KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE, &tick, nullptr);
    if (wait == STATUS_WAIT_0 || !Running(s)) break;
    AudioRenderPump(a, s);
  }
  FlushAudioQueue(a, kAudioRenderUrb);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

void AudioCaptureThread(PVOID context) {
  AudioChild* a = AudioObject(context);
  AudioStream* s = &a->Streams[kCaptureStream];
  KeSetPriorityThread(KeGetCurrentThread(), kCapturePriority);
  PVOID events[2] = {&s->StopEvent, &s->WorkEvent};
  while (Running(s)) {
    const NTSTATUS wait =
        KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
    if (wait == STATUS_WAIT_0 || !Running(s)) break;
    while (Running(s)) {
      AudioRequest* r = DequeueAudioRequest(a, kAudioCaptureUrb);
      if (!r) break;
      const AudioUrbHold hold = r->Hold.Urb;
      const ULONGLONG due = r->DueFrame;
      IRP* irp = TakeAudioIrp(r);
      CountAudioRequestDone(a, kAudioCaptureUrb);
      ReturnAudioRequest(a, r);
      if (!irp) continue;
      while (Running(s) && AudioNow(a) < due) DelayMilliseconds(1);
      // The same delivery as the timer's pump: the ring's bytes and a status of their own.
      CompleteCaptureUrb(a, s, irp, hold.Urb, hold.Buffer);
    }
  }
  FlushAudioQueue(a, kAudioCaptureUrb);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS AudioIsochTransfer(PVOID ctx, IRP* irp, URB* urb, bool* pending,
                            USBD_INTERFACE_INFORMATION*, USBD_PIPE_INFORMATION* pipe,
                            PVOID buffer) {
  AudioChild* a = AudioObject(ctx);
  if (!a || !irp || !urb || !pending || !pipe) return STATUS_INVALID_PARAMETER;
  if (!ReadFlag(a->Started) || ReadFlag(a->Gone)) {
    SetUrbStatus(urb, USBD_STATUS_DEVICE_GONE);
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  const bool in = (urb->UrbIsochronousTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  if (pipe->EndpointAddress == kRenderEndpoint && !in)
    return AudioRenderIsoOut(a, &a->Streams[kRenderStream], irp, urb, pending, buffer);
  if (pipe->EndpointAddress == kCaptureEndpoint && in)
    return AudioCaptureIsoIn(a, &a->Streams[kCaptureStream], irp, urb, pending, buffer);
  SetUrbStatus(urb, USBD_STATUS_NOT_SUPPORTED);
  return STATUS_NOT_SUPPORTED;
}

void AudioRenderCancel(DEVICE_OBJECT* device, IRP* irp) { CancelHeld(device, irp, kAudioRenderUrb); }

void AudioCaptureCancel(DEVICE_OBJECT* device, IRP* irp) {
  CancelHeld(device, irp, kAudioCaptureUrb);
}

}  // namespace vorn::station
