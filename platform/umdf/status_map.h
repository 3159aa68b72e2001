// How a finished transfer reads to a WDF caller: an NTSTATUS and the USB stack's status.
#pragma once

#include "platform/nt/status.h"
#include "platform/umdf/wdf.h"
#include "platform/usb/usb_device.h"

namespace vorn::umdf {

struct UsbResult {
  NTSTATUS status;
  USBD_STATUS usbd_status;
};

// kSuccess: STATUS_SUCCESS. kStall: STATUS_UNSUCCESSFUL with USBD_STATUS_STALL_PID.
// kError: STATUS_DEVICE_DATA_ERROR with USBD_STATUS_XACT_ERROR. kDeviceGone:
// STATUS_DEVICE_NOT_CONNECTED with USBD_STATUS_DEVICE_GONE. kCancelled: STATUS_CANCELLED
// with USBD_STATUS_CANCELED, or STATUS_IO_TIMEOUT when the host cancelled it for its
// time-out.
UsbResult MapTransferStatus(usb::TransferStatus status, bool timed_out);
// The same for a completed transfer: the statuses the device carried when it has them (a
// time-out of the host's own stays a time-out).
UsbResult MapTransferResult(const usb::Transfer& transfer, bool timed_out);

// The time-out of a synchronous send. |options| may be null (then |fallback|); a
// malformed block gives its status. A zero result waits without limit.
NTSTATUS SendTimeout(const WDF_REQUEST_SEND_OPTIONS* options, clock::Duration fallback,
                     clock::Duration* timeout);

// A WDF time-out value (100 ns units, negative relative, positive absolute on the process
// clock) as a wait from now; an absolute time already past gives the shortest wait.
clock::Duration WaitFromWdfTimeout(LONGLONG value);

}  // namespace vorn::umdf
