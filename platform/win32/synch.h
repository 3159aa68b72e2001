// Events, waits and sleeps. Every wait and sleep runs on the process clock (vorn::clock), so
// a test at ScopedSpeed(1000) sees a 1000 ms time-out end after about a real millisecond.
#pragma once

#include "platform/win32/types.h"

// Unnamed events only: |name| must be null and |attributes| is ignored. Returns null on
// failure (ERROR_INVALID_PARAMETER for a name, ERROR_NOT_ENOUGH_MEMORY by injection).
// An auto-reset event (|manualReset| FALSE) is cleared by the one wait it satisfies.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// Waits until |handle| (event or thread) is signalled or |milliseconds| pass (INFINITE: no
// limit, 0: test and return). WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED with
// ERROR_INVALID_HANDLE.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// Wait-any over 1..MAXIMUM_WAIT_OBJECTS handles: returns WAIT_OBJECT_0 + i for the lowest
// index i signalled at the moment the wait is satisfied, and only that object's wait is
// satisfied (an auto-reset event at a higher index stays set). |waitAll| TRUE is not offered
// (WAIT_FAILED, ERROR_NOT_SUPPORTED); a bad count gives ERROR_INVALID_PARAMETER, a bad
// handle ERROR_INVALID_HANDLE.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                             DWORD milliseconds);

// Sleeps |milliseconds| of clock time; 0 gives up the rest of the time slice.
void Sleep(DWORD milliseconds);
