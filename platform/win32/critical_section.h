// Critical sections: a lock a thread may enter again while it holds it. Leaving one that the
// calling thread does not hold is a fault of the caller; it is reported on the debugger
// output and changes nothing.
#pragma once

#include <atomic>

#include "platform/win32/types.h"

struct CRITICAL_SECTION {
  void* Lock;                          // the lock, made by InitializeCriticalSection
  std::atomic<DWORD> OwningThread;     // 0 while nobody holds it
  LONG RecursionCount;                 // written by the owner only
};

void InitializeCriticalSection(CRITICAL_SECTION* section);
void DeleteCriticalSection(CRITICAL_SECTION* section);
void EnterCriticalSection(CRITICAL_SECTION* section);
BOOL TryEnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);
