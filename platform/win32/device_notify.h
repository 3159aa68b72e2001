// Device-change notifications for windows: RegisterDeviceNotificationW for an interface class
// (arrival and removal of its interfaces) or for a device handle (query-remove, its failure,
// and remove-complete), and the WM_DEVICECHANGE broadcasts that follow the kernel.
//
// Arrival and remove-complete reach the registered windows from a broadcast thread of the
// services, in the order the kernel changed the interfaces, each sent (the sender waits for
// the window procedure). When a device is removed (orderly or by surprise) its interfaces go,
// and every window still registered for a handle to it gets DBT_DEVICEREMOVECOMPLETE of that
// handle once, after the interface broadcast, whether or not the handle is still open. A query-remove is sent on the thread that asked for the removal,
// to the owners of handles to the device before its driver is asked; a window that answers
// BROADCAST_QUERY_DENY, or a handle still open afterwards, vetoes the removal, and then every
// handle owner asked gets DBT_DEVICEQUERYREMOVEFAILED.
#pragma once

#include "platform/win32/window.h"

using HDEVNOTIFY = void*;

struct DEV_BROADCAST_HDR {
  DWORD dbch_size;
  DWORD dbch_devicetype;
  DWORD dbch_reserved;
};

struct DEV_BROADCAST_DEVICEINTERFACE_W {
  DWORD dbcc_size;
  DWORD dbcc_devicetype;
  DWORD dbcc_reserved;
  GUID dbcc_classguid;
  WCHAR dbcc_name[1];
};

struct DEV_BROADCAST_HANDLE {
  DWORD dbch_size;
  DWORD dbch_devicetype;
  DWORD dbch_reserved;
  HANDLE dbch_handle;
  HDEVNOTIFY dbch_hdevnotify;
  GUID dbch_eventguid;
  LONG dbch_nameoffset;
  BYTE dbch_data[1];
};

static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32);
#if UINTPTR_MAX == UINT64_MAX
static_assert(sizeof(DEV_BROADCAST_HANDLE) == 56);
#endif

constexpr DWORD DBT_DEVTYP_DEVICEINTERFACE = 0x00000005;
constexpr DWORD DBT_DEVTYP_HANDLE = 0x00000006;

constexpr WPARAM DBT_DEVICEARRIVAL = 0x8000;
constexpr WPARAM DBT_DEVICEQUERYREMOVE = 0x8001;
constexpr WPARAM DBT_DEVICEQUERYREMOVEFAILED = 0x8002;
constexpr WPARAM DBT_DEVICEREMOVEPENDING = 0x8003;
constexpr WPARAM DBT_DEVICEREMOVECOMPLETE = 0x8004;

constexpr DWORD DEVICE_NOTIFY_WINDOW_HANDLE = 0x00000000;
constexpr DWORD DEVICE_NOTIFY_ALL_INTERFACE_CLASSES = 0x00000004;

constexpr LRESULT BROADCAST_QUERY_DENY = 0x424D5144;

constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_SERVICE_SPECIFIC_ERROR = 1066;

// |recipient| is a window (DEVICE_NOTIFY_WINDOW_HANDLE); |filter| a DEV_BROADCAST_DEVICEINTERFACE_W
// (dbcc_size at least 32) or a DEV_BROADCAST_HANDLE (dbch_size at least 56) for a handle to a
// device. Null with ERROR_INVALID_WINDOW_HANDLE, ERROR_INVALID_DATA for a filter of another
// type or size, ERROR_INVALID_HANDLE for a handle that is not one to a device, ERROR_INVALID_PARAMETER
// for other flags.
HDEVNOTIFY RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags);
BOOL UnregisterDeviceNotification(HDEVNOTIFY notification);

namespace vorn::win32::device_change {

size_t Registrations();
// Waits until every arrival and remove-complete broadcast of the changes made so far has
// been delivered.
void WaitDelivered();

}  // namespace vorn::win32::device_change
