#include "platform/kernel/wmi.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "platform/kernel/irp_internal.h"
#include "platform/kernel/violations.h"
#include "platform/kernel/wmi_internal.h"

using vorn::kernel::ReportViolation;
using vorn::kernel::wmi::GuidInfo;

namespace {

// What the management side puts behind Parameters.WMI.Buffer.
struct WmiCall {
  GUID guid;
  ULONG item;
  ULONG size;
  PUCHAR data;
  ULONG instance_length;  // written by the provider's query routine
  ULONG buffer_used;      // given to WmiCompleteRequest
  // REGINFO answers.
  ULONG flags;
  WString registry_path, mof;
  DEVICE_OBJECT* pdo;
  std::vector<GuidInfo> guids;
};

struct Provider {
  int in_flight = 0;
  bool leaving = false;     // deregistering: no more requests
  bool known = false;       // its registration information was read
  std::vector<GuidInfo> guids;
};

std::mutex g_lock;
std::condition_variable g_idle;  // a provider's requests in flight went down
std::map<DEVICE_OBJECT*, Provider>& Registered() {
  static auto* m = new std::map<DEVICE_OBJECT*, Provider>;
  return *m;
}

// One request of the management side. It lives on the heap: a request its driver never
// completes is given up and left to the driver, never freed under it.
struct Request {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  NTSTATUS status = STATUS_NOT_SUPPORTED;
  WmiCall call{};
  std::vector<UCHAR> data;  // exactly the size the provider is told
};

constexpr auto kAnswerBound = std::chrono::seconds(60);

void OnDone(IRP* irp, void* context) {
  auto* r = static_cast<Request*>(context);
  std::lock_guard<std::mutex> guard(r->m);
  r->status = irp->IoStatus.Status;
  r->done = true;
  r->cv.notify_all();
}

void LeaveProvider(DEVICE_OBJECT* device) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = Registered().find(device);
  if (it != Registered().end()) --it->second.in_flight;
  g_idle.notify_all();
}

// Sends |r| to the top of |device|'s stack and waits for its answer. On success the caller
// owns |r| again; when the driver does not answer in time |r| is released to it.
NTSTATUS Send(DEVICE_OBJECT* device, UCHAR minor, std::unique_ptr<Request>& r) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) ReportViolation("WMI request sent at IRQL %d", KeGetCurrentIrql());
  {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = Registered().find(device);
    if (it == Registered().end() || it->second.leaving) return STATUS_WMI_GUID_NOT_FOUND;
    ++it->second.in_flight;
  }
  DEVICE_OBJECT* top = IoGetAttachedDeviceReference(device);
  IRP* irp = vorn::kernel::internal::AllocateManagedIrp(top->StackSize, OnDone, r.get());
  if (!irp) {
    ObDereferenceObject(top);
    LeaveProvider(device);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  r->call.data = r->data.data();
  r->call.size = static_cast<ULONG>(r->data.size());
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IO_STACK_LOCATION* st = IoGetNextIrpStackLocation(irp);
  st->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
  st->MinorFunction = minor;
  st->Parameters.WMI.ProviderId = reinterpret_cast<ULONG_PTR>(device);
  st->Parameters.WMI.DataPath = &r->call.guid;
  st->Parameters.WMI.BufferSize = r->call.size;
  st->Parameters.WMI.Buffer = &r->call;
  IoCallDriver(top, irp);
  bool answered;
  {
    std::unique_lock<std::mutex> lock(r->m);
    answered = r->cv.wait_for(lock, kAnswerBound, [&] { return r->done; });
  }
  LeaveProvider(device);
  if (!answered) {
    ReportViolation("WMI request %u to %p not completed", minor, static_cast<void*>(device));
    r.release();
    return STATUS_IO_TIMEOUT;
  }
  ObDereferenceObject(top);
  IoFreeIrp(irp);
  return r->status;
}

std::unique_ptr<Request> MakeRequest(const GUID& guid, const void* data, ULONG size) {
  auto r = std::make_unique<Request>();
  r->call.guid = guid;
  r->data.resize(size);
  if (data && size) std::memcpy(r->data.data(), data, size);
  return r;
}

}  // namespace

NTSTATUS IoWMIRegistrationControl(DEVICE_OBJECT* device, ULONG action) {
  std::unique_lock<std::mutex> lock(g_lock);
  auto& registered = Registered();
  if (action == WMIREG_ACTION_REGISTER) {
    auto it = registered.find(device);
    if (it != registered.end() && !it->second.leaving) return STATUS_SUCCESS;
    g_idle.wait(lock, [&] { return registered.find(device) == registered.end(); });
    registered.emplace(device, Provider{});
    return STATUS_SUCCESS;
  }
  if (action == WMIREG_ACTION_DEREGISTER) {
    auto it = registered.find(device);
    if (it == registered.end() || it->second.leaving) return STATUS_INVALID_PARAMETER;
    it->second.leaving = true;
    g_idle.wait(lock, [&] {
      auto found = registered.find(device);
      return found == registered.end() || found->second.in_flight == 0;
    });
    registered.erase(device);
    g_idle.notify_all();
    return STATUS_SUCCESS;
  }
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS WmiCompleteRequest(DEVICE_OBJECT* device, IRP* irp, NTSTATUS status, ULONG buffer_used, CCHAR boost) {
  auto* call = static_cast<WmiCall*>(IoGetCurrentIrpStackLocation(irp)->Parameters.WMI.Buffer);
  if (call) {
    call->buffer_used = buffer_used;
    if (NT_SUCCESS(status) && buffer_used > call->size)
      ReportViolation("WMI provider %p used %u bytes of a %u-byte buffer", static_cast<void*>(device), buffer_used,
                      call->size);
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = buffer_used;
  IoCompleteRequest(irp, boost);
  return status;
}

NTSTATUS WmiSystemControl(WMILIB_CONTEXT* context, DEVICE_OBJECT* device, IRP* irp,
                          SYSCTL_IRP_DISPOSITION* disposition) {
  IO_STACK_LOCATION* st = IoGetCurrentIrpStackLocation(irp);
  if (st->MajorFunction != IRP_MJ_SYSTEM_CONTROL) {
    ReportViolation("WmiSystemControl given an IRP of major function %u", st->MajorFunction);
    *disposition = IrpNotWmi;
    return irp->IoStatus.Status;
  }
  if (st->Parameters.WMI.ProviderId != reinterpret_cast<ULONG_PTR>(device)) {
    *disposition = IrpForward;
    return irp->IoStatus.Status;
  }
  auto* call = static_cast<WmiCall*>(st->Parameters.WMI.Buffer);
  UCHAR minor = st->MinorFunction;
  if (!call || minor > IRP_MN_REGINFO ||
      (minor > IRP_MN_CHANGE_SINGLE_ITEM && minor < IRP_MN_REGINFO)) {
    *disposition = IrpNotWmi;
    return irp->IoStatus.Status;
  }
  auto not_completed = [&](NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    *disposition = IrpNotCompleted;
    return status;
  };
  if (minor == IRP_MN_REGINFO) {
    if (!context->QueryWmiRegInfo) {
      ReportViolation("WMI provider %p has no registration routine", static_cast<void*>(device));
      return not_completed(STATUS_INVALID_DEVICE_REQUEST);
    }
    ULONG flags = 0;
    UNICODE_STRING instance{}, mof{};
    PUNICODE_STRING path = nullptr;
    DEVICE_OBJECT* pdo = nullptr;
    NTSTATUS s = context->QueryWmiRegInfo(device, &flags, &instance, &path, &mof, &pdo);
    if (NT_SUCCESS(s)) {
      if ((flags & WMIREG_FLAG_INSTANCE_PDO) && !pdo)
        ReportViolation("WMI provider %p names its instances by PDO but gives none", static_cast<void*>(device));
      if (!path || !path->Buffer)
        ReportViolation("WMI provider %p gives no registry path", static_cast<void*>(device));
      call->flags = flags;
      call->registry_path = path ? ToWString(*path) : WString();
      call->mof = ToWString(mof);
      call->pdo = pdo;
      for (ULONG i = 0; i < context->GuidCount; ++i) {
        const WMIGUIDREGINFO& g = context->GuidList[i];
        if (!g.Guid) {
          ReportViolation("WMI provider %p lists a null GUID", static_cast<void*>(device));
          continue;
        }
        call->guids.push_back(GuidInfo{*g.Guid, g.InstanceCount, g.Flags});
      }
    }
    irp->IoStatus.Status = s;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    *disposition = IrpProcessed;
    return s;
  }
  ULONG index = 0;
  while (index < context->GuidCount && !(context->GuidList[index].Guid && *context->GuidList[index].Guid == call->guid))
    ++index;
  if (index == context->GuidCount) return not_completed(STATUS_WMI_GUID_NOT_FOUND);
  *disposition = IrpProcessed;
  switch (minor) {
    case IRP_MN_QUERY_ALL_DATA:
    case IRP_MN_QUERY_SINGLE_INSTANCE:
      if (!context->QueryWmiDataBlock) break;
      return context->QueryWmiDataBlock(device, irp, index, 0, 1, &call->instance_length, call->size, call->data);
    case IRP_MN_CHANGE_SINGLE_INSTANCE:
      if (!context->SetWmiDataBlock) break;
      return context->SetWmiDataBlock(device, irp, index, 0, call->size, call->data);
    case IRP_MN_CHANGE_SINGLE_ITEM:
      if (!context->SetWmiDataItem) break;
      return context->SetWmiDataItem(device, irp, index, 0, call->item, call->size, call->data);
  }
  return not_completed(minor == IRP_MN_QUERY_ALL_DATA || minor == IRP_MN_QUERY_SINGLE_INSTANCE
                           ? STATUS_WMI_GUID_NOT_FOUND
                           : STATUS_WMI_READ_ONLY);
}

namespace vorn::kernel::internal {

void WmiDeviceDeleted(DEVICE_OBJECT* device) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = Registered().find(device);
  if (it == Registered().end()) return;
  if (!it->second.leaving)
    ReportViolation("device %p deleted while registered as a WMI provider", static_cast<void*>(device));
  Registered().erase(it);
  g_idle.notify_all();
}

}  // namespace vorn::kernel::internal

namespace vorn::kernel::wmi {

bool IsRegistered(DEVICE_OBJECT* device) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = Registered().find(device);
  return it != Registered().end() && !it->second.leaving;
}

RegInfo QueryRegInfo(DEVICE_OBJECT* device) {
  auto r = MakeRequest(GUID{}, nullptr, 0);
  NTSTATUS s = Send(device, IRP_MN_REGINFO, r);
  if (!r || !NT_SUCCESS(s)) return RegInfo{s, 0, {}, {}, nullptr, {}};
  const WmiCall& c = r->call;
  return RegInfo{s, c.flags, c.registry_path, c.mof, c.pdo, c.guids};
}

std::vector<DEVICE_OBJECT*> Providers(const GUID& guid) {
  std::vector<DEVICE_OBJECT*> unknown;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    for (auto& [device, p] : Registered())
      if (!p.known && !p.leaving) unknown.push_back(device);
  }
  for (DEVICE_OBJECT* device : unknown) {
    RegInfo info = QueryRegInfo(device);
    if (!NT_SUCCESS(info.status)) continue;
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = Registered().find(device);
    if (it == Registered().end() || it->second.known) continue;
    it->second.known = true;
    it->second.guids = info.guids;
  }
  std::vector<DEVICE_OBJECT*> out;
  std::lock_guard<std::mutex> guard(g_lock);
  for (auto& [device, p] : Registered()) {
    if (p.leaving) continue;
    for (const GuidInfo& g : p.guids)
      if (g.guid == guid) {
        out.push_back(device);
        break;
      }
  }
  return out;
}

NTSTATUS QueryDataBlock(DEVICE_OBJECT* device, const GUID& guid, void* buffer, ULONG size, ULONG* needed) {
  if (needed) *needed = 0;
  auto r = MakeRequest(guid, buffer, size);
  NTSTATUS s = Send(device, IRP_MN_QUERY_SINGLE_INSTANCE, r);
  if (!r) return s;
  if (s == STATUS_BUFFER_TOO_SMALL) {
    if (needed) *needed = r->call.buffer_used;
  } else if (NT_SUCCESS(s)) {
    if (r->call.instance_length > size)
      ReportViolation("WMI provider %p reports a %u-byte instance in a %u-byte buffer", static_cast<void*>(device),
                      r->call.instance_length, size);
    if (needed) *needed = r->call.instance_length;
    if (size) std::memcpy(buffer, r->data.data(), size);
  }
  return s;
}

NTSTATUS SetDataBlock(DEVICE_OBJECT* device, const GUID& guid, const void* data, ULONG size) {
  auto r = MakeRequest(guid, data, size);
  return Send(device, IRP_MN_CHANGE_SINGLE_INSTANCE, r);
}

NTSTATUS SetDataItem(DEVICE_OBJECT* device, const GUID& guid, ULONG item, const void* data, ULONG size) {
  auto r = MakeRequest(guid, data, size);
  r->call.item = item;
  return Send(device, IRP_MN_CHANGE_SINGLE_ITEM, r);
}

}  // namespace vorn::kernel::wmi
