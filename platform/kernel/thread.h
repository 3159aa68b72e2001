// System threads. A thread object is a dispatcher object that is signalled when the thread
// ends; a driver waits on it after taking a reference through the thread's handle.
#pragma once

#include "platform/kernel/object.h"

using PKSTART_ROUTINE = void (*)(PVOID context);

struct KTHREAD {
  DISPATCHER_HEADER Header;
  KPRIORITY Priority;
  LONG BasePriorityIncrement;
  NTSTATUS ExitStatus;
  LONG Reserved;
};
using PKTHREAD = KTHREAD*;
using ETHREAD = KTHREAD;
using PETHREAD = KTHREAD*;

struct CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
};

NTSTATUS PsCreateSystemThread(PHANDLE handle, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes,
                              HANDLE process, CLIENT_ID* client_id, PKSTART_ROUTINE routine,
                              PVOID context);
// Ends the calling system thread; it does not return. Only on a thread PsCreateSystemThread
// made.
[[noreturn]] NTSTATUS PsTerminateSystemThread(NTSTATUS exit_status);
PKTHREAD KeGetCurrentThread();
inline PETHREAD PsGetCurrentThread() { return KeGetCurrentThread(); }
KPRIORITY KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority);
LONG KeSetBasePriorityThread(PKTHREAD thread, LONG increment);

namespace vorn::kernel {
// System threads still running (a test can check that every driver thread ended).
int RunningSystemThreads();
}  // namespace vorn::kernel
