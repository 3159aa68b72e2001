#include "platform/win32/mouse_hook.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/win32/thread.h"

namespace vorn::win32::input {
namespace {

struct Hook {
  HHOOK handle;
  HOOKPROC proc;
  DWORD thread;
};

struct Hooks {
  std::mutex lock;
  std::vector<Hook> chain;  // oldest first
  uintptr_t next = 0x20000;
  uint32_t failures = 0;
  DWORD failure_error = 0;
};

Hooks& H() {
  static auto* h = new Hooks;
  return *h;
}

struct Event {
  MSLLHOOKSTRUCT data;
};

// A thread's hooks end with it, as its windows do: a hook left in the chain after its thread
// has gone would take the input as the newest hook and never pass it on.
struct ThreadHooks {
  DWORD thread = 0;
  ~ThreadHooks() {
    if (!thread) return;
    std::lock_guard<std::mutex> guard(H().lock);
    auto& chain = H().chain;
    chain.erase(std::remove_if(chain.begin(), chain.end(), [&](const Hook& h) { return h.thread == thread; }),
                chain.end());
  }
};
thread_local ThreadHooks own_hooks;

// Runs |hook| on its thread with the event; the event lives as long as the call.
void Deliver(const Hook& hook, UINT message, std::shared_ptr<Event> event) {
  const HHOOK handle = hook.handle;
  const HOOKPROC proc = hook.proc;
  desktop::QueueCall(hook.thread, [=] {
    {
      // A hook removed after the event was queued does not see it.
      std::lock_guard<std::mutex> guard(H().lock);
      if (std::none_of(H().chain.begin(), H().chain.end(),
                       [&](const Hook& h) { return h.handle == handle; }))
        return;
    }
    proc(HC_ACTION, message, reinterpret_cast<LPARAM>(&event->data));
  });
}

}  // namespace

bool InjectMouse(UINT message, POINT pt) {
  Hook newest;
  {
    std::lock_guard<std::mutex> guard(H().lock);
    if (H().chain.empty()) return false;
    newest = H().chain.back();
  }
  auto event = std::make_shared<Event>();
  event->data.pt = pt;
  Deliver(newest, message, event);
  return true;
}

void FailHookInstalls(uint32_t count, DWORD error) {
  std::lock_guard<std::mutex> guard(H().lock);
  H().failures = count;
  H().failure_error = error;
}

size_t InstalledHooks() {
  std::lock_guard<std::mutex> guard(H().lock);
  return H().chain.size();
}

}  // namespace vorn::win32::input

namespace input = vorn::win32::input;

HHOOK SetWindowsHookExW(int idHook, HOOKPROC proc, HINSTANCE module, DWORD threadId) {
  DWORD error = 0;
  if (idHook != WH_MOUSE_LL || !proc) error = ERROR_INVALID_HOOK_FILTER;
  else if (threadId != 0) error = ERROR_GLOBAL_ONLY_HOOK;
  else if (!module) error = ERROR_HOOK_NEEDS_HMOD;
  if (error) {
    SetLastError(error);
    return nullptr;
  }
  vorn::win32::desktop::EnsureQueue();
  std::lock_guard<std::mutex> guard(input::H().lock);
  if (input::H().failures) {
    --input::H().failures;
    SetLastError(input::H().failure_error);
    return nullptr;
  }
  input::H().next += 4;
  HHOOK handle = reinterpret_cast<HHOOK>(input::H().next);
  input::own_hooks.thread = GetCurrentThreadId();
  input::H().chain.push_back({handle, proc, input::own_hooks.thread});
  return handle;
}

BOOL UnhookWindowsHookEx(HHOOK hook) {
  std::lock_guard<std::mutex> guard(input::H().lock);
  auto& chain = input::H().chain;
  auto it = std::find_if(chain.begin(), chain.end(), [&](const input::Hook& h) { return h.handle == hook; });
  if (it == chain.end()) {
    SetLastError(ERROR_INVALID_HOOK_HANDLE);
    return FALSE;
  }
  chain.erase(it);
  return TRUE;
}

LRESULT CallNextHookEx(HHOOK hook, int code, WPARAM wParam, LPARAM lParam) {
  input::Hook next{};
  {
    std::lock_guard<std::mutex> guard(input::H().lock);
    auto& chain = input::H().chain;
    auto it = std::find_if(chain.begin(), chain.end(), [&](const input::Hook& h) { return h.handle == hook; });
    if (it == chain.end() || it == chain.begin()) return 0;
    next = *(it - 1);
  }
  if (code != HC_ACTION || !lParam) return 0;
  if (next.thread == GetCurrentThreadId()) return next.proc(code, wParam, lParam);
  auto event = std::make_shared<input::Event>();
  event->data = *reinterpret_cast<const MSLLHOOKSTRUCT*>(lParam);
  input::Deliver(next, static_cast<UINT>(wParam), event);
  return 0;
}
