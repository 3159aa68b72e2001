// Glimden, the panel-control library: finds the stations whose control interface is present,
// opens them, follows their arrival and removal on a thread of its own and reports both, and
// every release of the left mouse button, to one callback of the application.
#pragma once

#include "platform/win32/types.h"

#define GLIMDEN_API extern "C" __attribute__((visibility("default")))

// arrived 1: |device| was opened (its handle), or the left button was released (|device|
// null); arrived 0: |device| was closed because it is being removed. |context| is always null.
using PanelNotifyCallback = void (*)(void* context, HANDLE device, int arrived);

constexpr HRESULT S_OK = 0;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);

// The first call installs the mouse hook on the calling thread (which must read its
// messages) and starts the device manager; E_FAIL when a manager exists already or the hook
// cannot be installed. A call while the hook is installed only removes the hook (S_OK).
GLIMDEN_API HRESULT PFN_Start_GLIMDEN(void* argument);
// Removes the hook, closes every device, ends the manager's thread and frees the manager.
GLIMDEN_API void PFN_Destroy_GLIMDEN();
// Stores |callback| when the manager exists; |unused| is not read. Returns 0.
GLIMDEN_API int PFN_RegisterDeviceNotification(void* unused, PanelNotifyCallback callback);
// Opened devices.
GLIMDEN_API DWORD PFN_OP_Get_Device_Count();
// The handle in slot |index| (null for a free slot, an index outside the table or no
// manager) and, when |productId| is given, its product id (0x0A5E, 0x0C41, or 0).
GLIMDEN_API HANDLE PFN_OP_Get_Device_HWND(int index, int* productId);

// The exported class: no members; its assignments return the object.
class __attribute__((visibility("default"))) CGlimden {
 public:
  CGlimden& operator=(const CGlimden& other);
  CGlimden& operator=(CGlimden&& other);
};
