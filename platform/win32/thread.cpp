#include "platform/win32/thread.h"

#include <atomic>
#include <memory>
#include <thread>

#include "platform/win32/fault_plan.h"
#include "platform/win32/handle.h"
#include "platform/win32/wait_state.h"

namespace vorn::win32 {
namespace {

constexpr DWORD kThreadIdStep = 4;
std::atomic<DWORD> next_thread_id{kThreadIdStep};
thread_local DWORD current_thread_id = 0;

DWORD NewThreadId() { return next_thread_id.fetch_add(kThreadIdStep); }

class ThreadObject : public WaitableObject {
 public:
  ObjectType Type() const override { return ObjectType::kThread; }
  bool IsSignalled() const override { return exited_; }

  // Called by the thread itself once its start routine has returned.
  void Exit() {
    {
      std::lock_guard<std::mutex> guard(WaitLock());
      exited_ = true;
    }
    NotifyWaiters();
  }

 private:
  bool exited_ = false;  // under the wait lock
};

}  // namespace
}  // namespace vorn::win32

DWORD GetCurrentThreadId() {
  using namespace vorn::win32;
  if (current_thread_id == 0) current_thread_id = NewThreadId();
  return current_thread_id;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE startAddress,
                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId) {
  using namespace vorn::win32;
  if (startAddress == nullptr || creationFlags != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (ShouldFail(Fault::kCreateThread)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto object = std::make_shared<ThreadObject>();
  HANDLE handle = InsertObject(object);
  if (handle == nullptr) return nullptr;
  DWORD id = NewThreadId();
  try {
    // The thread holds its own reference, so closing the handle early changes nothing.
    std::thread([object, id, startAddress, parameter] {
      current_thread_id = id;
      startAddress(parameter);
      object->Exit();
    }).detach();
  } catch (...) {
    CloseHandle(handle);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (threadId != nullptr) *threadId = id;
  return handle;
}
