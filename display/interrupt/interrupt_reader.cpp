#include "display/interrupt/interrupt_reader.h"

#include <algorithm>
#include <cstring>

#include "display/frames/frame_ack.h"
#include "display/device/trace.h"
#include "display/device/trace_messages.h"
#include "platform/win32/synch.h"
#include "protocol/interrupt_packet.h"

namespace vorn::display {
namespace {

// Back-off between restarts of a failing reader: doubles from the first pause up to the
// longest, and starts over once a read completes again. The reader's routines all run on its
// own thread, so the count of failures in a row lives there.
constexpr uint32_t kRetryFirstPauseMs = 10;
constexpr uint32_t kRetryLongestPauseMs = 500;
thread_local uint32_t tls_failures_in_a_row = 0;

uint32_t RetryPauseMs(uint32_t failures) {
  uint32_t pause = kRetryFirstPauseMs;
  for (uint32_t i = 1; i < failures && pause < kRetryLongestPauseMs; ++i) pause *= 2;
  return std::min(pause, kRetryLongestPauseMs);
}

// The one status after which the reader stays stopped: the station is not started. Every
// other failure is retried; the back-off keeps a device that is gone from spinning the reader
// until the plug-in stops it.
bool ReaderCannotRecover(NTSTATUS status) { return status == STATUS_INVALID_DEVICE_STATE; }

void InterruptReadComplete(WDFUSBPIPE, WDFMEMORY buffer, size_t bytes, WDFCONTEXT context) {
  auto* device = static_cast<SorvikDevice*>(context);
  tls_failures_in_a_row = 0;
  if (bytes == 0) {
    TracePoint(kTraceInterrupt, kTraceWarning, kTraceUnitThreads, kMsgReaderEmpty);
    return;
  }
  // Anything but a whole packet is a fault below us and is not parsed.
  if (bytes != protocol::kIntInPacketSize) {
    TracePoint(kTraceInterrupt, kTraceError, kTraceUnitThreads, kMsgReaderBadLength,
               {static_cast<uint32_t>(bytes)});
    return;
  }
  size_t size = 0;
  auto* data = static_cast<const uint8_t*>(Wdf<WdfMemoryGetBufferTableIndex>(device, buffer, &size));
  protocol::INT_IN_PACKET packet;
  if (!data || size < bytes || !protocol::DecodeIntInPacket(protocol::ByteSpan(data, bytes), &packet))
    return;
  if (!(packet.PacketFlags & protocol::kPacketFlagDisplay)) return;
  const uint8_t events = packet.EventBits;
  if (events & protocol::kEventFrameAck) {
    device->LastAckedSequence = packet.AckSequence;
    if (device->AckRing.Lock) AckFramesLocked(device, packet.AckSequence);
  } else if (events & (protocol::kEventMonitorStatus0 | protocol::kEventMonitorStatus1)) {
    TracePoint(kTraceInterrupt, kTraceInfo, kTraceUnitThreads, kMsgMonitorEvent, {events});
    if (device->MonitorStatusEvent) SetEvent(device->MonitorStatusEvent);
  } else if (events & protocol::kEventRefresh) {
    TracePoint(kTraceInterrupt, kTraceInfo, kTraceUnitThreads, kMsgRefreshEvent);
    FlushViews(device);
  }
}

BOOLEAN InterruptReadersFailed(WDFUSBPIPE, NTSTATUS status, USBD_STATUS usbd_status) {
  TracePoint(kTraceInterrupt, kTraceError, kTraceUnitThreads, kMsgReaderFailed,
             {static_cast<uint32_t>(status), static_cast<uint32_t>(usbd_status)});
  if (ReaderCannotRecover(status)) {
    TracePoint(kTraceInterrupt, kTraceError, kTraceUnitThreads, kMsgReaderGone,
               {static_cast<uint32_t>(status)});
    return FALSE;
  }
  // A pipe that fails at once after every reset must not spin the reader's thread.
  Sleep(RetryPauseMs(++tls_failures_in_a_row));
  return TRUE;
}

}  // namespace

NTSTATUS ConfigInterruptReader(SorvikDevice* device) {
  if (!device->InterruptPipe) return STATUS_SUCCESS;
  WDF_USB_CONTINUOUS_READER_CONFIG config;
  WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, &InterruptReadComplete, device,
                                        protocol::kIntInPacketSize);
  config.EvtUsbTargetPipeReadersFailed = &InterruptReadersFailed;
  NTSTATUS status =
      Wdf<WdfUsbTargetPipeConfigContinuousReaderTableIndex>(device, device->InterruptPipe, &config);
  if (!NT_SUCCESS(status)) {
    TracePoint(kTraceInterrupt, kTraceError, kTraceUnitThreads, kMsgReaderFailed,
               {static_cast<uint32_t>(status), 0});
    return status;
  }
  StartInterruptReader(device);
  return STATUS_SUCCESS;
}

void StartInterruptReader(SorvikDevice* device) {
  if (device->InterruptReaderStarted || !device->InterruptPipe) return;
  NTSTATUS status = Wdf<WdfIoTargetStartTableIndex>(
      device, WdfUsbTargetPipeAsIoTarget(device->InterruptPipe));
  if (NT_SUCCESS(status))
    device->InterruptReaderStarted = 1;
  else
    TracePoint(kTraceInterrupt, kTraceError, kTraceUnitThreads, kMsgReaderFailed,
               {static_cast<uint32_t>(status), 0});
}

void FlushViews(SorvikDevice* device) {
  for (ViewContext& view : device->Views) {
    if (!view.Present || !view.DirtyLock || !view.CursorLock) continue;
    LockUntimed(device, view.DirtyLock);
    view.FullRefresh = 1;
    Unlock(device, view.DirtyLock);
    if (view.DirtyEvent) SetEvent(view.DirtyEvent);

    LockUntimed(device, view.CursorLock);
    if (view.Hwc && view.Hwc->CurrentSlot != kNoCursorSlot) {
      view.PendingCursorFlags |=
          kCursorPendingShape | kCursorPendingPosition | kCursorPendingReupload;
      if (view.CursorEvent) SetEvent(view.CursorEvent);
    }
    Unlock(device, view.CursorLock);
  }
}

void StopInterruptReader(SorvikDevice* device) {
  if (!device->InterruptReaderStarted || !device->InterruptPipe) return;
  Wdf<WdfIoTargetStopTableIndex>(device, WdfUsbTargetPipeAsIoTarget(device->InterruptPipe),
                                 WdfIoTargetCancelSentIo);
  device->InterruptReaderStarted = 0;
}

}  // namespace vorn::display
