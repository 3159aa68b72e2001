// The DeviceGone rule shared by the control, interrupt-IN and bulk pipes.
#include "station/pipes/device_gone.h"

#include "station/station_extension.h"

namespace vorn::station {

bool ApplyDeviceGoneRule(StationExtension* station, DeviceGoneForm form, NTSTATUS irp_status,
                         USBD_STATUS urb_status) {
  const bool bulk = form == DeviceGoneForm::kBulk;
  const bool failed = bulk ? !NT_SUCCESS(irp_status) : (!NT_SUCCESS(irp_status) || urb_status < 0);
  if (!failed) return ReadFlag(station->DeviceGone) != 0;

  const bool gone = irp_status == STATUS_DEVICE_NOT_CONNECTED ||
                    irp_status == STATUS_NO_SUCH_DEVICE || urb_status == USBD_STATUS_DEVICE_GONE ||
                    (bulk && urb_status < 0 && irp_status != STATUS_CANCELLED);
  if (gone) WriteFlag(station->DeviceGone, 1);
  const bool is_gone = ReadFlag(station->DeviceGone) != 0;
  const bool ask_worker = form == DeviceGoneForm::kControl ? gone : is_gone;
  if (ask_worker) {
    WriteFlag(station->InterfaceOffRequest, 1);
    KeSetEvent(&station->WorkerKickEvent, 0, FALSE);
  }
  return is_gone;
}

}  // namespace vorn::station
