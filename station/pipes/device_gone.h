// The rule by which every pipe marks the device as gone from its own finished transfers, and
// asks the worker to take the device interface away.
#pragma once

#include "platform/kernel/usb.h"

namespace vorn::station {

struct StationExtension;

// Which pipe finished the transfer. The forms differ in what counts as a failed transfer,
// what marks the device as gone, and when the worker is asked to act:
//
//   form        looked at when                 DeviceGone set when                  worker asked when
//   kControl    IRP or URB status negative     IRP status NOT_CONNECTED or          this transfer set it
//                                              NO_SUCH_DEVICE, or URB DEVICE_GONE
//   kInterrupt  IRP or URB status negative     as kControl                          DeviceGone is set (now
//                                                                                   or by an earlier one)
//   kBulk       IRP status negative            as kControl, or URB status negative  as kInterrupt
//                                              while the IRP was not cancelled
//
// Asking the worker means setting InterfaceOffRequest and signalling WorkerKickEvent. A
// transfer that did not fail (by its form's test) changes nothing.
enum class DeviceGoneForm : UCHAR { kControl, kInterrupt, kBulk };

// Applies the rule of |form| to one finished transfer of |station| that ended with the IRP
// status |irp_status| and the URB header status |urb_status|. Callable at DISPATCH_LEVEL
// (from completion routines); touches only the station's atomic flags and its kick event.
// Returns true when DeviceGone is set after the check (by this transfer or an earlier one).
bool ApplyDeviceGoneRule(StationExtension* station, DeviceGoneForm form, NTSTATUS irp_status,
                         USBD_STATUS urb_status);

}  // namespace vorn::station
