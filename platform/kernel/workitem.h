// Work items: routines queued to the kernel's system worker threads, run at PASSIVE_LEVEL.
// A queued item holds a reference to its device object until its routine has returned.
#pragma once

#include <functional>

#include "platform/kernel/irp.h"

struct IO_WORKITEM;
using PIO_WORKITEM = IO_WORKITEM*;
using PIO_WORKITEM_ROUTINE = void (*)(DEVICE_OBJECT* device, PVOID context);
enum WORK_QUEUE_TYPE { CriticalWorkQueue = 0, DelayedWorkQueue = 1 };

PIO_WORKITEM IoAllocateWorkItem(DEVICE_OBJECT* device);
void IoFreeWorkItem(PIO_WORKITEM item);
void IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE queue, PVOID context);

namespace vorn::kernel::internal {
// Runs |job| on a system worker thread at PASSIVE_LEVEL.
void PostWork(std::function<void()> job);
}  // namespace vorn::kernel::internal

namespace vorn::kernel {
// Waits until no work item is queued or running.
void WaitWorkIdle();
}  // namespace vorn::kernel
