#include "platform/win32/synch.h"

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/nt/clock.h"
#include "platform/win32/fault_plan.h"
#include "platform/win32/handle.h"
#include "platform/win32/wait_state.h"

namespace vorn::win32 {
namespace {

class EventObject : public WaitableObject {
 public:
  EventObject(bool manual_reset, bool signalled)
      : manual_reset_(manual_reset), signalled_(signalled) {}

  ObjectType Type() const override { return ObjectType::kEvent; }
  bool IsSignalled() const override { return signalled_; }
  void Satisfy() override {
    if (!manual_reset_) signalled_ = false;
  }
  void Set(bool signalled) { signalled_ = signalled; }

 private:
  const bool manual_reset_;
  bool signalled_;  // under the wait lock
};

BOOL SetEventState(HANDLE handle, bool signalled) {
  std::shared_ptr<EventObject> event = ReferenceObjectAs<EventObject>(handle);
  if (event == nullptr) return FALSE;
  {
    std::lock_guard<std::mutex> guard(WaitLock());
    event->Set(signalled);
  }
  if (signalled) NotifyWaiters();
  return TRUE;
}

// Index of the lowest signalled object, or -1.
int FirstSignalled(const std::vector<std::shared_ptr<WaitableObject>>& objects) {
  for (size_t i = 0; i < objects.size(); ++i) {
    if (objects[i]->IsSignalled()) return static_cast<int>(i);
  }
  return -1;
}

DWORD WaitAny(const std::vector<std::shared_ptr<WaitableObject>>& objects, DWORD milliseconds) {
  WaitState& state = GetWaitState();
  std::unique_lock<std::mutex> lock(state.lock);
  int index = -1;
  auto satisfied = [&] { return (index = FirstSignalled(objects)) >= 0; };
  if (milliseconds == INFINITE) {
    state.changed.wait(lock, satisfied);
  } else if (!clock::WaitFor(state.changed, lock, std::chrono::milliseconds(milliseconds),
                             satisfied)) {
    return WAIT_TIMEOUT;
  }
  objects[static_cast<size_t>(index)]->Satisfy();
  return WAIT_OBJECT_0 + static_cast<DWORD>(index);
}

}  // namespace
}  // namespace vorn::win32

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  using namespace vorn::win32;
  if (name != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (ShouldFail(Fault::kCreateEvent)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return InsertObject(std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE));
}

BOOL SetEvent(HANDLE event) { return vorn::win32::SetEventState(event, true); }
BOOL ResetEvent(HANDLE event) { return vorn::win32::SetEventState(event, false); }

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                             DWORD milliseconds) {
  using namespace vorn::win32;
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  if (waitAll != FALSE) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<WaitableObject>> objects;
  objects.reserve(count);
  for (DWORD i = 0; i < count; ++i) {
    std::shared_ptr<WaitableObject> object = ReferenceObjectAs<WaitableObject>(handles[i]);
    if (object == nullptr) return WAIT_FAILED;  // last error set by the lookup
    objects.push_back(std::move(object));
  }
  return WaitAny(objects, milliseconds);
}

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  vorn::clock::SleepFor(std::chrono::milliseconds(milliseconds));
}
