// The performance counter: the process clock in ticks of 100 ns, so timings measured with it
// agree with every time-out of the stand-ins, also at a fast clock speed.
#pragma once

#include "platform/win32/types.h"

// Both fail (FALSE, ERROR_INVALID_PARAMETER) only for a null pointer.
BOOL QueryPerformanceCounter(LARGE_INTEGER* count);
BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);
