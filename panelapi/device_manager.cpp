#include "panelapi/device_manager.h"

#include <cstring>
#include <vector>

#include "panelapi/debug_print.h"
#include "platform/win32/file_api.h"
#include "platform/win32/setupapi.h"
#include "platform/win32/synch.h"
#include "platform/win32/thread.h"
#include "protocol/guids.h"

namespace vorn::panelapi {
namespace {

constexpr char16_t kClassName[] = u"NotifyWindow";
constexpr char16_t kWindowTitle[] = u"WinTitle";
constexpr char16_t kStationFilter[] = u"\\\\?\\USB#VID_3A7C&PID_0A5E";
constexpr char16_t kWideStationFilter[] = u"\\\\?\\USB#VID_3A7C&PID_0C41";
constexpr int kProduct = 0x0A5E;
constexpr int kWideProduct = 0x0C41;
// Asks the notification thread to close everything and destroy its window.
constexpr UINT kStopMessage = WM_USER + 0x100;
HBRUSH const kBackgroundBrush = reinterpret_cast<HBRUSH>(static_cast<uintptr_t>(1));

HANDLE AsHandle(uint64_t h) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(h)); }
uint64_t AsU64(HANDLE h) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(h)); }

size_t Length(const WCHAR* s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

bool Contains(const WCHAR* text, const WCHAR* part) {
  return std::u16string_view(text).find(part) != std::u16string_view::npos;
}

bool PassesFilter(const WCHAR* path) { return ProductIdOfPath(path) != 0; }

}  // namespace

int ProductIdOfPath(const WCHAR* path) {
  if (!path) return 0;
  if (Contains(path, kStationFilter)) return kProduct;
  if (Contains(path, kWideStationFilter)) return kWideProduct;
  return 0;
}

CQorUsb::CQorUsb(HANDLE h, const WCHAR* p) : handle(AsU64(h)) {
  const size_t n = Length(p);
  std::memcpy(path, p, n * sizeof(WCHAR));
  path[n] = 0;
}

CPanelDeviceManager::CPanelDeviceManager() = default;

CPanelDeviceManager::~CPanelDeviceManager() { Stop(); }

void CPanelDeviceManager::SetCallback(PanelNotifyCallback callback) {
  lock.Lock();
  callback_ = callback;
  lock.Unlock();
}

void CPanelDeviceManager::Notify(HANDLE device, int arrived) {
  lock.Lock();
  PanelNotifyCallback callback = callback_;
  lock.Unlock();
  // Nothing to tell before the application has registered its callback.
  if (callback) callback(nullptr, device, arrived);
}

DWORD CPanelDeviceManager::DeviceCount() {
  DWORD n = 0;
  lock.Lock();
  for (CQorUsb* d : devices_)
    if (d) ++n;
  lock.Unlock();
  return n;
}

HANDLE CPanelDeviceManager::GetDeviceHandle(int index) {
  if (index < 0 || index >= kMaxDevices) return nullptr;
  lock.Lock();
  HANDLE h = devices_[index] ? AsHandle(devices_[index]->handle) : nullptr;
  lock.Unlock();
  return h;
}

int CPanelDeviceManager::GetDeviceProductId(int index) {
  if (index < 0 || index >= kMaxDevices) return 0;
  lock.Lock();
  int id = devices_[index] ? ProductIdOfPath(devices_[index]->path) : 0;
  lock.Unlock();
  return id;
}

HRESULT CPanelDeviceManager::StartNotificationThread() {
  if (thread_) return E_FAIL;
  ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!ready_) return E_FAIL;
  DWORD id = 0;
  thread_ = CreateThread(nullptr, 0, NotificationThread, this, 0, &id);
  if (!thread_) {
    CloseHandle(ready_);
    ready_ = nullptr;
    return E_FAIL;
  }
  thread_id_ = id;
  return S_OK;
}

void CPanelDeviceManager::Stop() {
  if (!thread_) return;
  // The thread owns its window: once it has one (or has given up), ask it to close
  // everything and destroy the window, which ends its message loop.
  WaitForSingleObject(ready_, INFINITE);
  if (window_) PostMessageW(window_, kStopMessage, 0, 0);
  WaitForSingleObject(thread_, INFINITE);
  CloseHandle(thread_);
  CloseHandle(ready_);
  thread_ = ready_ = nullptr;
  thread_id_ = 0;
  window_ = nullptr;
  UnregisterClassW(kClassName, class_instance_);
}

DWORD WINAPI CPanelDeviceManager::NotificationThread(LPVOID manager) {
  return static_cast<CPanelDeviceManager*>(manager)->RunNotificationThread();
}

DWORD CPanelDeviceManager::RunNotificationThread() {
  WNDCLASSEXW c{};
  c.cbSize = sizeof c;
  c.style = CS_DBLCLKS;
  c.lpfnWndProc = NotifyWindowProc;
  c.hInstance = class_instance_;
  c.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
  c.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  c.hbrBackground = kBackgroundBrush;
  c.lpszClassName = kClassName;
  c.hIconSm = LoadIconW(nullptr, IDI_APPLICATION);
  if (!RegisterClassExW(&c)) {
    DebugPrint("The window class failed to register\n");
    SetEvent(ready_);
    return static_cast<DWORD>(E_INVALIDARG);
  }
  HWND window = CreateWindowExW(0, kClassName, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                                CW_USEDEFAULT, 0, HWND_MESSAGE, nullptr, class_instance_, this);
  if (!window) {
    MessageBoxW(nullptr, u"Problem creating the window.", u"Error", MB_OK);
    SetEvent(ready_);
    return static_cast<DWORD>(E_INVALIDARG);
  }
  ShowWindow(window, SW_HIDE);
  UpdateWindow(window);
  window_ = window;

  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = protocol::kMainControlInterfaceGuid;
  interface_notification_ = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  if (!interface_notification_ && GetLastError() != 0) {
    // Without notifications nothing is followed: the thread ends, and with it its window.
    DestroyWindow(window);
    window_ = nullptr;
    SetEvent(ready_);
    return 0;
  }
  SetEvent(ready_);
  EnumeratePresent();

  MSG msg;
  for (;;) {
    BOOL r = GetMessageW(&msg, nullptr, 0, 0);
    if (r == 0) break;
    if (r == -1) {
      DebugPrint("************* GetMessage Return -1\n");
      continue;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  UnregisterNotifications();
  if (IsWindow(window)) DestroyWindow(window);
  return 0;
}

void CPanelDeviceManager::EnumeratePresent() {
  HDEVINFO set = SetupDiGetClassDevsW(&protocol::kMainControlInterfaceGuid, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &protocol::kMainControlInterfaceGuid, i, &data); ++i) {
    DWORD need = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &need, nullptr);
    if (need < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
    std::vector<uint64_t> storage((need + 7) / 8);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, need, nullptr, nullptr)) continue;
    CharUpperW(detail->DevicePath);
    if (PassesFilter(detail->DevicePath)) OpenPanelDevice(detail->DevicePath);
  }
  SetupDiDestroyDeviceInfoList(set);
}

LRESULT WINAPI CPanelDeviceManager::NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<CPanelDeviceManager*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (message) {
    case WM_NCCREATE:
      if (lParam)
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
      return TRUE;
    case WM_CLOSE:
      return 0;  // the window stays
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case kStopMessage:
      if (self) self->CloseAllDevices();
      DestroyWindow(window);
      return 0;
    case WM_DEVICECHANGE:
      if (!self) return 0;
      switch (wParam) {
        case DBT_DEVICEARRIVAL:
          DebugPrint("*******DBT_DEVICEARRIVAL*******\n");
          self->OnDeviceArrival(lParam);
          break;
        case DBT_DEVICEQUERYREMOVE:
          DebugPrint("*******DBT_DEVICEQUERYREMOVE*******\n");
          self->OnQueryRemove(lParam);
          break;
        case DBT_DEVICEQUERYREMOVEFAILED:
          DebugPrint("*******DBT_DEVICEQUERYREMOVEFAILED*******\n");
          self->OnDeviceArrival(lParam);
          break;
        case DBT_DEVICEREMOVECOMPLETE:
          DebugPrint("*******DBT_DEVICEREMOVECOMPLETE*******\n");
          self->OnDeviceRemoveComplete(lParam);
          break;
        default:
          break;
      }
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

void CPanelDeviceManager::OnDeviceArrival(LPARAM broadcast) {
  auto* header = reinterpret_cast<DEV_BROADCAST_HDR*>(broadcast);
  if (!header || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return;
  auto* b = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(broadcast);
  DebugPrint("Add dbcc_name = %s\n", Narrow(b->dbcc_name).c_str());
  CharUpperW(b->dbcc_name);
  if (PassesFilter(b->dbcc_name)) OpenPanelDevice(b->dbcc_name);
}

int CPanelDeviceManager::OpenPanelDevice(const WCHAR* path) {
  // A path the entry cannot hold is not opened: a cut path would match nothing later.
  if (Length(path) >= kPathChars) return -1;
  lock.Lock();
  for (CQorUsb* d : devices_)
    if (d && std::u16string_view(d->path) == path) {
      lock.Unlock();
      return 1;
    }
  lock.Unlock();
  HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  auto* entry = new CQorUsb(h, path);
  DEV_BROADCAST_HANDLE filter{};
  filter.dbch_size = sizeof filter;
  filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
  filter.dbch_handle = h;
  entry->notification = RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  lock.Lock();
  int slot = 0;
  while (slot < kMaxDevices && devices_[slot]) ++slot;
  if (slot == kMaxDevices) {
    lock.Unlock();
    CloseEntry(entry);
    delete entry;
    return 0;
  }
  devices_[slot] = entry;
  lock.Unlock();
  DebugPrint("%ld.new CQorUsb:0x%x \n", 345L, static_cast<unsigned>(reinterpret_cast<uintptr_t>(entry)));
  Notify(h, 1);
  return 0;
}

CQorUsb* CPanelDeviceManager::TakeEntry(int slot) {
  CQorUsb* entry = devices_[slot];
  devices_[slot] = nullptr;
  return entry;
}

void CPanelDeviceManager::CloseEntry(CQorUsb* entry) {
  if (entry->notification) {
    UnregisterDeviceNotification(entry->notification);
    entry->notification = nullptr;
  }
  if (AsHandle(entry->handle) != INVALID_HANDLE_VALUE) {
    CloseHandle(AsHandle(entry->handle));
    DebugPrint("ok\n");
    entry->handle = AsU64(INVALID_HANDLE_VALUE);
  }
}

void CPanelDeviceManager::OnQueryRemove(LPARAM broadcast) {
  auto* header = reinterpret_cast<DEV_BROADCAST_HDR*>(broadcast);
  if (!header || header->dbch_devicetype != DBT_DEVTYP_HANDLE) return;
  HANDLE h = reinterpret_cast<DEV_BROADCAST_HANDLE*>(broadcast)->dbch_handle;
  DebugPrint("query device Handle = 0x%p\n", h);
  CQorUsb* entry = nullptr;
  lock.Lock();
  for (int i = 0; i < kMaxDevices && !entry; ++i)
    if (devices_[i] && AsHandle(devices_[i]->handle) == h) entry = TakeEntry(i);
  lock.Unlock();
  if (!entry) return;
  DebugPrint("Find device 0x%p to be remove\n", h);
  CloseEntry(entry);
  delete entry;
  Notify(h, 0);
}

void CPanelDeviceManager::OnDeviceRemoveComplete(LPARAM broadcast) {
  auto* header = reinterpret_cast<DEV_BROADCAST_HDR*>(broadcast);
  if (!header || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return;
  auto* b = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(broadcast);
  DebugPrint("remove dbcc_name = %s\n", Narrow(b->dbcc_name).c_str());
  CharUpperW(b->dbcc_name);
  CQorUsb* entry = nullptr;
  bool any = false;
  lock.Lock();
  for (int i = 0; i < kMaxDevices && !entry; ++i) {
    if (!devices_[i]) continue;
    any = true;
    if (Contains(b->dbcc_name, devices_[i]->path)) entry = TakeEntry(i);
  }
  lock.Unlock();
  if (!any) {
    DebugPrint("Device has been removed\n");
    return;
  }
  if (!entry) return;
  HANDLE h = AsHandle(entry->handle);
  DebugPrint("######## RemoveDevice: 0x%x \n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(h)));
  CloseEntry(entry);
  delete entry;
  Notify(h, 0);
}

void CPanelDeviceManager::CloseAllDevices() {
  for (int i = 0; i < kMaxDevices; ++i) {
    lock.Lock();
    CQorUsb* entry = TakeEntry(i);
    lock.Unlock();
    if (!entry) continue;
    CloseEntry(entry);
    delete entry;
  }
  UnregisterNotifications();
}

void CPanelDeviceManager::UnregisterNotifications() {
  if (interface_notification_) {
    UnregisterDeviceNotification(interface_notification_);
    interface_notification_ = nullptr;
  }
}

}  // namespace vorn::panelapi
