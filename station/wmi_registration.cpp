// The station's registration as a WMI data provider: one data block, one instance.
#include "protocol/guids.h"
#include "station/station_start.h"

namespace vorn::station {
namespace {
WMIGUIDREGINFO g_wmi_guids[] = {{&protocol::kWmiDataBlockGuid, 1, 0}};
}  // namespace

NTSTATUS WmiRegister(StationExtension* station) {
  WMILIB_CONTEXT& c = station->WmiLibContext;
  c.GuidCount = 1;
  c.GuidList = g_wmi_guids;
  NTSTATUS status = IoWMIRegistrationControl(station->DeviceObject, WMIREG_ACTION_REGISTER);
  if (NT_SUCCESS(status)) station->WmiRegistered = 1;
  return status;
}

void WmiDeregister(StationExtension* station) {
  if (!station->WmiRegistered) return;
  station->WmiRegistered = 0;
  IoWMIRegistrationControl(station->DeviceObject, WMIREG_ACTION_DEREGISTER);
}

}  // namespace vorn::station
