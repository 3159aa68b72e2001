// The low-level mouse hook and injectable mouse input. A hook runs on the thread that
// installed it, while that thread reads its messages (GetMessageW, PeekMessageW); injected
// input reaches the newest hook, and each hook passes it on with CallNextHookEx. A thread's
// hooks are removed when it ends.
#pragma once

#include "platform/win32/window.h"

struct HHOOK__;
using HHOOK = HHOOK__*;
using HOOKPROC = LRESULT(WINAPI*)(int code, WPARAM wParam, LPARAM lParam);

constexpr int WH_MOUSE_LL = 14;
constexpr int HC_ACTION = 0;

constexpr DWORD ERROR_INVALID_HOOK_FILTER = 1426;
constexpr DWORD ERROR_INVALID_HOOK_HANDLE = 1404;
constexpr DWORD ERROR_HOOK_NEEDS_HMOD = 1428;
constexpr DWORD ERROR_GLOBAL_ONLY_HOOK = 1429;

struct MSLLHOOKSTRUCT {
  POINT pt;
  DWORD mouseData;
  DWORD flags;
  DWORD time;
  ULONG_PTR dwExtraInfo;
};

// WH_MOUSE_LL only (else ERROR_INVALID_HOOK_FILTER), for all threads (|threadId| 0, else
// ERROR_GLOBAL_ONLY_HOOK), with a module (else ERROR_HOOK_NEEDS_HMOD).
HHOOK SetWindowsHookExW(int idHook, HOOKPROC proc, HINSTANCE module, DWORD threadId);
// Any thread may remove any hook; ERROR_INVALID_HOOK_HANDLE for one that is not installed.
BOOL UnhookWindowsHookEx(HHOOK hook);
// Passes the input to the hook installed before |hook| (on its own thread when that is
// another one); 0 when there is none.
LRESULT CallNextHookEx(HHOOK hook, int code, WPARAM wParam, LPARAM lParam);

namespace vorn::win32::input {

// One mouse event (WM_LBUTTONDOWN, WM_LBUTTONUP, WM_MOUSEMOVE, ...) at |pt|: queued for the
// newest hook's thread. Returns whether a hook was there to take it.
bool InjectMouse(UINT message, POINT pt);
// The next |count| installs fail with |error|.
void FailHookInstalls(uint32_t count, DWORD error);
size_t InstalledHooks();

}  // namespace vorn::win32::input
