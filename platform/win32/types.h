// Base types, constants and the per-thread last error of the user-mode services.
//
// Calls report failure the way the platform does: a null handle, FALSE or WAIT_FAILED, with
// the reason left in the calling thread's last error (GetLastError).
#pragma once

#include "platform/nt/types.h"

// Calling convention marker of platform callbacks; the stand-in has one convention only.
#define WINAPI

using LPVOID = void*;
using LPDWORD = DWORD*;
using LPCWSTR = const WCHAR*;
using LPCGUID = const GUID*;

// Every handle value the services hand out is a multiple of 4 and never reused, so a handle
// used after CloseHandle fails with ERROR_INVALID_HANDLE instead of reaching a newer object.
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

// Security attributes are accepted and ignored: one process, one user.
struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

// Error codes in use.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_OUTOFMEMORY = 14;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_WMI_GUID_NOT_FOUND = 4200;

// Waits.
constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
constexpr DWORD WAIT_TIMEOUT = 0x00000102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

// The calling thread's last error; every thread starts with ERROR_SUCCESS.
DWORD GetLastError();
void SetLastError(DWORD error);
