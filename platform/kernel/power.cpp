#include "platform/kernel/power.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "platform/kernel/irp_internal.h"
#include "platform/kernel/pnp_internal.h"
#include "platform/kernel/violations.h"
#include "platform/kernel/workitem.h"

namespace {

struct PowerState {
  std::mutex lock;
  std::map<DEVICE_OBJECT*, DEVICE_POWER_STATE> devices;
  SYSTEM_POWER_STATE system = PowerSystemWorking;
};
PowerState& P() {
  static PowerState* p = new PowerState;
  return *p;
}

struct RequestContext {
  DEVICE_OBJECT* device;
  UCHAR minor;
  POWER_STATE state;
  PREQUEST_POWER_COMPLETE completion;
  PVOID context;
};

void RequestDone(IRP* irp, void* ctx) {
  auto* r = static_cast<RequestContext*>(ctx);
  IO_STATUS_BLOCK status = irp->IoStatus;
  if (r->completion) r->completion(r->device, r->minor, r->state, r->context, &status);
  ObDereferenceObject(r->device);
  delete r;
  IoFreeIrp(irp);
}

}  // namespace

NTSTATUS PoRequestPowerIrp(DEVICE_OBJECT* device, UCHAR minor, POWER_STATE state,
                           PREQUEST_POWER_COMPLETE completion, PVOID context, IRP** out) {
  if (out) *out = nullptr;
  if (!device) return STATUS_INVALID_PARAMETER_1;
  if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER && minor != IRP_MN_WAIT_WAKE)
    return STATUS_INVALID_PARAMETER_2;
  DEVICE_OBJECT* top = IoGetAttachedDeviceReference(device);
  auto* r = new RequestContext{device, minor, state, completion, context};
  ObReferenceObject(device);
  IRP* irp = vorn::kernel::internal::AllocateManagedIrp(top->StackSize, RequestDone, r);
  if (!irp) {
    ObDereferenceObject(device);
    ObDereferenceObject(top);
    delete r;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IO_STACK_LOCATION* st = IoGetNextIrpStackLocation(irp);
  st->MajorFunction = IRP_MJ_POWER;
  st->MinorFunction = minor;
  if (minor == IRP_MN_WAIT_WAKE) {
    st->Parameters.WaitWake.PowerState = state.SystemState;
  } else {
    st->Parameters.Power.Type = DevicePowerState;
    st->Parameters.Power.State = state;
  }
  if (out) *out = irp;
  vorn::kernel::internal::PostWork([top, irp] {
    IoCallDriver(top, irp);
    ObDereferenceObject(top);
  });
  return STATUS_PENDING;
}

NTSTATUS PoCallDriver(DEVICE_OBJECT* device, IRP* irp) {
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL && (device->Flags & DO_POWER_PAGABLE)) {
    ObReferenceObject(device);
    vorn::kernel::internal::PostWork([device, irp] {
      IoCallDriver(device, irp);
      ObDereferenceObject(device);
    });
    return STATUS_PENDING;
  }
  return IoCallDriver(device, irp);
}

void PoStartNextPowerIrp(IRP*) {}

POWER_STATE PoSetPowerState(DEVICE_OBJECT* device, POWER_STATE_TYPE type, POWER_STATE state) {
  std::lock_guard<std::mutex> guard(P().lock);
  POWER_STATE previous{};
  if (type == DevicePowerState) {
    auto& d = P().devices[device];
    previous.DeviceState = d;
    d = state.DeviceState;
  } else {
    previous.SystemState = P().system;
  }
  return previous;
}

namespace vorn::kernel::power {

NTSTATUS SendSystemPower(pnp::DevNode* node, UCHAR minor, SYSTEM_POWER_STATE state) {
  return internal::SendAndWait(pnp::Top(node), IRP_MJ_POWER, minor, [&](IO_STACK_LOCATION* st) {
    st->Parameters.Power.Type = SystemPowerState;
    st->Parameters.Power.State.SystemState = state;
    st->Parameters.Power.ShutdownType = state == PowerSystemWorking ? PowerActionNone : PowerActionSleep;
  }, nullptr, STATUS_SUCCESS);
}

NTSTATUS SetSystemState(SYSTEM_POWER_STATE state) {
  std::vector<pnp::DevNode*> nodes;
  for (pnp::DevNode* n : pnp::AllNodes())
    if (pnp::Info(n).state == pnp::NodeState::kStarted) nodes.push_back(n);
  bool sleeping = state != PowerSystemWorking;
  if (sleeping) std::reverse(nodes.begin(), nodes.end());
  NTSTATUS result = STATUS_SUCCESS;
  if (sleeping) {
    for (pnp::DevNode* n : nodes) {
      NTSTATUS s = SendSystemPower(n, IRP_MN_QUERY_POWER, state);
      if (!NT_SUCCESS(s)) return s;
    }
  }
  for (pnp::DevNode* n : nodes) {
    NTSTATUS s = SendSystemPower(n, IRP_MN_SET_POWER, state);
    if (!NT_SUCCESS(s) && NT_SUCCESS(result)) result = s;
  }
  std::lock_guard<std::mutex> guard(P().lock);
  P().system = state;
  return result;
}

DEVICE_POWER_STATE ReportedDeviceState(DEVICE_OBJECT* device) {
  std::lock_guard<std::mutex> guard(P().lock);
  auto it = P().devices.find(device);
  return it == P().devices.end() ? PowerDeviceUnspecified : it->second;
}

SYSTEM_POWER_STATE CurrentSystemState() {
  std::lock_guard<std::mutex> guard(P().lock);
  return P().system;
}

}  // namespace vorn::kernel::power
