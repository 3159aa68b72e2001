#include "display/device/bulk_write.h"

#include "display/device/trace.h"
#include "display/device/trace_messages.h"
#include "display/device/vendor_requests.h"

namespace vorn::display {
namespace {

void TraceFailed(uint32_t chunk, uint32_t length, NTSTATUS status) {
  TracePoint(kTraceUsb, kTraceError, kTraceUnitTransfers, kMsgBulkFailed,
             {chunk, length, static_cast<uint32_t>(status)});
}

// One chunk as one request; returns the request's final status.
NTSTATUS WriteChunk(SorvikDevice* device, WDFUSBPIPE pipe, const uint8_t* data, uint32_t length,
                    uint32_t chunk) {
  WDF_OBJECT_ATTRIBUTES request_attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&request_attributes);
  request_attributes.ParentObject = device->UsbDevice;
  WDFREQUEST request = nullptr;
  NTSTATUS status = Wdf<WdfRequestCreateTableIndex>(device, &request_attributes,
                                                    WdfUsbTargetPipeAsIoTarget(pipe), &request);
  if (!NT_SUCCESS(status) || !request) {
    if (NT_SUCCESS(status)) status = STATUS_INSUFFICIENT_RESOURCES;
    TraceFailed(chunk, length, status);
    return status;
  }

  WDF_OBJECT_ATTRIBUTES memory_attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&memory_attributes);
  memory_attributes.ParentObject = request;
  WDFMEMORY memory = nullptr;
  status = Wdf<WdfMemoryCreatePreallocatedTableIndex>(
      device, &memory_attributes, static_cast<PVOID>(const_cast<uint8_t*>(data)), size_t{length},
      &memory);
  if (NT_SUCCESS(status) && !memory) status = STATUS_INSUFFICIENT_RESOURCES;
  if (NT_SUCCESS(status))
    status = Wdf<WdfUsbTargetPipeFormatRequestForWriteTableIndex>(device, pipe, request, memory,
                                                                  PWDFMEMORY_OFFSET{nullptr});
  if (NT_SUCCESS(status)) {
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(kBulkTimeoutMs));
    Wdf<WdfRequestSendTableIndex>(device, request, WdfUsbTargetPipeAsIoTarget(pipe), &options);
    // Sent or not, the request's status says how it ended.
    status = Wdf<WdfRequestGetStatusTableIndex>(device, request);
  }
  if (!NT_SUCCESS(status)) TraceFailed(chunk, length, status);
  if (memory) Wdf<WdfObjectDeleteTableIndex>(device, static_cast<WDFOBJECT>(memory));
  Wdf<WdfObjectDeleteTableIndex>(device, static_cast<WDFOBJECT>(request));
  return status;
}

}  // namespace

NTSTATUS BulkWrite(SorvikDevice* device, WDFUSBPIPE pipe, const void* buffer, uint32_t length) {
  if (length == 0 && !device->IpMode) return STATUS_SUCCESS;
  if (!pipe || (!buffer && length)) return STATUS_INVALID_PARAMETER;
  const uint32_t chunk_size = device->IpMode ? length : kBulkChunkSize;
  const uint32_t chunks = device->IpMode ? 1 : (length + kBulkChunkSize - 1) / kBulkChunkSize;
  const auto* data = static_cast<const uint8_t*>(buffer);
  NTSTATUS status = STATUS_SUCCESS;
  for (uint32_t i = 0; i < chunks; ++i) {
    const uint32_t offset = i * chunk_size;
    const uint32_t n = length - offset < chunk_size ? length - offset : chunk_size;
    status = WriteChunk(device, pipe, data + offset, n, i);
    if (!NT_SUCCESS(status)) {
      if (status == STATUS_IO_TIMEOUT) ResetBulkStream(device);
      return status;
    }
  }
  return status;
}

NTSTATUS ResetPipe(SorvikDevice* device, WDFUSBPIPE pipe) {
  NTSTATUS status = Wdf<WdfUsbTargetPipeResetSynchronouslyTableIndex>(
      device, pipe, WDFREQUEST{nullptr}, PWDF_REQUEST_SEND_OPTIONS{nullptr});
  TracePoint(kTraceEntry, kTraceInfo, kTraceUnitTransfers, kMsgPipeReset,
             {static_cast<uint32_t>(status)});
  return status;
}

}  // namespace vorn::display
