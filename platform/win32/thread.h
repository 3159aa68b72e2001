// Threads. A thread's handle is waitable and becomes signalled once its start routine has
// returned; closing the handle does not stop or detach anything (the thread runs on).
#pragma once

#include <cstdint>

#include "platform/win32/types.h"

using LPTHREAD_START_ROUTINE = DWORD(WINAPI*)(LPVOID parameter);

// |attributes| and |stackSize| are ignored; |creationFlags| must be 0 (no suspended start).
// Returns the thread's handle, or null (ERROR_INVALID_PARAMETER for a null routine or
// unknown flags, ERROR_NOT_ENOUGH_MEMORY when no thread can be started or by injection).
// |threadId|, when given, receives the new thread's id.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                    LPDWORD threadId);

// The calling thread's id: non-zero, unique in the process, also for threads the services
// did not create (the host's, the test's).
DWORD GetCurrentThreadId();

namespace vorn::win32 {

// The processor time (user and system) the thread of |thread|, a handle CreateThread returned,
// has used so far, in nanoseconds; once it has ended, the time it used in all. False with
// ERROR_INVALID_HANDLE for any other handle. For measurements of the programs around the
// plug-in (benchmarks); the plug-in does not call it.
bool ThreadCpuNanoseconds(HANDLE thread, uint64_t* nanoseconds);

// The processor time of every thread CreateThread started in this process, running or ended,
// together, in nanoseconds. Threads the services did not create (the host's, the tests') are
// not counted.
uint64_t StartedThreadsCpuNanoseconds();

}  // namespace vorn::win32
