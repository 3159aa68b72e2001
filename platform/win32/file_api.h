// Devices as an application opens them: CreateFileW on a device interface path (what follows
// the interface's own path, "\\roothub" say, is the file name the driver sees), synchronous
// DeviceIoControl calls with buffered and direct buffers, and CloseHandle. Every call goes
// into the kernel stand-in as the I/O manager's requests (IRP_MJ_CREATE, DEVICE_CONTROL,
// CLEANUP, CLOSE); a failure is FALSE or INVALID_HANDLE_VALUE with the driver's NTSTATUS read
// as the Win32 error an application sees (GetLastError).
#pragma once

#include "platform/nt/status.h"
#include "platform/win32/handle.h"

// Error codes a device call reports besides those of types.h.
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_NOT_READY = 21;
constexpr DWORD ERROR_BAD_COMMAND = 22;
constexpr DWORD ERROR_CRC = 23;
constexpr DWORD ERROR_BAD_LENGTH = 24;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_SEM_TIMEOUT = 121;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_BUSY = 170;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;  // an NTSTATUS without a Win32 counterpart
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_NOACCESS = 998;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr DWORD ERROR_NOT_FOUND = 1168;
constexpr DWORD ERROR_INTERNAL_ERROR = 1359;
constexpr DWORD ERROR_NO_SYSTEM_RESOURCES = 1450;
constexpr DWORD ERROR_DEVICE_REMOVED = 1617;
constexpr DWORD ERROR_INVALID_USER_BUFFER = 1784;

// Dispositions and flags of CreateFileW (access and sharing: platform/nt/types.h). Devices are
// opened whatever the access, sharing, flags and template; the disposition must be one of the
// five.
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;

// Asynchronous calls are not offered: a DeviceIoControl with an OVERLAPPED fails with
// ERROR_INVALID_PARAMETER. A handle opened with FILE_FLAG_OVERLAPPED is accepted, and a call
// on it without one waits for its completion like any other (even when the driver pends it),
// so no answer is ever written into a caller's buffers after the call has returned.
struct OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;

// INVALID_HANDLE_VALUE on failure: ERROR_FILE_NOT_FOUND when no enabled interface has the
// path, otherwise the driver's refusal of the create.
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file);

// Sends |code| and waits for its completion. The bytes returned are the driver's Information
// (0 when the call failed). A null buffer with a non-zero length fails with ERROR_NOACCESS
// before anything is sent.
BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD input_length, LPVOID output,
                     DWORD output_length, LPDWORD bytes_returned, LPOVERLAPPED overlapped);

namespace vorn::win32 {
// The Win32 error an application sees for a driver's |status|.
DWORD Win32ErrorFromNtStatus(NTSTATUS status);
// The kernel file object behind a device handle (opaque here), or null with
// ERROR_INVALID_HANDLE for any other handle; for the device notifications of a handle.
void* KernelFileOfHandle(HANDLE device);
}  // namespace vorn::win32
