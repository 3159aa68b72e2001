// The user-mode services, as one include for code that runs on them.
#pragma once

#include "platform/win32/handle.h"
#include "platform/win32/heap.h"
#include "platform/win32/performance_counter.h"
#include "platform/win32/synch.h"
#include "platform/win32/thread.h"
#include "platform/win32/trace.h"
#include "platform/win32/types.h"
