// The station's WMI data provider: registration of its one data block, the library's routines
// that read and set it, and the system-control dispatch that hands requests to the library.
#include "station/wmi.h"

#include <cstring>

#include "protocol/guids.h"
#include "station/dispatch.h"
#include "station/driver_globals.h"
#include "station/kernel_utils.h"
#include "station/station_start.h"

namespace vorn::station {
namespace {

WMIGUIDREGINFO g_wmi_guids[] = {{&protocol::kWmiDataBlockGuid, 1, 0}};

// The name's length in characters, bounded; a name the bound cannot measure counts as empty.
constexpr SIZE_T kWmiNameMaxChars = 32;

NTSTATUS Answer(DEVICE_OBJECT* device, IRP* irp, NTSTATUS status, ULONG used) {
  return WmiCompleteRequest(device, irp, status, used, IO_NO_INCREMENT);
}

// The debug level is driver-wide and may be set by a tool while another thread reads it.
void SetBulkDebugLevel(const UCHAR* data) {
  ULONG level;
  std::memcpy(&level, data, sizeof level);
  __atomic_store_n(&g_StationGlobals->BulkDebugLevel, level, __ATOMIC_SEQ_CST);
}

}  // namespace

NTSTATUS WmiRegister(StationExtension* station) {
  WMILIB_CONTEXT& c = station->WmiLibContext;
  c.GuidCount = 1;
  c.GuidList = g_wmi_guids;
  c.QueryWmiRegInfo = WmiQueryRegInfo;
  c.QueryWmiDataBlock = WmiQueryDataBlock;
  c.SetWmiDataBlock = WmiSetDataBlock;
  c.SetWmiDataItem = WmiSetDataItem;
  c.ExecuteWmiMethod = nullptr;
  c.WmiFunctionControl = nullptr;
  NTSTATUS status = IoWMIRegistrationControl(station->DeviceObject, WMIREG_ACTION_REGISTER);
  if (NT_SUCCESS(status)) station->WmiRegistered = 1;
  return status;
}

void WmiDeregister(StationExtension* station) {
  if (!station->WmiRegistered) return;
  station->WmiRegistered = 0;
  IoWMIRegistrationControl(station->DeviceObject, WMIREG_ACTION_DEREGISTER);
}

NTSTATUS WmiQueryRegInfo(DEVICE_OBJECT* device, ULONG* reg_flags, PUNICODE_STRING,
                         PUNICODE_STRING* registry_path, PUNICODE_STRING mof_resource_name,
                         DEVICE_OBJECT** pdo) {
  *reg_flags = WMIREG_FLAG_INSTANCE_PDO;
  *registry_path = &g_DriverServices->RegistryPath;
  RtlInitUnicodeString(mof_resource_name, kWmiMofResourceName);
  *pdo = Station(device)->PhysicalDeviceObject;
  return STATUS_SUCCESS;
}

NTSTATUS WmiQueryDataBlock(DEVICE_OBJECT* device, IRP* irp, ULONG guid_index, ULONG,
                           ULONG, ULONG* instance_lengths, ULONG buffer_avail, PUCHAR buffer) {
  if (guid_index != 0) return Answer(device, irp, STATUS_WMI_GUID_NOT_FOUND, 0);
  constexpr ULONG kSize = sizeof(WmiStationInstance);
  if (buffer_avail < kSize || !buffer) return Answer(device, irp, STATUS_BUFFER_TOO_SMALL, kSize);
  SIZE_T chars = 0;
  if (!NT_SUCCESS(RtlStringCchLengthW(kWmiStationName, kWmiNameMaxChars, &chars))) chars = 0;
  WmiStationInstance instance{};
  instance.BulkDebugLevel = __atomic_load_n(&g_StationGlobals->BulkDebugLevel, __ATOMIC_SEQ_CST);
  instance.NameBytes = static_cast<USHORT>((chars + 1) * sizeof(WCHAR));
  std::memcpy(instance.Name, kWmiStationName, chars * sizeof(WCHAR));
  std::memcpy(buffer, &instance, kSize);
  if (instance_lengths) instance_lengths[0] = kSize;
  return Answer(device, irp, STATUS_SUCCESS, kSize);
}

NTSTATUS WmiSetDataBlock(DEVICE_OBJECT* device, IRP* irp, ULONG guid_index, ULONG,
                         ULONG buffer_size, PUCHAR buffer) {
  if (guid_index != 0) return Answer(device, irp, STATUS_WMI_GUID_NOT_FOUND, 0);
  if (buffer_size != sizeof(ULONG) || !buffer) return Answer(device, irp, STATUS_INFO_LENGTH_MISMATCH, 0);
  SetBulkDebugLevel(buffer);
  return Answer(device, irp, STATUS_SUCCESS, sizeof(ULONG));
}

NTSTATUS WmiSetDataItem(DEVICE_OBJECT* device, IRP* irp, ULONG guid_index, ULONG,
                        ULONG item_id, ULONG buffer_size, PUCHAR buffer) {
  if (guid_index != 0) return Answer(device, irp, STATUS_WMI_GUID_NOT_FOUND, 0);
  if (item_id != kWmiItemBulkDebugLevel) return Answer(device, irp, STATUS_WMI_READ_ONLY, 0);
  if (buffer_size != sizeof(ULONG) || !buffer) return Answer(device, irp, STATUS_INFO_LENGTH_MISMATCH, 0);
  SetBulkDebugLevel(buffer);
  return Answer(device, irp, STATUS_SUCCESS, sizeof(ULONG));
}

NTSTATUS DispatchSystemControl(DEVICE_OBJECT* device, IRP* irp) {
  if (!IsStationDevice(device)) {
    // A child provides no block: its request ends as it came.
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  StationExtension* station = Station(device);
  if (__atomic_load_n(&station->FdoState, __ATOMIC_SEQ_CST) == kFdoRemoved)
    return CompleteIrp(irp, STATUS_DELETE_PENDING, 0);
  AcquireIoCount(station);
  SYSCTL_IRP_DISPOSITION disposition = IrpNotWmi;
  NTSTATUS status = WmiSystemControl(&station->WmiLibContext, device, irp, &disposition);
  switch (disposition) {
    case IrpProcessed:
      break;
    case IrpNotCompleted:
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      break;
    case IrpNotWmi:
    case IrpForward:
    default:
      IoSkipCurrentIrpStackLocation(irp);
      status = IoCallDriver(station->LowerDeviceObject, irp);
      break;
  }
  ReleaseIoCount(station);
  return status;
}

}  // namespace vorn::station
