// The exports around the device manager, the mouse hook and the library's entry.
#include "panelapi/glimden.h"

#include "panelapi/debug_print.h"
#include "panelapi/device_manager.h"
#include "platform/win32/mouse_hook.h"

namespace vorn::panelapi {
namespace {

constexpr DWORD DLL_PROCESS_ATTACH = 1;
constexpr DWORD DLL_THREAD_ATTACH = 2;
constexpr DWORD kModulePathChars = 255;
constexpr long kHookFailureLine = 72;

// The process globals. g_lock guards the manager pointer and the hook against a Destroy on
// another thread: the hook and the exports use the manager only while they hold it.
struct Globals {
  Globals() { InitializeCriticalSection(&lock); }
  CRITICAL_SECTION lock;
  CPanelDeviceManager* manager = nullptr;
  HHOOK mouse_hook = nullptr;
  void* start_argument = nullptr;  // kept, not read
  HINSTANCE module = nullptr;      // kept, not read
  WCHAR module_path[kModulePathChars + 1] = {};
};

Globals& G() {
  static auto* g = new Globals;
  return *g;
}

struct Held {
  Held() { EnterCriticalSection(&G().lock); }
  ~Held() { LeaveCriticalSection(&G().lock); }
};

LRESULT WINAPI MouseHookProc(int code, WPARAM wParam, LPARAM lParam) {
  HHOOK hook;
  {
    Held held;
    hook = G().mouse_hook;
    // A left-button release anywhere: the callback hears of it with no device.
    if (code == HC_ACTION && wParam == WM_LBUTTONUP && G().manager) G().manager->Notify(nullptr, 1);
  }
  return CallNextHookEx(hook, code, wParam, lParam);
}

// Removes the hook; true when it was installed. A hook whose thread has ended went with it:
// its handle is forgotten, so that a later Start installs a new one on a living thread.
bool RemoveHook() {
  if (!G().mouse_hook) return false;
  if (!UnhookWindowsHookEx(G().mouse_hook)) {
    if (GetLastError() == ERROR_INVALID_HOOK_HANDLE) G().mouse_hook = nullptr;
    return false;
  }
  G().mouse_hook = nullptr;
  DebugPrint("Detach Mouse Process.\n");
  return true;
}

}  // namespace

BOOL DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH || reason == DLL_THREAD_ATTACH) {
    Held held;
    G().module = module;
    GetModuleFileNameW(module, G().module_path, kModulePathChars);
  }
  return TRUE;
}

// The loader's call of the entry: the module is named by an address inside it.
__attribute__((constructor)) static void AttachProcess() {
  DllMain(reinterpret_cast<HINSTANCE>(&AttachProcess), DLL_PROCESS_ATTACH, nullptr);
}

}  // namespace vorn::panelapi

using namespace vorn::panelapi;

HRESULT PFN_Start_GLIMDEN(void* argument) {
  Held held;
  // Called again while the hook is in: only the hook goes; the manager and thread stay. A
  // hook that ended with its thread is not in: this call installs one again.
  if (G().mouse_hook && (RemoveHook() || G().mouse_hook)) return S_OK;
  G().mouse_hook = SetWindowsHookExW(WH_MOUSE_LL, MouseHookProc, GetModuleHandleW(nullptr), 0);
  if (!G().mouse_hook) {
    DebugPrint("!g_mouseHook (%ld) \n", kHookFailureLine);
    return E_FAIL;  // no manager: nothing to start without the hook's thread
  }
  G().start_argument = argument;
  if (G().manager) return E_FAIL;
  auto* manager = new CPanelDeviceManager;
  G().manager = manager;
  HRESULT hr = manager->StartNotificationThread();
  if (hr != S_OK) {
    G().manager = nullptr;
    delete manager;
  }
  return hr;
}

void PFN_Destroy_GLIMDEN() {
  CPanelDeviceManager* manager;
  {
    Held held;
    RemoveHook();
    manager = G().manager;
    G().manager = nullptr;
  }
  // The thread may still report a device; it finds the manager alive until it has ended.
  if (manager) {
    manager->Stop();
    delete manager;
  }
}

int PFN_RegisterDeviceNotification(void*, PanelNotifyCallback callback) {
  Held held;
  if (G().manager) G().manager->SetCallback(callback);
  return 0;
}

DWORD PFN_OP_Get_Device_Count() {
  Held held;
  return G().manager ? G().manager->DeviceCount() : 0;
}

HANDLE PFN_OP_Get_Device_HWND(int index, int* productId) {
  Held held;
  CPanelDeviceManager* m = G().manager;
  if (productId) *productId = m ? m->GetDeviceProductId(index) : 0;
  return m ? m->GetDeviceHandle(index) : nullptr;
}

CGlimden& CGlimden::operator=(const CGlimden&) { return *this; }
CGlimden& CGlimden::operator=(CGlimden&&) { return *this; }
