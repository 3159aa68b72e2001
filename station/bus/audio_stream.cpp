// The audio child's isochronous streaming. Not part of this build yet: every entry fails
// loudly, so a started audio child reports STATUS_NOT_IMPLEMENTED instead of playing
// silence.
#include "station/bus/audio_child.h"
#include "station/kernel_utils.h"

namespace vorn::station {

NTSTATUS AudioStart(PVOID ctx) {
  if (!ctx) return STATUS_INVALID_PARAMETER;
  return NotBuilt("AudioStart");
}

void AudioStop(PVOID) { NotBuilt("AudioStop"); }

NTSTATUS AudioIsochTransfer(PVOID, IRP*, URB* urb, bool*, USBD_INTERFACE_INFORMATION*,
                            USBD_PIPE_INFORMATION*, PVOID) {
  if (urb) urb->UrbHeader.Status = static_cast<USBD_STATUS>(USBD_STATUS_NOT_SUPPORTED);
  return NotBuilt("AudioIsochTransfer");
}

void AudioTimerDpc(KDPC*, PVOID, PVOID, PVOID) { NotBuilt("AudioTimerDpc"); }

void AudioRenderThread(PVOID) {
  NotBuilt("AudioRenderThread");
  PsTerminateSystemThread(STATUS_NOT_IMPLEMENTED);
}

void AudioCaptureThread(PVOID) {
  NotBuilt("AudioCaptureThread");
  PsTerminateSystemThread(STATUS_NOT_IMPLEMENTED);
}

}  // namespace vorn::station
