#include "platform/win32/performance_counter.h"

#include "platform/nt/clock.h"

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
  if (count == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  count->QuadPart = vorn::clock::PerformanceCounter();
  return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
  if (frequency == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  frequency->QuadPart = vorn::clock::kPerformanceFrequency;
  return TRUE;
}
