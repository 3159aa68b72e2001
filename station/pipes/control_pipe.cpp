// The default control pipe: vendor and class requests sent as URBs, serialised by the pipe's
// mutex, bounded by the caller's time-out and by the station's AbortEvent, retried while they
// end cancelled, with the six identity items of the device value request cached.
#include <cstring>

#include "protocol/vendor_request.h"
#include "station/driver_globals.h"
#include "station/kernel_utils.h"
#include "station/pipes/device_gone.h"
#include "station/station_extension.h"

namespace vorn::station {
namespace {

constexpr ULONG kTagControlPipe = PoolTag("epc_");
constexpr ULONG kTagControlUrb = PoolTag("ctrl");
constexpr ULONG kControlUrbBytes = 152;
constexpr ULONG kCachedItems = 6;

struct ControlPipe {
  StationExtension* Station;
  USBD_PIPE_INFORMATION PipeInfo;
  KMUTEX Mutex;
  UCHAR Enabled;
  UCHAR CacheValid[kCachedItems];
};

// Where item n of the device value request lives in the station, and its size.
void* CachedItem(StationExtension* s, ULONG item, ULONG* size) {
  *size = protocol::DeviceValueSize(item);
  switch (item) {
    case protocol::DeviceValueHwPlatform: return &s->HwPlatform;
    case protocol::DeviceValueBootCodeVersion: return &s->BootCodeVersion;
    case protocol::DeviceValueImageCodeVersion: return &s->ImageCodeVersion;
    case protocol::DeviceValuePrjCode: return s->PrjCode;
    case protocol::DeviceValueVendorCmdVersion: return &s->VendorCmdVersion;
    case protocol::DeviceValueDeviceId: return s->DeviceId;
    default: return nullptr;
  }
}

NTSTATUS ControlTransferCompletion(DEVICE_OBJECT*, IRP*, PVOID event) {
  KeSetEvent(static_cast<KEVENT*>(event), 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ControlTransferOnce(ControlPipe* pipe, ULONG direction_flags, USHORT urb_function,
                             UCHAR request, USHORT value, USHORT index, ULONG length,
                             PVOID buffer, ULONG* transferred, LARGE_INTEGER* timeout,
                             ULONG* usbd_status) {
  if (!pipe) {
    *usbd_status = static_cast<ULONG>(USBD_STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  StationExtension* station = pipe->Station;
  if (ReadFlag(station->DeviceGone)) {
    *usbd_status = static_cast<ULONG>(USBD_STATUS_DEVICE_GONE);
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  *transferred = 0;
  auto* urb = static_cast<URB*>(AllocatePool(NonPagedPoolNx, kControlUrbBytes, kTagControlUrb));
  if (!urb) {
    *usbd_status = static_cast<ULONG>(USBD_STATUS_INSUFFICIENT_RESOURCES);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  auto& r = urb->UrbControlVendorClassRequest;
  r.Hdr.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  r.Hdr.Function = urb_function;
  r.TransferFlags = direction_flags;
  r.TransferBufferLength = length;
  r.TransferBuffer = buffer;
  r.Request = request;
  r.Value = value;
  r.Index = index;

  IO_STATUS_BLOCK iosb{};
  IRP* irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB,
                                           station->LowerDeviceObject, nullptr, 0, nullptr, 0,
                                           TRUE, nullptr, &iosb);
  if (!irp) {
    ExFreePoolWithTag(urb, kTagControlUrb);
    *usbd_status = static_cast<ULONG>(USBD_STATUS_INSUFFICIENT_RESOURCES);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
  next->Parameters.Others.Argument1 = urb;
  next->Parameters.Others.Argument2 = nullptr;
  IoSetCompletionRoutine(irp, ControlTransferCompletion, &done, TRUE, TRUE, TRUE);

  if (IoCallDriver(station->LowerDeviceObject, irp) == STATUS_PENDING) {
    PVOID events[] = {&station->AbortEvent, &done};
    NTSTATUS wait = KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE,
                                             timeout, nullptr);
    if (wait == STATUS_WAIT_0 || wait == STATUS_TIMEOUT) {
      IoCancelIrp(irp);
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
  }
  NTSTATUS status = irp->IoStatus.Status;
  *usbd_status = static_cast<ULONG>(r.Hdr.Status);
  *transferred = r.TransferBufferLength;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  ApplyDeviceGoneRule(station, DeviceGoneForm::kControl, status, r.Hdr.Status);
  ExFreePoolWithTag(urb, kTagControlUrb);
  return status;
}

NTSTATUS ControlTransfer(PVOID object, ULONG direction_flags, USHORT urb_function, UCHAR request,
                         USHORT value, USHORT index, ULONG length, PVOID buffer,
                         ULONG* transferred, LARGE_INTEGER* timeout, ULONG* usbd_status) {
  auto* pipe = static_cast<ControlPipe*>(object);
  if (!pipe) {
    *usbd_status = static_cast<ULONG>(USBD_STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  StationExtension* station = pipe->Station;
  KeWaitForSingleObject(&pipe->Mutex, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status;
  if (ReadFlag(station->DeviceGone)) {
    status = STATUS_DEVICE_NOT_CONNECTED;
  } else if (request == protocol::ReqReadDeviceValue && value == 0 &&
             (direction_flags & USBD_TRANSFER_DIRECTION_IN)) {
    ULONG size = 0;
    void* field = CachedItem(station, index, &size);
    bool cached = field && pipe->CacheValid[index] &&
                  !(index == protocol::DeviceValueDeviceId && station->DeviceIdStale);
    if (cached) {
      if (length < size) {
        *usbd_status = static_cast<ULONG>(USBD_STATUS_BUFFER_TOO_SMALL);
        status = STATUS_BUFFER_TOO_SMALL;
      } else {
        if (buffer != field) std::memcpy(buffer, field, size);
        *transferred = size;
        *usbd_status = 0;
        status = STATUS_SUCCESS;
      }
    } else {
      status = ControlTransferOnce(pipe, direction_flags, urb_function, request, value, index,
                                   length, buffer, transferred, timeout, usbd_status);
      // Only an answer that carried the whole item is cached.
      if (field && NT_SUCCESS(status) && *transferred >= size && length >= size) {
        if (buffer != field) std::memcpy(field, buffer, size);
        pipe->CacheValid[index] = 1;
        if (index == protocol::DeviceValueDeviceId) station->DeviceIdStale = 0;
      }
    }
  } else {
    int attempts = g_StationGlobals->CEPM_RetryCount;
    do {
      status = ControlTransferOnce(pipe, direction_flags, urb_function, request, value, index,
                                   length, buffer, transferred, timeout, usbd_status);
    } while (status == STATUS_CANCELLED && !ReadFlag(station->DeviceGone) && --attempts > 0);
  }
  KeReleaseMutex(&pipe->Mutex, FALSE);
  return status;
}

void EnableControlPipe(PVOID object, UCHAR on) { static_cast<ControlPipe*>(object)->Enabled = on; }

void DestroyControlPipe(PVOID object) {
  auto* pipe = static_cast<ControlPipe*>(object);
  pipe->Enabled = 0;
  ExFreePoolWithTag(pipe, kTagControlPipe);
}

}  // namespace

void NoOpFlush(PVOID, ULONG) {}
void NoOpNotify(PVOID) {}

NTSTATUS CreateControlPipe(StationExtension* station, PipeOps* table, ULONG table_size,
                           const USBD_PIPE_INFORMATION* info) {
  if (!station || !table || !info || table_size < sizeof(PipeOps)) return STATUS_INVALID_PARAMETER;
  *table = PipeOps{};
  auto* pipe = static_cast<ControlPipe*>(AllocatePool(NonPagedPoolNx, sizeof(ControlPipe),
                                                      kTagControlPipe));
  if (!pipe) return STATUS_INSUFFICIENT_RESOURCES;
  pipe->Station = station;
  pipe->PipeInfo = *info;
  KeInitializeMutex(&pipe->Mutex, 0);
  table->Object = pipe;
  table->Destroy = DestroyControlPipe;
  table->Enable = EnableControlPipe;
  table->ControlTransfer = ControlTransfer;
  table->FlushChannel = NoOpFlush;
  return STATUS_SUCCESS;
}

}  // namespace vorn::station
