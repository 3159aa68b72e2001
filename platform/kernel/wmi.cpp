#include "platform/kernel/wmi.h"

#include <cstring>
#include <mutex>
#include <set>

#include "platform/kernel/pnp_internal.h"

namespace {

// What the management side puts behind Parameters.WMI.Buffer.
struct WmiCall {
  GUID guid;
  ULONG item;
  ULONG size;
  PUCHAR data;
  ULONG instance_length;
  // REGINFO answers.
  ULONG flags;
  WString registry_path, mof;
  DEVICE_OBJECT* pdo;
};

std::mutex g_lock;
std::set<DEVICE_OBJECT*>& Registered() {
  static auto* s = new std::set<DEVICE_OBJECT*>;
  return *s;
}

NTSTATUS Send(DEVICE_OBJECT* device, UCHAR minor, WmiCall* call, ULONG_PTR* information) {
  DEVICE_OBJECT* top = IoGetAttachedDevice(device);
  return vorn::kernel::internal::SendAndWait(top, IRP_MJ_SYSTEM_CONTROL, minor, [&](IO_STACK_LOCATION* st) {
    st->Parameters.WMI.ProviderId = reinterpret_cast<ULONG_PTR>(device);
    st->Parameters.WMI.DataPath = &call->guid;
    st->Parameters.WMI.BufferSize = call->size;
    st->Parameters.WMI.Buffer = call;
  }, information, STATUS_NOT_SUPPORTED);
}

}  // namespace

NTSTATUS IoWMIRegistrationControl(DEVICE_OBJECT* device, ULONG action) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (action == WMIREG_ACTION_REGISTER) {
    Registered().insert(device);
    return STATUS_SUCCESS;
  }
  if (action == WMIREG_ACTION_DEREGISTER) return Registered().erase(device) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS WmiCompleteRequest(DEVICE_OBJECT*, IRP* irp, NTSTATUS status, ULONG buffer_used, CCHAR boost) {
  auto* call = static_cast<WmiCall*>(IoGetCurrentIrpStackLocation(irp)->Parameters.WMI.Buffer);
  if (call) call->instance_length = buffer_used;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = buffer_used;
  IoCompleteRequest(irp, boost);
  return status;
}

NTSTATUS WmiSystemControl(WMILIB_CONTEXT* context, DEVICE_OBJECT* device, IRP* irp,
                          SYSCTL_IRP_DISPOSITION* disposition) {
  IO_STACK_LOCATION* st = IoGetCurrentIrpStackLocation(irp);
  if (st->Parameters.WMI.ProviderId != reinterpret_cast<ULONG_PTR>(device)) {
    *disposition = IrpForward;
    return irp->IoStatus.Status;
  }
  auto* call = static_cast<WmiCall*>(st->Parameters.WMI.Buffer);
  *disposition = IrpProcessed;
  if (st->MinorFunction == IRP_MN_REGINFO) {
    ULONG flags = 0;
    UNICODE_STRING instance{}, mof{};
    PUNICODE_STRING path = nullptr;
    DEVICE_OBJECT* pdo = nullptr;
    NTSTATUS s = context->QueryWmiRegInfo ? context->QueryWmiRegInfo(device, &flags, &instance, &path, &mof, &pdo)
                                          : STATUS_NOT_SUPPORTED;
    call->flags = flags;
    call->registry_path = path ? ToWString(*path) : WString();
    call->mof = ToWString(mof);
    call->pdo = pdo;
    irp->IoStatus.Status = s;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return s;
  }
  ULONG index = 0;
  while (index < context->GuidCount && !(*context->GuidList[index].Guid == call->guid)) ++index;
  if (index == context->GuidCount) {
    irp->IoStatus.Status = STATUS_WMI_GUID_NOT_FOUND;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_WMI_GUID_NOT_FOUND;
  }
  switch (st->MinorFunction) {
    case IRP_MN_QUERY_ALL_DATA:
    case IRP_MN_QUERY_SINGLE_INSTANCE:
      return context->QueryWmiDataBlock(device, irp, index, 0, 1, &call->instance_length, call->size, call->data);
    case IRP_MN_CHANGE_SINGLE_INSTANCE:
      if (context->SetWmiDataBlock) return context->SetWmiDataBlock(device, irp, index, 0, call->size, call->data);
      break;
    case IRP_MN_CHANGE_SINGLE_ITEM:
      if (context->SetWmiDataItem) return context->SetWmiDataItem(device, irp, index, 0, call->item, call->size, call->data);
      break;
    default:
      *disposition = IrpNotWmi;
      return irp->IoStatus.Status;
  }
  irp->IoStatus.Status = STATUS_WMI_READ_ONLY;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_WMI_READ_ONLY;
}

namespace vorn::kernel::wmi {

bool IsRegistered(DEVICE_OBJECT* device) {
  std::lock_guard<std::mutex> guard(g_lock);
  return Registered().count(device) != 0;
}

RegInfo QueryRegInfo(DEVICE_OBJECT* device) {
  WmiCall call{};
  NTSTATUS s = Send(device, IRP_MN_REGINFO, &call, nullptr);
  return RegInfo{s, call.flags, call.registry_path, call.mof, call.pdo};
}

NTSTATUS QueryDataBlock(DEVICE_OBJECT* device, const GUID& guid, void* buffer, ULONG size, ULONG* needed) {
  WmiCall call{};
  call.guid = guid;
  call.size = size;
  call.data = static_cast<PUCHAR>(buffer);
  NTSTATUS s = Send(device, IRP_MN_QUERY_SINGLE_INSTANCE, &call, nullptr);
  if (needed) *needed = call.instance_length;
  return s;
}

NTSTATUS SetDataBlock(DEVICE_OBJECT* device, const GUID& guid, const void* data, ULONG size) {
  WmiCall call{};
  call.guid = guid;
  call.size = size;
  call.data = static_cast<PUCHAR>(const_cast<void*>(data));
  return Send(device, IRP_MN_CHANGE_SINGLE_INSTANCE, &call, nullptr);
}

NTSTATUS SetDataItem(DEVICE_OBJECT* device, const GUID& guid, ULONG item, const void* data, ULONG size) {
  WmiCall call{};
  call.guid = guid;
  call.item = item;
  call.size = size;
  call.data = static_cast<PUCHAR>(const_cast<void*>(data));
  return Send(device, IRP_MN_CHANGE_SINGLE_ITEM, &call, nullptr);
}

}  // namespace vorn::kernel::wmi
