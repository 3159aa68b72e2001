#include "platform/win32/thread.h"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/win32/fault_plan.h"
#include "platform/win32/handle.h"
#include "platform/win32/wait_state.h"

namespace vorn::win32 {
namespace {

constexpr DWORD kThreadIdStep = 4;
std::atomic<DWORD> next_thread_id{kThreadIdStep};
thread_local DWORD current_thread_id = 0;

DWORD NewThreadId() { return next_thread_id.fetch_add(kThreadIdStep); }

class ThreadObject;

// The threads CreateThread started that have not ended, and the time of those that have.
// Never destroyed: a thread still running when the process exits may still look itself up.
std::mutex& RegistryLock() {
  static auto* lock = new std::mutex;
  return *lock;
}
std::vector<ThreadObject*>& LiveThreads() {  // under RegistryLock
  static auto* live = new std::vector<ThreadObject*>;
  return *live;
}
uint64_t ended_threads_ns = 0;  // under RegistryLock

uint64_t Nanoseconds(clockid_t clock) {
  timespec t{};
  if (clock_gettime(clock, &t) != 0) return 0;
  return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

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

  // The thread's processor clock: read through its id while it runs, kept when it ends. The
  // thread takes clock_lock_ to end, so it is alive while a reader holds the lock.
  // The registry lock comes before clock_lock_.
  void Started() {
    std::lock_guard<std::mutex> registry(RegistryLock());
    {
      std::lock_guard<std::mutex> guard(clock_lock_);
      native_ = pthread_self();
      running_ = true;
    }
    LiveThreads().push_back(this);
  }
  void Ending() {
    const uint64_t used = Nanoseconds(CLOCK_THREAD_CPUTIME_ID);
    std::lock_guard<std::mutex> registry(RegistryLock());
    {
      std::lock_guard<std::mutex> guard(clock_lock_);
      used_ = used;
      running_ = false;
    }
    ended_threads_ns += used;
    std::erase(LiveThreads(), this);
  }
  uint64_t CpuNanoseconds() {
    std::lock_guard<std::mutex> guard(clock_lock_);
    clockid_t clock;
    if (running_ && pthread_getcpuclockid(native_, &clock) == 0) return Nanoseconds(clock);
    return used_;
  }

 private:
  bool exited_ = false;  // under the wait lock
  std::mutex clock_lock_;
  pthread_t native_{};
  bool running_ = false;  // under clock_lock_, with native_ and used_
  uint64_t used_ = 0;
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
      object->Started();
      startAddress(parameter);
      object->Ending();
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

namespace vorn::win32 {

bool ThreadCpuNanoseconds(HANDLE thread, uint64_t* nanoseconds) {
  std::shared_ptr<ThreadObject> object = ReferenceObjectAs<ThreadObject>(thread);
  if (object == nullptr) return false;
  *nanoseconds = object->CpuNanoseconds();
  return true;
}

}  // namespace vorn::win32

namespace vorn::win32 {

uint64_t StartedThreadsCpuNanoseconds() {
  std::lock_guard<std::mutex> registry(RegistryLock());
  uint64_t total = ended_threads_ns;
  for (ThreadObject* t : LiveThreads()) total += t->CpuNanoseconds();
  return total;
}

}  // namespace vorn::win32
