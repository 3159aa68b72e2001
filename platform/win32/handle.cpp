#include "platform/win32/handle.h"

#include <condition_variable>
#include <unordered_map>

#include "platform/win32/wait_state.h"

namespace vorn::win32 {
namespace {

// Handle values start at 4 and grow by 4; 0 and all-ones never come out.
constexpr uintptr_t kHandleStep = 4;
constexpr uintptr_t kLastHandleValue = UINTPTR_MAX - 2 * kHandleStep;

struct HandleTable {
  std::mutex lock;
  std::unordered_map<uintptr_t, std::shared_ptr<Object>> objects;
  uintptr_t next = kHandleStep;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // outlives every thread at process exit
  return *table;
}

}  // namespace

WaitState& GetWaitState() {
  static WaitState* state = new WaitState;
  return *state;
}

std::mutex& WaitLock() { return GetWaitState().lock; }

void NotifyWaiters() { GetWaitState().changed.notify_all(); }

HANDLE InsertObject(std::shared_ptr<Object> object) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  if (table.next > kLastHandleValue) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  uintptr_t value = table.next;
  table.next += kHandleStep;
  table.objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> ReferenceObject(HANDLE handle) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
  if (it == table.objects.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return it->second;
}

size_t OpenHandleCount() {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  return table.objects.size();
}

}  // namespace vorn::win32

namespace {
thread_local DWORD last_error = ERROR_SUCCESS;
}  // namespace

DWORD GetLastError() { return last_error; }
void SetLastError(DWORD error) { last_error = error; }

BOOL CloseHandle(HANDLE handle) {
  using namespace vorn::win32;
  std::shared_ptr<Object> object;
  {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.objects.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    object = std::move(it->second);
    table.objects.erase(it);
  }
  // Outside the table lock: closing a file will call into the kernel.
  return object->Close() ? TRUE : FALSE;
}
