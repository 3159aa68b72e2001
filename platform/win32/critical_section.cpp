#include "platform/win32/critical_section.h"

#include <mutex>

#include "platform/win32/debug_output.h"
#include "platform/win32/thread.h"

namespace {
std::recursive_mutex* LockOf(CRITICAL_SECTION* s) { return static_cast<std::recursive_mutex*>(s->Lock); }

void Entered(CRITICAL_SECTION* s) {
  s->OwningThread.store(GetCurrentThreadId());
  ++s->RecursionCount;
}
}  // namespace

void InitializeCriticalSection(CRITICAL_SECTION* section) {
  section->Lock = new std::recursive_mutex;
  section->OwningThread.store(0);
  section->RecursionCount = 0;
}

void DeleteCriticalSection(CRITICAL_SECTION* section) {
  if (section->OwningThread.load() != 0)
    OutputDebugStringA("DeleteCriticalSection: the section is still held\n");
  delete LockOf(section);
  section->Lock = nullptr;
}

void EnterCriticalSection(CRITICAL_SECTION* section) {
  LockOf(section)->lock();
  Entered(section);
}

BOOL TryEnterCriticalSection(CRITICAL_SECTION* section) {
  if (!LockOf(section)->try_lock()) return FALSE;
  Entered(section);
  return TRUE;
}

void LeaveCriticalSection(CRITICAL_SECTION* section) {
  if (section->OwningThread.load() != GetCurrentThreadId()) {
    OutputDebugStringA("LeaveCriticalSection: the calling thread does not hold the section\n");
    return;
  }
  if (--section->RecursionCount == 0) section->OwningThread.store(0);
  LockOf(section)->unlock();
}
