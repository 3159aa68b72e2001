// Wait locks: a lock any thread may take with a time-out. A time-out returns STATUS_TIMEOUT,
// a success code, and the lock is then not held; releasing a lock that is not held traps.
#include <condition_variable>
#include <mutex>

#include "platform/umdf/host_state.h"
#include "platform/umdf/operations.h"
#include "platform/umdf/status_map.h"

namespace vorn::umdf {
namespace {

class WaitLock : public Object {
 public:
  explicit WaitLock(HostState* host) : Object(host, Kind::kWaitLock, true) {}

  std::mutex lock;
  std::condition_variable released;
  bool held = false;
};

}  // namespace

NTSTATUS WdfWaitLockCreate(PWDF_DRIVER_GLOBALS globals, PWDF_OBJECT_ATTRIBUTES attributes,
                           WDFWAITLOCK* lock) {
  constexpr const char* kOp = "WdfWaitLockCreate";
  HostState* host = CheckGlobals(globals, kOp);
  if (lock == nullptr) return STATUS_INVALID_PARAMETER;
  *lock = nullptr;
  Object* parent = nullptr;
  if (NTSTATUS s = ParentFrom(attributes, host->device, kOp, &parent); !NT_SUCCESS(s)) return s;
  auto* created = new WaitLock(parent->host());
  Register(created, parent);
  *lock = HandleOf<WDFWAITLOCK>(created);
  return STATUS_SUCCESS;
}

NTSTATUS WdfWaitLockAcquire(PWDF_DRIVER_GLOBALS globals, WDFWAITLOCK lock, LONGLONG* timeout) {
  constexpr const char* kOp = "WdfWaitLockAcquire";
  CheckGlobals(globals, kOp);
  auto* found = Resolve<WaitLock>(lock, Kind::kWaitLock, kOp);
  std::unique_lock<std::mutex> guard(found->lock);
  const auto free = [found] { return !found->held; };
  if (timeout == nullptr) {
    found->released.wait(guard, free);
  } else if (*timeout == 0) {
    if (found->held) return STATUS_TIMEOUT;
  } else if (!clock::WaitFor(found->released, guard, WaitFromWdfTimeout(*timeout), free)) {
    return STATUS_TIMEOUT;
  }
  found->held = true;
  return STATUS_SUCCESS;
}

void WdfWaitLockRelease(PWDF_DRIVER_GLOBALS globals, WDFWAITLOCK lock) {
  constexpr const char* kOp = "WdfWaitLockRelease";
  CheckGlobals(globals, kOp);
  auto* found = Resolve<WaitLock>(lock, Kind::kWaitLock, kOp);
  std::lock_guard<std::mutex> guard(found->lock);
  if (!found->held) Trap("%s: wait lock %p is not held", kOp, static_cast<void*>(lock));
  found->held = false;
  found->released.notify_one();
}

}  // namespace vorn::umdf
