// Capture: the chip's captured audio arrives on the bulk-IN pipe in pieces that the read
// handler writes into the capture ring, one preload ahead of the reader; each isochronous IN
// URB gets its packet lengths and start frame when it arrives and takes its bytes out of the
// ring when that frame is due. The ring's offsets are shared by the read handler and the
// pump, so both sides work under the stream lock.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "station/bus/audio_stream_internal.h"
#include "station/bus/audio_stream_ring.h"
#include "station/kernel_utils.h"
#include "station/station_extension.h"

namespace vorn::station {

NTSTATUS AudioCaptureIsoIn(AudioChild* a, AudioStream* s, IRP* irp, URB* urb, bool* pending,
                           PVOID buffer) {
  auto& u = urb->UrbIsochronousTransfer;
  if (!s->Present || s->AlternateSetting == 0) {
    SetUrbStatus(urb, USBD_STATUS_ISOCH_REQUEST_FAILED);
    return STATUS_UNSUCCESSFUL;
  }
  // The packet descriptors are the caller's: they must lie inside its URB and describe its
  // buffer before anything is copied by them.
  const ULONG packets = u.NumberOfPackets;
  const size_t needed =
      offsetof(_URB_ISOCH_TRANSFER, IsoPacket) + size_t{packets} * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
  ULONG laid = 0;
  if (!s->Ring || !buffer || packets == 0 || urb->UrbHeader.Length < needed ||
      !LayCapturePackets(u.IsoPacket, packets, std::min(u.TransferBufferLength, s->BytesPer10Ms),
                         s->BytesPerMs, u.TransferBufferLength, &laid)) {
    SetUrbStatus(urb, USBD_STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  u.TransferBufferLength = laid;

  const ULONG now = AudioNow(a);
  KIRQL irql;
  KeAcquireSpinLock(&s->Lock, &irql);
  const bool fresh = s->StartFrame == 0 && s->AcceptedBytes == 0;
  if (fresh || now > s->ExpectedFrame + kAudioRestartSlackMs) {
    s->AcceptedBytes = 0;
    s->AcceptedMs = 0;
    s->ReadOffset = 0;
    // The reader starts a preload behind the writer; what the ring held there from before
    // the restart is not this stream's any more, so the reader gets silence.
    const ULONG preload = std::min(s->PreloadBytes, s->RingBytes);
    std::memset(s->Ring, 0, preload);
    s->WriteOffset = preload % s->RingBytes;
    s->RestartTime = now;
    s->StartFrame = now + s->StartOffset;
  }
  s->ExpectedFrame = s->StartFrame + s->AcceptedMs;
  u.StartFrame = s->ExpectedFrame;
  s->AcceptedBytes += laid;
  s->AcceptedMs = BytesToMs(s, s->AcceptedBytes);
  KeReleaseSpinLock(&s->Lock, irql);

  SetUrbStatus(urb, USBD_STATUS_SUCCESS);
  return HoldAudioUrb(a, s, kAudioCaptureUrb, irp, urb, buffer, u.StartFrame, pending);
}

void AudioCaptureData(PVOID, PVOID data, const protocol::BusMessageHeader*, const UCHAR* payload,
                      ULONG, ULONG length) {
  auto* s = static_cast<AudioStream*>(data);
  if (!s || !payload || length == 0) return;
  KIRQL irql;
  KeAcquireSpinLock(&s->Lock, &irql);
  if (s->Ring && s->RingBytes) {
    CorrectCaptureDrift(s->Ring, s->RingBytes, s->ReadOffset, &s->WriteOffset, s->PreloadBytes);
    RingWrite(s->Ring, s->RingBytes, &s->WriteOffset, payload, length);
  }
  KeReleaseSpinLock(&s->Lock, irql);
}

void CompleteCaptureUrb(AudioChild* a, AudioStream* s, IRP* irp, URB* urb, PVOID buffer) {
  NTSTATUS status;
  USBD_STATUS usbd;
  if (!ClearAudioCancelRoutine(irp)) {
    // Cancelled while out of its queue: the cancel routine found nothing to complete.
    status = STATUS_CANCELLED;
    usbd = USBD_STATUS_CANCELED;
  } else if (!ReadFlag(a->Started) || ReadFlag(a->Gone)) {
    status = STATUS_DEVICE_NOT_CONNECTED;
    usbd = USBD_STATUS_DEVICE_GONE;
  } else if (s->AlternateSetting == 1) {
    auto& u = urb->UrbIsochronousTransfer;
    auto* out = static_cast<UCHAR*>(buffer);
    KIRQL irql;
    KeAcquireSpinLock(&s->Lock, &irql);
    for (ULONG i = 0; i < u.NumberOfPackets; ++i) {
      // The reader never passes the writer: bytes not captured yet are silence, and the
      // next piece then lands a preload further on (drift correction) instead of behind
      // the reader, where it would be lost until the ring came round again.
      const USBD_ISO_PACKET_DESCRIPTOR& p = u.IsoPacket[i];
      const ULONG have = std::min(p.Length, RingGap(s->ReadOffset, s->WriteOffset, s->RingBytes));
      RingTake(s->Ring, s->RingBytes, &s->ReadOffset, out + p.Offset, have);
      std::memset(out + p.Offset + have, 0, p.Length - have);
    }
    KeReleaseSpinLock(&s->Lock, irql);
    status = STATUS_SUCCESS;
    usbd = USBD_STATUS_SUCCESS;
  } else {
    status = STATUS_CANCELLED;
    usbd = USBD_STATUS_CANCELED;
  }
  SetUrbStatus(urb, usbd);
  CompleteIrp(irp, status, 0);
}

}  // namespace vorn::station
