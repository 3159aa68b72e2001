// WMI: a driver registers its device as a data provider (IoWMIRegistrationControl) and hands
// each IRP_MJ_SYSTEM_CONTROL to the WMI library (WmiSystemControl), which calls the routines
// of its WMILIB_CONTEXT; the routines answer through WmiCompleteRequest. The library tells
// the driver what became of the request: processed (completed by the library or the
// routine), not completed (the library set the status, the driver completes it), not WMI or
// meant for another provider of the stack (the driver passes it down unchanged).
//
// The vorn::kernel::wmi calls play the management side, as a tool reaches a data block: they
// find the providers of a block through their registration information and query and set a
// block or one item of it. Requests go to the top of the provider's stack and are sent only
// while the provider is registered; deregistration waits until the requests in flight to it
// are answered, so none reaches a device that is going away.
#pragma once

#include <vector>

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

// Register: |device| becomes a provider (its registration information is asked later, by the
// first management request that needs it). Deregister: waits for the requests in flight to
// it, then no more are sent; a device that is not registered: STATUS_INVALID_PARAMETER.
NTSTATUS IoWMIRegistrationControl(DEVICE_OBJECT* device, ULONG action);
// Serves a request meant for |device| with |context|'s routines. A request for another
// provider: IrpForward; a minor function the library does not serve: IrpNotWmi (both leave
// the IRP untouched). A GUID not in the list (STATUS_WMI_GUID_NOT_FOUND) or a change with no
// routine for it (STATUS_WMI_READ_ONLY): the status is set, IrpNotCompleted. Otherwise the
// routine answers through WmiCompleteRequest: IrpProcessed.
NTSTATUS WmiSystemControl(WMILIB_CONTEXT* context, DEVICE_OBJECT* device, IRP* irp,
                          SYSCTL_IRP_DISPOSITION* disposition);
// Completes a WMI request; for STATUS_BUFFER_TOO_SMALL |buffer_used| is the size needed.
NTSTATUS WmiCompleteRequest(DEVICE_OBJECT* device, IRP* irp, NTSTATUS status, ULONG buffer_used, CCHAR boost);

namespace vorn::kernel::wmi {

bool IsRegistered(DEVICE_OBJECT* device);

struct GuidInfo {
  GUID guid;
  ULONG instance_count;
  ULONG flags;
};
struct RegInfo {
  NTSTATUS status;
  ULONG flags;
  WString registry_path, mof_resource_name;
  DEVICE_OBJECT* pdo;
  std::vector<GuidInfo> guids;  // the library's GUID list
};
// Asks |device| for its registration information (IRP_MN_REGINFO). A device that is not
// registered gets no request: STATUS_WMI_GUID_NOT_FOUND.
RegInfo QueryRegInfo(DEVICE_OBJECT* device);
// Every registered provider of |guid|, found as a tool finds it: through the registration
// information of each provider, asked once per registration.
std::vector<DEVICE_OBJECT*> Providers(const GUID& guid);

// Queries, sets the block or sets one item of the instance of |guid| that |device| provides.
// The provider sees a buffer of exactly |size| bytes; a query that succeeds copies all of it
// back, so bytes the provider did not write keep what |buffer| held. Query: |needed| gets the instance length, or the
// size needed on STATUS_BUFFER_TOO_SMALL. A device that is not registered gets no request:
// STATUS_WMI_GUID_NOT_FOUND. A request its driver never completes is reported as a
// violation after a minute and answered STATUS_IO_TIMEOUT.
NTSTATUS QueryDataBlock(DEVICE_OBJECT* device, const GUID& guid, void* buffer, ULONG size, ULONG* needed);
NTSTATUS SetDataBlock(DEVICE_OBJECT* device, const GUID& guid, const void* data, ULONG size);
NTSTATUS SetDataItem(DEVICE_OBJECT* device, const GUID& guid, ULONG item, const void* data, ULONG size);

}  // namespace vorn::kernel::wmi
