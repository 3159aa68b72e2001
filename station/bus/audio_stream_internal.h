// What the audio streaming files share: the child from a module context, the URB statuses
// they set and the completion of a URB's IRP.
#pragma once

#include "station/bus/audio_child.h"

namespace vorn::station {

// A URB arriving more than this many ms after the frame the stream expected restarts it.
inline constexpr ULONG kAudioRestartSlackMs = 15;

inline AudioChild* AudioObject(PVOID ctx) { return static_cast<AudioChild*>(ctx); }

inline void SetUrbStatus(URB* urb, USBD_STATUS status) { urb->UrbHeader.Status = status; }

// The station's millisecond clock, the frame counter of the child's isochronous pipes.
ULONG AudioNow(AudioChild* a);

// Takes the IRP out of a URB request (atomic exchange); null when the flush or the cancel
// routine took it first.
IRP* TakeAudioIrp(AudioRequest* r);

// Completes a URB's IRP taken from its request with |status| and |usbd| in its URB, unless
// the IRP was cancelled meanwhile: its cancel routine has then been called and found no
// request holding it, so it is completed here as cancelled.
void CompleteAudioUrb(IRP* irp, URB* urb, NTSTATUS status, USBD_STATUS usbd);
// Clears the cancel routine of an IRP taken out of its request; false when IoCancelIrp had
// taken it already. That call is running or has run (it finds no request holding the IRP),
// and it holds the cancel spin lock until its routine releases it: waiting for the lock here
// lets it finish with the IRP before the caller completes it.
bool ClearAudioCancelRoutine(IRP* irp);

// Completes a due capture URB as the pump does: the ring's bytes into its packets while the
// stream plays, cancelled at alternate setting 0, device gone once the child stopped or is
// gone. Takes the stream lock for the ring.
void CompleteCaptureUrb(AudioChild* a, AudioStream* s, IRP* irp, URB* urb, PVOID buffer);

// Queues a URB of |kind| until |due| with its cancel routine set and marks its IRP pending
// (STATUS_PENDING, *pending set). An IRP already cancelled is not queued: STATUS_CANCELLED
// with USBD_STATUS_CANCELED, for the caller to complete. No request record: the
// insufficient-resources pair.
NTSTATUS HoldAudioUrb(AudioChild* a, AudioStream* s, ULONG kind, IRP* irp, URB* urb,
                      PVOID buffer, ULONGLONG due, bool* pending);

// A pending-count step of the queue of |kind| (the caller of DequeueAudioRequest counts).
void CountAudioRequestDone(AudioChild* a, ULONG kind);

}  // namespace vorn::station
