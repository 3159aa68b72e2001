// Interrupt request levels, spin locks, dispatcher objects (events, mutexes; timers and
// threads are dispatcher objects too), the wait calls and the interlocked operations.
//
// Each thread has its own IRQL. Spin locks raise it to DISPATCH_LEVEL; a wait with a time-out
// other than zero at DISPATCH_LEVEL, a spin lock taken twice by one thread, a lock released
// by a thread that does not hold it, are reported as violations (violations.h).
#pragma once

#include "platform/kernel/base.h"

KIRQL KeGetCurrentIrql();
void KeRaiseIrql(KIRQL new_irql, KIRQL* old_irql);
void KeLowerIrql(KIRQL new_irql);
KIRQL KeRaiseIrqlToDpcLevel();

using KSPIN_LOCK = ULONG_PTR;
void KeInitializeSpinLock(KSPIN_LOCK* lock);
void KeAcquireSpinLock(KSPIN_LOCK* lock, KIRQL* old_irql);
void KeReleaseSpinLock(KSPIN_LOCK* lock, KIRQL new_irql);
void KeAcquireSpinLockAtDpcLevel(KSPIN_LOCK* lock);
void KeReleaseSpinLockFromDpcLevel(KSPIN_LOCK* lock);

// Dispatcher object types (the Type byte of the header).
enum : UCHAR {
  kObjectNotificationEvent = 0,
  kObjectSynchronizationEvent = 1,
  kObjectMutant = 2,
  kObjectThread = 6,
  kObjectNotificationTimer = 8,
  kObjectSynchronizationTimer = 9,
};

struct DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Reserved[3];
  LONG SignalState;
  LIST_ENTRY WaitListHead;
};
static_assert(sizeof(DISPATCHER_HEADER) == 24);

enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };

struct KEVENT {
  DISPATCHER_HEADER Header;
};
using PKEVENT = KEVENT*;

struct KMUTEX {
  DISPATCHER_HEADER Header;
  uint64_t OwnerThread;  // the owning thread's token, 0 when free
  LONG Recursion;
  LONG Reserved;
};
using KMUTANT = KMUTEX;

void KeInitializeEvent(KEVENT* event, EVENT_TYPE type, BOOLEAN state);
LONG KeSetEvent(KEVENT* event, KPRIORITY increment, BOOLEAN wait);
LONG KeResetEvent(KEVENT* event);
void KeClearEvent(KEVENT* event);
LONG KeReadStateEvent(KEVENT* event);

// Mutexes are recursive: the owner may wait on its mutex again and releases it as often.
void KeInitializeMutex(KMUTEX* mutex, ULONG level);
LONG KeReleaseMutex(KMUTEX* mutex, BOOLEAN wait);
LONG KeReadStateMutex(KMUTEX* mutex);

enum KWAIT_REASON { Executive = 0, UserRequest = 6 };
enum WAIT_TYPE { WaitAll = 0, WaitAny = 1 };
struct KWAIT_BLOCK {
  PVOID Reserved[6];
};
constexpr ULONG THREAD_WAIT_OBJECTS = 3;

// |timeout|: null waits without limit; negative is relative in 100 ns units; positive is an
// absolute system time (KeQuerySystemTime); zero polls. Results: STATUS_WAIT_0 (+ index for
// WaitAny), STATUS_TIMEOUT.
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode,
                               BOOLEAN alertable, LARGE_INTEGER* timeout);
NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID objects[], WAIT_TYPE type,
                                  KWAIT_REASON reason, KPROCESSOR_MODE mode, BOOLEAN alertable,
                                  LARGE_INTEGER* timeout, KWAIT_BLOCK* wait_blocks);

// Interlocked operations; each returns what the platform's does (the new value for
// increment and decrement, the old value for the others).
inline LONG InterlockedIncrement(volatile LONG* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(volatile LONG* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchange(volatile LONG* p, LONG v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchangeAdd(volatile LONG* p, LONG v) { return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedOr(volatile LONG* p, LONG v) { return __atomic_fetch_or(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedAnd(volatile LONG* p, LONG v) { return __atomic_fetch_and(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedCompareExchange(volatile LONG* p, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* p, PVOID v) {
  return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* p, PVOID exchange, PVOID comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
inline LONG InterlockedRead(volatile LONG* p) { return __atomic_load_n(p, __ATOMIC_SEQ_CST); }

namespace vorn::kernel {
// A token naming the calling thread (never 0).
uint64_t CurrentThreadToken();
}  // namespace vorn::kernel
