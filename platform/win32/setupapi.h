// Device-interface enumeration: a snapshot of the enabled interfaces of one class, taken from
// the kernel's interface list, with each path in the user-mode spelling ("\\?\USB#...").
#pragma once

#include "platform/win32/window.h"

using HDEVINFO = void*;

constexpr DWORD DIGCF_PRESENT = 0x00000002;
constexpr DWORD DIGCF_DEVICEINTERFACE = 0x00000010;

constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_INVALID_USER_BUFFER = 1784;
constexpr DWORD ERROR_INVALID_FLAGS = 1004;

struct SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
};

struct SP_DEVICE_INTERFACE_DATA {
  DWORD cbSize;
  GUID InterfaceClassGuid;
  DWORD Flags;
  ULONG_PTR Reserved;
};

struct SP_DEVICE_INTERFACE_DETAIL_DATA_W {
  DWORD cbSize;
  WCHAR DevicePath[1];
};

#if UINTPTR_MAX == UINT64_MAX
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8);
#endif

constexpr DWORD SPINT_ACTIVE = 0x00000001;

// Interfaces of |classGuid| only: |flags| must hold DIGCF_DEVICEINTERFACE (else
// ERROR_INVALID_FLAGS); DIGCF_PRESENT or not, only enabled interfaces are listed.
// INVALID_HANDLE_VALUE on failure.
HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, LPCWSTR enumerator, HWND parent, DWORD flags);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);
// The |index|-th interface of the snapshot; ERROR_NO_MORE_ITEMS past the last.
// |deviceInfo| must be null; |data->cbSize| must be sizeof(SP_DEVICE_INTERFACE_DATA).
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* deviceInfo, const GUID* classGuid,
                                 DWORD index, SP_DEVICE_INTERFACE_DATA* data);
// The interface's path. With a null |detail| (size 0): FALSE, ERROR_INSUFFICIENT_BUFFER and the
// size needed. |detail->cbSize| must be sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)
// (ERROR_INVALID_USER_BUFFER); a |detailSize| below the need gives ERROR_INSUFFICIENT_BUFFER.
BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize,
                                      DWORD* requiredSize, SP_DEVINFO_DATA* deviceInfo);

// Upper-cases |text| in place (ASCII letters; the paths and names here are ASCII); returns it.
LPWSTR CharUpperW(LPWSTR text);

namespace vorn::win32::setup {

// The user-mode spelling of a kernel link ("\??\X" becomes "\\?\X").
std::u16string UserPath(std::u16string_view link);
// Snapshots not destroyed yet.
size_t OpenSets();

}  // namespace vorn::win32::setup
