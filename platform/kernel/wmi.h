// WMI: a driver registers its device as a data provider (IoWMIRegistrationControl) and hands
// each IRP_MJ_SYSTEM_CONTROL to the WMI library (WmiSystemControl), which calls the routines
// of its WMILIB_CONTEXT; the routines answer through WmiCompleteRequest. The vorn::kernel::wmi
// calls play the management side: query and set a data block or item, read the
// registration.
#pragma once

#include "platform/kernel/irp.h"

constexpr UCHAR IRP_MN_QUERY_ALL_DATA = 0x00;
constexpr UCHAR IRP_MN_QUERY_SINGLE_INSTANCE = 0x01;
constexpr UCHAR IRP_MN_CHANGE_SINGLE_INSTANCE = 0x02;
constexpr UCHAR IRP_MN_CHANGE_SINGLE_ITEM = 0x03;
constexpr UCHAR IRP_MN_REGINFO = 0x08;

constexpr ULONG WMIREG_ACTION_REGISTER = 1;
constexpr ULONG WMIREG_ACTION_DEREGISTER = 2;
constexpr ULONG WMIREG_FLAG_INSTANCE_PDO = 0x00000020;

struct WMIGUIDREGINFO {
  const GUID* Guid;
  ULONG InstanceCount;
  ULONG Flags;
};

using PWMI_QUERY_REGINFO = NTSTATUS (*)(DEVICE_OBJECT* device, ULONG* reg_flags, PUNICODE_STRING instance_name,
                                        PUNICODE_STRING* registry_path, PUNICODE_STRING mof_resource_name,
                                        DEVICE_OBJECT** pdo);
using PWMI_QUERY_DATABLOCK = NTSTATUS (*)(DEVICE_OBJECT* device, IRP* irp, ULONG guid_index, ULONG instance_index,
                                          ULONG instance_count, ULONG* instance_lengths, ULONG buffer_avail,
                                          PUCHAR buffer);
using PWMI_SET_DATABLOCK = NTSTATUS (*)(DEVICE_OBJECT* device, IRP* irp, ULONG guid_index, ULONG instance_index,
                                        ULONG buffer_size, PUCHAR buffer);
using PWMI_SET_DATAITEM = NTSTATUS (*)(DEVICE_OBJECT* device, IRP* irp, ULONG guid_index, ULONG instance_index,
                                       ULONG item_id, ULONG buffer_size, PUCHAR buffer);
using PWMI_EXECUTE_METHOD = NTSTATUS (*)(DEVICE_OBJECT*, IRP*, ULONG, ULONG, ULONG, ULONG, ULONG, PUCHAR);
using PWMI_FUNCTION_CONTROL = NTSTATUS (*)(DEVICE_OBJECT*, IRP*, ULONG, ULONG, BOOLEAN);

struct WMILIB_CONTEXT {
  ULONG GuidCount;
  WMIGUIDREGINFO* GuidList;
  PWMI_QUERY_REGINFO QueryWmiRegInfo;
  PWMI_QUERY_DATABLOCK QueryWmiDataBlock;
  PWMI_SET_DATABLOCK SetWmiDataBlock;
  PWMI_SET_DATAITEM SetWmiDataItem;
  PWMI_EXECUTE_METHOD ExecuteWmiMethod;
  PWMI_FUNCTION_CONTROL WmiFunctionControl;
};

enum SYSCTL_IRP_DISPOSITION { IrpProcessed, IrpNotCompleted, IrpNotWmi, IrpForward };

NTSTATUS IoWMIRegistrationControl(DEVICE_OBJECT* device, ULONG action);
NTSTATUS WmiSystemControl(WMILIB_CONTEXT* context, DEVICE_OBJECT* device, IRP* irp,
                          SYSCTL_IRP_DISPOSITION* disposition);
// Completes a WMI request; for STATUS_BUFFER_TOO_SMALL |buffer_used| is the size needed.
NTSTATUS WmiCompleteRequest(DEVICE_OBJECT* device, IRP* irp, NTSTATUS status, ULONG buffer_used, CCHAR boost);

namespace vorn::kernel::wmi {

bool IsRegistered(DEVICE_OBJECT* device);
struct RegInfo {
  NTSTATUS status;
  ULONG flags;
  WString registry_path, mof_resource_name;
  DEVICE_OBJECT* pdo;
};
RegInfo QueryRegInfo(DEVICE_OBJECT* device);
// Query: |needed| gets the instance length, or the size needed on STATUS_BUFFER_TOO_SMALL.
NTSTATUS QueryDataBlock(DEVICE_OBJECT* device, const GUID& guid, void* buffer, ULONG size, ULONG* needed);
NTSTATUS SetDataBlock(DEVICE_OBJECT* device, const GUID& guid, const void* data, ULONG size);
NTSTATUS SetDataItem(DEVICE_OBJECT* device, const GUID& guid, ULONG item, const void* data, ULONG size);

}  // namespace vorn::kernel::wmi
