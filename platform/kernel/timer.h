// Timers, deferred procedure calls and time, all on the one clock (platform/nt/clock.h).
// Expired timers are signalled by the kernel's timer thread; their DPCs run, in the order
// queued, at DISPATCH_LEVEL on the kernel's DPC thread.
#pragma once

#include "platform/kernel/sync.h"

struct KDPC;
using PKDEFERRED_ROUTINE = void (*)(KDPC* dpc, PVOID context, PVOID argument1, PVOID argument2);

struct KDPC {
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  UCHAR Inserted;  // queued and not yet run
  UCHAR Reserved[7];
  LIST_ENTRY DpcListEntry;
};

enum TIMER_TYPE { NotificationTimer = 0, SynchronizationTimer = 1 };

struct KTIMER {
  DISPATCHER_HEADER Header;
  int64_t DueTime;  // virtual nanoseconds
  LONG Period;      // milliseconds, 0 = one-shot
  UCHAR Inserted;
  UCHAR Reserved[3];
  KDPC* Dpc;
};

void KeInitializeDpc(KDPC* dpc, PKDEFERRED_ROUTINE routine, PVOID context);
// False when the DPC is already queued.
BOOLEAN KeInsertQueueDpc(KDPC* dpc, PVOID argument1, PVOID argument2);
// True when the DPC was queued and is now taken off the queue.
BOOLEAN KeRemoveQueueDpc(KDPC* dpc);
// Returns once every DPC queued before the call has run. PASSIVE_LEVEL only.
void KeFlushQueuedDpcs();

void KeInitializeTimer(KTIMER* timer);
void KeInitializeTimerEx(KTIMER* timer, TIMER_TYPE type);
// |due|: negative relative (100 ns units) or positive absolute system time. Returns whether
// the timer was already set.
BOOLEAN KeSetTimer(KTIMER* timer, LARGE_INTEGER due, KDPC* dpc);
BOOLEAN KeSetTimerEx(KTIMER* timer, LARGE_INTEGER due, LONG period_ms, KDPC* dpc);
// Returns whether the timer was set. A DPC already queued by it stays queued.
BOOLEAN KeCancelTimer(KTIMER* timer);
BOOLEAN KeReadStateTimer(KTIMER* timer);

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable, LARGE_INTEGER* interval);
// Ticks of clock::kPerformanceFrequency; the frequency goes to |frequency| when given.
LARGE_INTEGER KeQueryPerformanceCounter(LARGE_INTEGER* frequency);
void KeQuerySystemTime(LARGE_INTEGER* time);
ULONGLONG KeQueryInterruptTime();
// Accepted and recorded; the clock's resolution does not change.
ULONG ExSetTimerResolution(ULONG desired, BOOLEAN set);

namespace vorn::kernel {
// True on the kernel's DPC thread.
bool OnDpcThread();
}  // namespace vorn::kernel
