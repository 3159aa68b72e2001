// The device manager of the panel library: one per process, with its table of opened
// stations, the notification thread and its hidden message-only window.
//
// Every open and every removal runs on the notification thread; the table is read and
// changed only under the manager's lock, by that thread and by the exports alike. Each
// opened station has its own handle notification, so the query-remove of one station
// releases only its own registration.
#pragma once

#include "panelapi/glimden.h"
#include "platform/win32/critical_section.h"
#include "platform/win32/device_notify.h"
#include "platform/win32/window.h"

namespace vorn::panelapi {

constexpr int kMaxDevices = 260;
constexpr size_t kPathChars = 260;  // with the terminator

// The lock around the device table.
class CVornNSLock {
 public:
  CVornNSLock() { InitializeCriticalSection(&section_); }
  virtual ~CVornNSLock() { DeleteCriticalSection(&section_); }
  CVornNSLock(const CVornNSLock&) = delete;
  CVornNSLock& operator=(const CVornNSLock&) = delete;
  void Lock() { EnterCriticalSection(&section_); }
  void Unlock() { LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION section_;
};

// One opened station.
class CQorUsb {
 public:
  // |path| must fit the entry (below kPathChars characters); OpenPanelDevice tests it.
  CQorUsb(HANDLE handle, const WCHAR* path);
  ~CQorUsb() {}

  uint64_t handle;  // INVALID_HANDLE_VALUE once closed
  WCHAR path[kPathChars];  // upper-cased device interface path
  HDEVNOTIFY notification = nullptr;  // this station's handle notification
};

class CPanelDeviceManager {
 public:
  CPanelDeviceManager();
  ~CPanelDeviceManager();
  CPanelDeviceManager(const CPanelDeviceManager&) = delete;
  CPanelDeviceManager& operator=(const CPanelDeviceManager&) = delete;

  HRESULT StartNotificationThread();
  // Has the notification thread close every device and destroy its window, waits for the
  // thread to end and unregisters the window class; safe when the thread never ran or has
  // ended already.
  void Stop();

  void SetCallback(PanelNotifyCallback callback);
  // Calls the callback when one is registered.
  void Notify(HANDLE device, int arrived);

  DWORD DeviceCount();
  HANDLE GetDeviceHandle(int index);
  int GetDeviceProductId(int index);

  CVornNSLock lock;

 private:
  static DWORD WINAPI NotificationThread(LPVOID manager);
  static LRESULT WINAPI NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  DWORD RunNotificationThread();
  void EnumeratePresent();
  void OnDeviceArrival(LPARAM broadcast);
  void OnQueryRemove(LPARAM broadcast);
  void OnDeviceRemoveComplete(LPARAM broadcast);
  // Opens the station at |path| (upper-cased) unless it is open already: 1 when it was
  // open, -1 when it cannot be opened, 0 otherwise. Calls the callback for a new device.
  int OpenPanelDevice(const WCHAR* path);
  // Closes the entry's handle and notification and frees slot |slot|; called with the lock.
  CQorUsb* TakeEntry(int slot);
  static void CloseEntry(CQorUsb* entry);
  void CloseAllDevices();
  void UnregisterNotifications();

  PanelNotifyCallback callback_ = nullptr;
  CQorUsb* devices_[kMaxDevices] = {};
  HINSTANCE class_instance_ = nullptr;
  HANDLE thread_ = nullptr;
  DWORD thread_id_ = 0;
  HWND window_ = nullptr;
  HDEVNOTIFY interface_notification_ = nullptr;
  HANDLE ready_ = nullptr;  // set once the thread has its window, or has ended without one
  int reserved_ = 3;
};

// The product id a path stands for: 0x0A5E or 0x0C41 by the device-path filter, else 0.
int ProductIdOfPath(const WCHAR* path);

}  // namespace vorn::panelapi
