#include "display/interrupt/interrupt_reader.h"

#include <cstring>

#include "display/trace.h"
#include "display/trace_messages.h"
#include "platform/win32/synch.h"
#include "protocol/interrupt_packet.h"

namespace vorn::display {
namespace {

void InterruptReadComplete(WDFUSBPIPE, WDFMEMORY buffer, size_t bytes, WDFCONTEXT context) {
  auto* device = static_cast<SorvikDevice*>(context);
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
  if (!data || size < protocol::kIntInPacketSize) return;
  const uint8_t flags = data[0];
  if (!(flags & protocol::kPacketFlagDisplay)) return;
  const uint8_t events = data[19];
  if (events & protocol::kEventFrameAck) {
    device->LastAckedSequence = protocol::LoadLe32(data + 12);
  } else if (events & (protocol::kEventMonitorStatus0 | protocol::kEventMonitorStatus1)) {
    if (device->MonitorStatusEvent) SetEvent(device->MonitorStatusEvent);
  }
}

BOOLEAN InterruptReadersFailed(WDFUSBPIPE, NTSTATUS status, USBD_STATUS usbd_status) {
  TracePoint(kTraceInterrupt, kTraceError, kTraceUnitThreads, kMsgReaderFailed,
             {static_cast<uint32_t>(status), static_cast<uint32_t>(usbd_status)});
  return status == STATUS_INVALID_DEVICE_STATE ? FALSE : TRUE;
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

void StopInterruptReader(SorvikDevice* device) {
  if (!device->InterruptReaderStarted || !device->InterruptPipe) return;
  Wdf<WdfIoTargetStopTableIndex>(device, WdfUsbTargetPipeAsIoTarget(device->InterruptPipe),
                                 WdfIoTargetCancelSentIo);
  device->InterruptReaderStarted = 0;
}

}  // namespace vorn::display
