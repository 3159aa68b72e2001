#include "platform/kernel/power.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>

#include "platform/kernel/irp_internal.h"
#include "platform/kernel/pnp_internal.h"
#include "platform/kernel/violations.h"
#include "platform/kernel/workitem.h"

namespace vorn::kernel::power::internal {
// Runs a system transition; with |only_when_sleeping| a return to the working state that
// another transition already made does nothing.
NTSTATUS Transition(SYSTEM_POWER_STATE state, bool only_when_sleeping);
}  // namespace vorn::kernel::power::internal

namespace {

using vorn::kernel::power::CallRecord;
using vorn::kernel::power::RequestRecord;
using vorn::kernel::power::TransitionListener;

struct PowerState {
  std::mutex lock;
  std::map<DEVICE_OBJECT*, DEVICE_POWER_STATE> devices;
  SYSTEM_POWER_STATE system = PowerSystemWorking;
  std::map<int, TransitionListener> listeners;
  int next_listener = 1;
  // Records; a request's record is found by its sequence number (records may be cleared).
  std::vector<RequestRecord> requests;
  std::vector<uint64_t> request_ids;
  uint64_t next_request = 1;
  std::vector<CallRecord> calls;
  int wake_ups = 0;  // queued or running
  std::condition_variable wake_ups_cv;
};
PowerState& P() {
  static PowerState* p = new PowerState;
  return *p;
}

// One system transition at a time; held across the whole transition.
std::mutex& TransitionLock() {
  static std::mutex* m = new std::mutex;
  return *m;
}

RequestRecord* FindRecord(uint64_t id) {
  for (size_t i = 0; i < P().request_ids.size(); ++i)
    if (P().request_ids[i] == id) return &P().requests[i];
  return nullptr;
}

// A wait-wake that woke the device while the system sleeps wakes the system.
void QueueWakeUp() {
  {
    std::lock_guard<std::mutex> guard(P().lock);
    ++P().wake_ups;
  }
  vorn::kernel::internal::PostWork([] {
    vorn::kernel::power::internal::Transition(PowerSystemWorking, true);
    std::lock_guard<std::mutex> guard(P().lock);
    --P().wake_ups;
    P().wake_ups_cv.notify_all();
  });
}

struct RequestContext {
  DEVICE_OBJECT* device;
  UCHAR minor;
  POWER_STATE state;
  PREQUEST_POWER_COMPLETE completion;
  PVOID context;
  uint64_t id;
};

void RequestDone(IRP* irp, void* ctx) {
  auto* r = static_cast<RequestContext*>(ctx);
  IO_STATUS_BLOCK status = irp->IoStatus;
  bool sleeping;
  {
    std::lock_guard<std::mutex> guard(P().lock);
    if (RequestRecord* record = FindRecord(r->id)) {
      record->done = true;
      record->status = status.Status;
    }
    sleeping = P().system != PowerSystemWorking;
  }
  if (r->completion) r->completion(r->device, r->minor, r->state, r->context, &status);
  if (r->minor == IRP_MN_WAIT_WAKE && NT_SUCCESS(status.Status) && sleeping) QueueWakeUp();
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
  auto* r = new RequestContext{device, minor, state, completion, context, 0};
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
  uint64_t id;
  {
    std::lock_guard<std::mutex> guard(P().lock);
    id = r->id = P().next_request++;
    P().requests.push_back(RequestRecord{device, minor, state, false, false, STATUS_PENDING});
    P().request_ids.push_back(id);
  }
  vorn::kernel::internal::PostWork([top, irp, id] {
    IoCallDriver(top, irp);
    ObDereferenceObject(top);
    std::lock_guard<std::mutex> guard(P().lock);
    if (RequestRecord* record = FindRecord(id)) record->sent = true;
  });
  return STATUS_PENDING;
}

NTSTATUS PoCallDriver(DEVICE_OBJECT* device, IRP* irp) {
  if (device && irp && irp->CurrentLocation > 1) {
    const IO_STACK_LOCATION* st = IoGetNextIrpStackLocation(irp);
    CallRecord record{device, st->MinorFunction, st->Parameters.Power.Type, st->Parameters.Power.State};
    if (st->MinorFunction == IRP_MN_WAIT_WAKE) {
      record.type = SystemPowerState;
      record.state.SystemState = st->Parameters.WaitWake.PowerState;
    }
    std::lock_guard<std::mutex> guard(P().lock);
    P().calls.push_back(record);
  }
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
  return kernel::internal::SendAndWait(pnp::Top(node), IRP_MJ_POWER, minor, [&](IO_STACK_LOCATION* st) {
    st->Parameters.Power.Type = SystemPowerState;
    st->Parameters.Power.State.SystemState = state;
    st->Parameters.Power.ShutdownType = state == PowerSystemWorking ? PowerActionNone : PowerActionSleep;
  }, nullptr, STATUS_SUCCESS);
}

NTSTATUS SetSystemState(SYSTEM_POWER_STATE state) { return internal::Transition(state, false); }

namespace internal {

NTSTATUS Transition(SYSTEM_POWER_STATE state, bool only_when_sleeping) {
  std::lock_guard<std::mutex> transition(TransitionLock());
  std::vector<TransitionListener> listeners;
  {
    std::lock_guard<std::mutex> guard(P().lock);
    if (only_when_sleeping && P().system == PowerSystemWorking) return STATUS_SUCCESS;
    for (const auto& [id, l] : P().listeners) listeners.push_back(l);
  }
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
    {
      // From here on the system counts as sleeping: a wake-up during the transition brings it
      // back once the transition is over.
      std::lock_guard<std::mutex> guard(P().lock);
      P().system = state;
    }
    for (const TransitionListener& l : listeners)
      if (l.sleeping) l.sleeping(state);
  }
  for (pnp::DevNode* n : nodes) {
    NTSTATUS s = SendSystemPower(n, IRP_MN_SET_POWER, state);
    if (!NT_SUCCESS(s) && NT_SUCCESS(result)) result = s;
  }
  if (!sleeping) {
    {
      std::lock_guard<std::mutex> guard(P().lock);
      P().system = state;
    }
    for (const TransitionListener& l : listeners)
      if (l.woken) l.woken(state);
  }
  return result;
}

}  // namespace internal

int AddTransitionListener(TransitionListener listener) {
  std::lock_guard<std::mutex> guard(P().lock);
  int id = P().next_listener++;
  P().listeners[id] = std::move(listener);
  return id;
}

void RemoveTransitionListener(int id) {
  std::lock_guard<std::mutex> guard(P().lock);
  P().listeners.erase(id);
}

void WaitWakeUpsDone() {
  std::unique_lock<std::mutex> lock(P().lock);
  P().wake_ups_cv.wait(lock, [] { return P().wake_ups == 0; });
}

std::vector<RequestRecord> Requests() {
  std::lock_guard<std::mutex> guard(P().lock);
  return P().requests;
}

std::vector<CallRecord> Calls() {
  std::lock_guard<std::mutex> guard(P().lock);
  return P().calls;
}

void ClearRecords() {
  std::lock_guard<std::mutex> guard(P().lock);
  P().requests.clear();
  P().request_ids.clear();
  P().calls.clear();
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
