// The requests the control interface passes through to the chip: NS vendor reads and writes,
// a user's vendor control transfer, and a user's bus message on the bulk-OUT pipe.
#include <cstring>

#include "protocol/bus_message.h"
#include "protocol/byte_order.h"
#include "protocol/frame_descriptor.h"
#include "protocol/vendor_request.h"
#include "station/control_interface.h"

namespace vorn::station {
namespace {

constexpr LONGLONG kTwoSeconds = -20000000;
constexpr ULONG kDirectionIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
constexpr ULONG kDirectionOut = USBD_SHORT_TRANSFER_OK;
constexpr ULONG kMaxSetupLength = 0xFFFF;  // wLength is 16 bits

NTSTATUS VendorTransfer(StationExtension* station, ULONG direction, UCHAR request, USHORT value,
                        USHORT index, PVOID buffer, ULONG length) {
  PipeOps& pipe = station->Pipes[kControlPipe];
  if (!pipe.Object || !pipe.ControlTransfer) return STATUS_DEVICE_NOT_READY;
  LARGE_INTEGER timeout;
  timeout.QuadPart = kTwoSeconds;
  ULONG transferred = 0, usbd_status = 0;
  return pipe.ControlTransfer(pipe.Object, direction, URB_FUNCTION_VENDOR_DEVICE, request, value,
                              index, length, length ? buffer : nullptr, &transferred, &timeout,
                              &usbd_status);
}

// View 0 keeps its request; another view's cursor requests go to that view's cursor.
bool RemapForView(UCHAR view, UCHAR* request) {
  if (view == 0) return true;
  switch (*request) {
    case protocol::ReqCursorPosition0:
      *request = protocol::ReqCursorPosition1;
      return true;
    case protocol::ReqCursorShow0:
      *request = protocol::ReqCursorShow1;
      return true;
    case protocol::ReqCursorShape0:
      *request = protocol::ReqCursorShape1;
      return true;
    default:
      return false;
  }
}

}  // namespace

NTSTATUS NsVendorRead(StationExtension* station, USHORT value, USHORT index, ULONG length,
                      PVOID buffer) {
  if (ReadFlag(station->DeviceGone)) return STATUS_DEVICE_NOT_CONNECTED;
  // A longer read would go out with a truncated wLength and fill less than the caller asked.
  if (length > kMaxSetupLength) return STATUS_INVALID_PARAMETER;
  if (length) std::memset(buffer, 0, length);
  return VendorTransfer(station, kDirectionIn, protocol::ReqNsRead, value, index, buffer, length);
}

NTSTATUS NsVendorWrite(StationExtension* station, USHORT value, USHORT index, ULONG length,
                       const void* buffer) {
  if (ReadFlag(station->DeviceGone)) return STATUS_DEVICE_NOT_CONNECTED;
  if (length > kMaxSetupLength) return STATUS_INVALID_PARAMETER;
  return VendorTransfer(station, kDirectionOut, protocol::ReqNsWrite, value, index,
                        const_cast<void*>(buffer), length);
}

NTSTATUS UserControlTransfer(IRP*, StationExtension* station, const UCHAR* record,
                             const void* buffer) {
  if (ReadFlag(station->DeviceGone)) return STATUS_DEVICE_NOT_CONNECTED;
  const UCHAR view = record[0];
  UCHAR request = record[1];
  const USHORT value = protocol::LoadLe16(record + 2);
  const USHORT index = protocol::LoadLe16(record + 4);
  const USHORT length = protocol::LoadLe16(record + 6);
  if (!RemapForView(view, &request)) return STATUS_UNSUCCESSFUL;
  return VendorTransfer(station, kDirectionOut, request, value, index, const_cast<void*>(buffer),
                        length);
}

NTSTATUS SendUserMessage(IRP* irp, StationExtension* station, const void* buffer, ULONG length) {
  using protocol::BusMessageType;
  if (ReadFlag(station->DeviceGone)) return STATUS_DEVICE_NOT_CONNECTED;
  const auto* bytes = static_cast<const UCHAR*>(buffer);
  if (!bytes || length < protocol::kBusMessageHeaderSize) return STATUS_INVALID_PARAMETER;
  const ULONG type = protocol::LoadLe32(bytes);
  const ULONG total = protocol::LoadLe32(bytes + 4);
  if (length - protocol::kBusMessageHeaderSize < total) return STATUS_INVALID_PARAMETER;
  if (type == protocol::ToWire(BusMessageType::Audio)) return STATUS_SUCCESS;
  if (type != protocol::ToWire(BusMessageType::Display)) return STATUS_UNSUCCESSFUL;
  if (total < protocol::kFrameDescriptorSize) return STATUS_INVALID_PARAMETER;

  PipeOps& pipe = station->Pipes[kBulkOutPipe];
  if (!pipe.Object || !pipe.WriteAsync) return STATUS_DEVICE_NOT_READY;
  protocol::BusMessageHeader header;
  std::memcpy(&header, bytes, sizeof header);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  IoSetCancelRoutine(irp, UserMessageCancel);
  IoReleaseCancelSpinLock(irql);
  IoMarkIrpPending(irp);
  ULONG request_id = 0;
  NTSTATUS status = pipe.WriteAsync(pipe.Object, &header, sizeof header,
                                    bytes + protocol::kBusMessageHeaderSize, total, &request_id,
                                    UserMessageComplete, nullptr, irp);
  if (status == STATUS_PENDING) return STATUS_PENDING;
  IoAcquireCancelSpinLock(&irql);
  IoSetCancelRoutine(irp, nullptr);
  IoReleaseCancelSpinLock(irql);
  IoGetCurrentIrpStackLocation(irp)->Control &= static_cast<UCHAR>(~SL_PENDING_RETURNED);
  return status;
}

void UserMessageCancel(DEVICE_OBJECT*, IRP* irp) {
  // The pipe still reads the caller's buffer: the IRP completes when the pipe is done with it.
  IoReleaseCancelSpinLock(irp->CancelIrql);
}

void UserMessageComplete(PVOID, IRP* irp, ULONG, ULONG, ULONG, NTSTATUS status, ULONG) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
  if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) || !routine) status = STATUS_CANCELLED;
  IoReleaseCancelSpinLock(irql);
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace vorn::station
