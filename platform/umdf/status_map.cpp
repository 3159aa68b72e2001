#include "platform/umdf/status_map.h"

namespace vorn::umdf {

UsbResult MapTransferStatus(usb::TransferStatus status, bool timed_out) {
  switch (status) {
    case usb::TransferStatus::kSuccess:
      return {STATUS_SUCCESS, USBD_STATUS_SUCCESS};
    case usb::TransferStatus::kStall:
      return {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
    case usb::TransferStatus::kError:
      return {STATUS_DEVICE_DATA_ERROR, USBD_STATUS_XACT_ERROR};
    case usb::TransferStatus::kDeviceGone:
      return {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};
    case usb::TransferStatus::kCancelled:
      return {timed_out ? STATUS_IO_TIMEOUT : STATUS_CANCELLED, USBD_STATUS_CANCELED};
    case usb::TransferStatus::kPending:
      break;
  }
  return {STATUS_INTERNAL_ERROR, USBD_STATUS_NOT_ACCESSED};
}

UsbResult MapTransferResult(const usb::Transfer& transfer, bool timed_out) {
  if (transfer.has_system_status && !timed_out)
    return {static_cast<NTSTATUS>(transfer.system_status), static_cast<USBD_STATUS>(transfer.usbd_status)};
  return MapTransferStatus(transfer.status, timed_out);
}

clock::Duration WaitFromWdfTimeout(LONGLONG value) {
  // Longer waits are as good as endless and would overflow the real deadline.
  constexpr int64_t kMaxUnits = 1'000'000'000'000'000;  // about three years of 100 ns
  if (value < 0) return clock::Duration((value < -kMaxUnits ? kMaxUnits : -value) * 100);
  const int64_t deadline_ns = (value > kMaxUnits ? kMaxUnits : value) * 100;
  const int64_t left = deadline_ns - clock::NowNs();
  return clock::Duration(left > 0 ? left : 1);
}

NTSTATUS SendTimeout(const WDF_REQUEST_SEND_OPTIONS* options, clock::Duration fallback,
                     clock::Duration* timeout) {
  *timeout = fallback;
  if (options == nullptr) return STATUS_SUCCESS;
  if (options->Size != sizeof(WDF_REQUEST_SEND_OPTIONS)) return STATUS_INFO_LENGTH_MISMATCH;
  constexpr ULONG kKnown = WDF_REQUEST_SEND_OPTION_TIMEOUT | WDF_REQUEST_SEND_OPTION_SYNCHRONOUS |
                           WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE;
  if ((options->Flags & ~kKnown) != 0) return STATUS_INVALID_PARAMETER;
  if ((options->Flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) == 0) {
    *timeout = clock::Duration::zero();
    return STATUS_SUCCESS;
  }
  *timeout = options->Timeout == 0 ? clock::Duration::zero() : WaitFromWdfTimeout(options->Timeout);
  return STATUS_SUCCESS;
}

}  // namespace vorn::umdf
