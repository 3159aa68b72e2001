// Render: each isochronous OUT URB's data is copied once, with the stream's gain, into the
// render ring and handed at once to the bulk-OUT pipe as type-3 messages read from the ring
// in place; the URB itself completes at its start frame. After a restart of the timing a
// preload of silence goes in front of the data.
#include <algorithm>
#include <cstring>

#include "station/bus/audio_stream_internal.h"
#include "station/bus/audio_stream_ring.h"
#include "station/bus/station_services.h"
#include "station/station_extension.h"

namespace vorn::station {
namespace {

// Takes a send request that the bulk-OUT pipe no longer holds off the in-flight list.
void EndRenderSend(AudioChild* a, AudioRequest* r) {
  AudioRequestQueue* q = &a->Queues[kAudioRenderSend];
  KIRQL irql;
  KeAcquireSpinLock(&q->Lock, &irql);
  RemoveEntryList(&r->PendingLink);
  InitializeListHead(&r->PendingLink);
  KeReleaseSpinLock(&q->Lock, irql);
  CountAudioRequestDone(a, kAudioRenderSend);
  ReturnAudioRequest(a, r);
}

// Sends |n| ring bytes at |at| as one type-3 message. The request is counted in flight
// before the pipe sees it, as its completion may run before the write returns.
NTSTATUS SendRingBytes(AudioChild* a, AudioStream* s, ULONG at, ULONG n) {
  AudioRequest* r = TakeAudioRequest(a, kAudioRenderSend);
  if (!r) return STATUS_INSUFFICIENT_RESOURCES;
  r->Hold.Header = protocol::BusMessageHeader{};
  r->Hold.Header.Type = protocol::ToWire(protocol::BusMessageType::Audio);
  r->Hold.Header.TotalLength = n;
  r->Hold.Header.Slice.SliceLength = n;
  QueueAudioRequest(a, r);
  ULONG id = 0;
  const NTSTATUS status =
      SvcWriteAsync(a->Child, kBulkOutEndpointCode, &r->Hold.Header, protocol::kBusMessageHeaderSize,
                    s->Ring + at, n, &id, AudioRenderSendDone, a, reinterpret_cast<IRP*>(r));
  if (status != STATUS_PENDING) {
    EndRenderSend(a, r);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

// Lays |count| bytes into the ring at |at|: first what is left of the preload's silence, then
// the URB's data with the gain.
void LayRenderBytes(AudioStream* s, ULONG at, ULONG count, ULONG* silence, const UCHAR** data) {
  const ULONG zeros = std::min(*silence, count);
  std::memset(s->Ring + at, 0, zeros);
  *silence -= zeros;
  ApplyStreamGain(s, s->Ring + at + zeros, *data, count - zeros);
  *data += count - zeros;
}

// The URB's |length| bytes (with the preload in front when one is due) into the ring and to
// the chip: one message, or two where the bytes cross the ring's end. The preload is
// shortened so that preload and data together never outgrow the ring; the caller has made
// sure the data alone fits.
NTSTATUS SendRender(AudioChild* a, AudioStream* s, const UCHAR* data, ULONG length) {
  ULONG silence = 0;
  if (s->PreloadPending) {
    s->PreloadPending = 0;
    silence = std::min(s->PreloadBytes, s->RingBytes - length);
  }
  const ULONG total = silence + length;
  ULONG at = s->WriteOffset % s->RingBytes;
  const ULONG first = std::min(total, s->RingBytes - at);
  LayRenderBytes(s, at, first, &silence, &data);
  NTSTATUS status = SendRingBytes(a, s, at, first);
  if (!NT_SUCCESS(status)) return status;
  at = (at + first) % s->RingBytes;
  s->WriteOffset = at;
  if (total > first) {
    const ULONG second = total - first;  // from the ring's start
    LayRenderBytes(s, 0, second, &silence, &data);
    status = SendRingBytes(a, s, 0, second);
    if (!NT_SUCCESS(status)) return status;
    s->WriteOffset = second % s->RingBytes;
  }
  return STATUS_SUCCESS;
}

}  // namespace

void ApplyStreamGain(const AudioStream* s, UCHAR* destination, const UCHAR* source, ULONG bytes) {
  AudioGain g;
  g.VolumeMode = s->VolumeMode;
  g.Mute = __atomic_load_n(&s->Mute, __ATOMIC_RELAXED);
  g.Channels = s->CurrentChannels;
  g.BytesPerFrame = s->BytesPerFrame;
  g.Gain0 = __atomic_load_n(&s->Gains[0], __ATOMIC_RELAXED);
  g.Gain1 = __atomic_load_n(&s->Gains[1], __ATOMIC_RELAXED);
  ApplyGain(g, destination, source, bytes);
}

NTSTATUS AudioRenderIsoOut(AudioChild* a, AudioStream* s, IRP* irp, URB* urb, bool* pending,
                           PVOID buffer) {
  auto& u = urb->UrbIsochronousTransfer;
  if (!s->Present || s->AlternateSetting == 0) {
    SetUrbStatus(urb, USBD_STATUS_ISOCH_REQUEST_FAILED);
    return STATUS_UNSUCCESSFUL;
  }
  const ULONG length = u.TransferBufferLength;
  // Played in place from the ring, a URB must fit it whole.
  if (!s->Ring || !buffer || length == 0 || length > s->RingBytes) {
    SetUrbStatus(urb, USBD_STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  const ULONG now = AudioNow(a);
  const bool fresh = s->StartFrame == 0 && s->AcceptedBytes == 0;
  if (fresh || now > s->ExpectedFrame + kAudioRestartSlackMs) {
    // The write offset stays where it is: the bytes before it may still be on their way to
    // the chip, read in place from the ring, and must not be overwritten by the new start.
    s->AcceptedBytes = 0;
    s->AcceptedMs = 0;
    s->PreloadPending = s->PreloadBytes != 0;
    s->RestartTime = now;
    s->StartFrame = now + s->StartOffset;
  }
  s->ExpectedFrame = s->StartFrame + s->AcceptedMs;
  u.StartFrame = s->ExpectedFrame;

  if (!g_AudioSettings.RenderConsumeMode) {
    if (!NT_SUCCESS(SendRender(a, s, static_cast<const UCHAR*>(buffer), length))) {
      SetUrbStatus(urb, USBD_STATUS_INSUFFICIENT_RESOURCES);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  s->AcceptedBytes += length;
  s->AcceptedMs = BytesToMs(s, s->AcceptedBytes);

  irp->IoStatus.Status = STATUS_SUCCESS;
  SetUrbStatus(urb, USBD_STATUS_SUCCESS);
  return HoldAudioUrb(a, s, kAudioRenderUrb, irp, urb, buffer, u.StartFrame, pending);
}

void AudioRenderSendDone(PVOID context, IRP* irp, ULONG, ULONG, ULONG, NTSTATUS status,
                         ULONG usbd_status) {
  AudioChild* a = AudioObject(context);
  auto* r = reinterpret_cast<AudioRequest*>(irp);
  if (!a || !r) return;
  if ((!NT_SUCCESS(status) || (static_cast<LONG>(usbd_status) < 0)) && status != STATUS_CANCELLED)
    WriteFlag(a->Gone, 1);
  EndRenderSend(a, r);
}

}  // namespace vorn::station
