// Pipe operations: endpoint direction, the maximum packet size check, the continuous reader's
// configuration and the synchronous pipe reset.
#include "platform/umdf/continuous_reader.h"
#include "platform/umdf/host_state.h"
#include "platform/umdf/operations.h"
#include "platform/umdf/request.h"
#include "platform/umdf/usb_target.h"

namespace vorn::umdf {

BOOLEAN WdfUsbTargetPipeIsInEndpoint(PWDF_DRIVER_GLOBALS globals, WDFUSBPIPE pipe) {
  constexpr const char* kOp = "WdfUsbTargetPipeIsInEndpoint";
  CheckGlobals(globals, kOp);
  return Resolve<Pipe>(pipe, Kind::kPipe, kOp)->is_in() ? TRUE : FALSE;
}

BOOLEAN WdfUsbTargetPipeIsOutEndpoint(PWDF_DRIVER_GLOBALS globals, WDFUSBPIPE pipe) {
  constexpr const char* kOp = "WdfUsbTargetPipeIsOutEndpoint";
  CheckGlobals(globals, kOp);
  return Resolve<Pipe>(pipe, Kind::kPipe, kOp)->is_in() ? FALSE : TRUE;
}

void WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(PWDF_DRIVER_GLOBALS globals, WDFUSBPIPE pipe) {
  constexpr const char* kOp = "WdfUsbTargetPipeSetNoMaximumPacketSizeCheck";
  CheckGlobals(globals, kOp);
  Resolve<Pipe>(pipe, Kind::kPipe, kOp)->no_max_packet_size_check.store(true);
}

NTSTATUS WdfUsbTargetPipeConfigContinuousReader(PWDF_DRIVER_GLOBALS globals, WDFUSBPIPE pipe,
                                                PWDF_USB_CONTINUOUS_READER_CONFIG config) {
  constexpr const char* kOp = "WdfUsbTargetPipeConfigContinuousReader";
  CheckGlobals(globals, kOp);
  auto* target = Resolve<Pipe>(pipe, Kind::kPipe, kOp);
  if (config == nullptr) return STATUS_INVALID_PARAMETER;
  if (config->Size != sizeof(WDF_USB_CONTINUOUS_READER_CONFIG)) return STATUS_INFO_LENGTH_MISMATCH;
  if (config->BufferAttributes != nullptr &&
      config->BufferAttributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES))
    return STATUS_INFO_LENGTH_MISMATCH;
  const EndpointInfo& endpoint = target->endpoint();
  if (!target->is_in() ||
      (endpoint.type != WdfUsbPipeTypeBulk && endpoint.type != WdfUsbPipeTypeInterrupt))
    return STATUS_INVALID_DEVICE_REQUEST;
  if (config->EvtUsbTargetPipeReadComplete == nullptr || config->TransferLength == 0 ||
      config->NumPendingReads > kWdfMaxNumPendingReads)
    return STATUS_INVALID_PARAMETER;
  if (config->TransferLength > kMaxReaderBufferSize ||
      config->HeaderLength > kMaxReaderBufferSize - config->TransferLength ||
      config->TrailerLength > kMaxReaderBufferSize - config->TransferLength - config->HeaderLength)
    return STATUS_INVALID_BUFFER_SIZE;
  if (!target->no_max_packet_size_check.load() && endpoint.max_packet_size != 0 &&
      config->TransferLength % endpoint.max_packet_size != 0)
    return STATUS_INVALID_BUFFER_SIZE;

  std::lock_guard<std::mutex> guard(target->reader_lock);
  if (target->reader) return STATUS_INVALID_DEVICE_STATE;
  target->reader = std::make_unique<ContinuousReader>(target, *config);
  return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetPipeResetSynchronously(PWDF_DRIVER_GLOBALS globals, WDFUSBPIPE pipe,
                                            WDFREQUEST request, PWDF_REQUEST_SEND_OPTIONS options) {
  constexpr const char* kOp = "WdfUsbTargetPipeResetSynchronously";
  CheckGlobals(globals, kOp);
  auto* target = Resolve<Pipe>(pipe, Kind::kPipe, kOp);
  if (request != nullptr) Resolve<Request>(request, Kind::kRequest, kOp);
  clock::Duration unused{};
  if (NTSTATUS s = SendTimeout(options, clock::Duration::zero(), &unused); !NT_SUCCESS(s)) return s;
  usb::UsbDevice& device = target->target().device();
  if (!device.Connected()) return STATUS_DEVICE_NOT_CONNECTED;
  device.ResetEndpoint(target->endpoint().address);
  return STATUS_SUCCESS;
}

}  // namespace vorn::umdf
