#include "platform/kernel/sync.h"

#include <thread>
#include <vector>

#include "platform/kernel/dispatcher.h"
#include "platform/kernel/violations.h"
#include "platform/nt/clock.h"

namespace {

thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local char t_token_anchor;

struct Dispatcher {
  std::mutex lock;
  std::condition_variable cv;
};
Dispatcher& D() {
  static Dispatcher* d = new Dispatcher;
  return *d;
}

// Takes what a satisfied wait takes from the object (dispatcher lock held).
void Satisfy(DISPATCHER_HEADER* h) {
  switch (h->Type) {
    case kObjectSynchronizationEvent:
    case kObjectSynchronizationTimer:
      h->SignalState = 0;
      break;
    case kObjectMutant: {
      auto* m = reinterpret_cast<KMUTEX*>(h);
      m->Header.SignalState = 0;
      m->OwnerThread = vorn::kernel::CurrentThreadToken();
      ++m->Recursion;
      break;
    }
    default:
      break;
  }
}

}  // namespace

namespace vorn::kernel {
uint64_t CurrentThreadToken() { return reinterpret_cast<uint64_t>(&t_token_anchor); }
}  // namespace vorn::kernel

namespace vorn::kernel::internal {

std::mutex& DispatcherLock() { return D().lock; }
void WakeWaiters() { D().cv.notify_all(); }

bool IsSignalled(DISPATCHER_HEADER* h) {
  if (h->Type == kObjectMutant) {
    auto* m = reinterpret_cast<KMUTEX*>(h);
    return m->Header.SignalState > 0 || m->OwnerThread == CurrentThreadToken();
  }
  return h->SignalState > 0;
}

void SignalObject(DISPATCHER_HEADER* h) {
  {
    std::lock_guard<std::mutex> guard(D().lock);
    h->SignalState = 1;
  }
  WakeWaiters();
}

bool TimeoutToDuration(const LARGE_INTEGER* timeout, int64_t* ns) {
  if (!timeout) return false;
  int64_t q = timeout->QuadPart;
  if (q <= 0) {
    *ns = -q * 100;
  } else {
    int64_t now = kSystemTimeBase + clock::NowNs() / 100;
    *ns = q > now ? (q - now) * 100 : 0;
  }
  return true;
}

}  // namespace vorn::kernel::internal

using vorn::kernel::ReportViolation;
namespace internal = vorn::kernel::internal;

KIRQL KeGetCurrentIrql() { return t_irql; }

void KeRaiseIrql(KIRQL new_irql, KIRQL* old_irql) {
  if (new_irql < t_irql) ReportViolation("KeRaiseIrql to %d below the current IRQL %d", new_irql, t_irql);
  *old_irql = t_irql;
  t_irql = new_irql;
}

void KeLowerIrql(KIRQL new_irql) {
  if (new_irql > t_irql) ReportViolation("KeLowerIrql to %d above the current IRQL %d", new_irql, t_irql);
  t_irql = new_irql;
}

KIRQL KeRaiseIrqlToDpcLevel() {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

void KeInitializeSpinLock(KSPIN_LOCK* lock) { __atomic_store_n(lock, 0, __ATOMIC_RELEASE); }

void KeAcquireSpinLockAtDpcLevel(KSPIN_LOCK* lock) {
  if (t_irql < DISPATCH_LEVEL)
    ReportViolation("KeAcquireSpinLockAtDpcLevel at IRQL %d", t_irql);
  ULONG_PTR me = vorn::kernel::CurrentThreadToken();
  for (unsigned spins = 0;; ++spins) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
      return;
    if (expected == me) {
      ReportViolation("spin lock %p acquired twice by one thread", static_cast<void*>(lock));
      return;
    }
    if (spins > 64) std::this_thread::yield();
  }
}

void KeReleaseSpinLockFromDpcLevel(KSPIN_LOCK* lock) {
  ULONG_PTR me = vorn::kernel::CurrentThreadToken();
  ULONG_PTR owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
  if (owner != me) {
    ReportViolation("spin lock %p released by a thread that does not hold it",
                    static_cast<void*>(lock));
    return;
  }
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

void KeAcquireSpinLock(KSPIN_LOCK* lock, KIRQL* old_irql) {
  KeRaiseIrql(DISPATCH_LEVEL, old_irql);
  KeAcquireSpinLockAtDpcLevel(lock);
}

void KeReleaseSpinLock(KSPIN_LOCK* lock, KIRQL new_irql) {
  KeReleaseSpinLockFromDpcLevel(lock);
  KeLowerIrql(new_irql);
}

void KeInitializeEvent(KEVENT* event, EVENT_TYPE type, BOOLEAN state) {
  std::lock_guard<std::mutex> guard(D().lock);
  event->Header.Type = type == NotificationEvent ? kObjectNotificationEvent : kObjectSynchronizationEvent;
  event->Header.SignalState = state ? 1 : 0;
  InitializeListHead(&event->Header.WaitListHead);
}

LONG KeSetEvent(KEVENT* event, KPRIORITY, BOOLEAN) {
  LONG previous;
  {
    std::lock_guard<std::mutex> guard(D().lock);
    previous = event->Header.SignalState;
    event->Header.SignalState = 1;
  }
  internal::WakeWaiters();
  return previous;
}

LONG KeResetEvent(KEVENT* event) {
  std::lock_guard<std::mutex> guard(D().lock);
  LONG previous = event->Header.SignalState;
  event->Header.SignalState = 0;
  return previous;
}

void KeClearEvent(KEVENT* event) { KeResetEvent(event); }

LONG KeReadStateEvent(KEVENT* event) {
  std::lock_guard<std::mutex> guard(D().lock);
  return event->Header.SignalState;
}

void KeInitializeMutex(KMUTEX* mutex, ULONG) {
  std::lock_guard<std::mutex> guard(D().lock);
  mutex->Header.Type = kObjectMutant;
  mutex->Header.SignalState = 1;
  InitializeListHead(&mutex->Header.WaitListHead);
  mutex->OwnerThread = 0;
  mutex->Recursion = 0;
}

LONG KeReleaseMutex(KMUTEX* mutex, BOOLEAN) {
  LONG previous;
  {
    std::lock_guard<std::mutex> guard(D().lock);
    previous = mutex->Header.SignalState;
    if (mutex->OwnerThread != vorn::kernel::CurrentThreadToken() || mutex->Recursion <= 0) {
      ReportViolation("mutex %p released by a thread that does not own it", static_cast<void*>(mutex));
      return previous;
    }
    if (--mutex->Recursion == 0) {
      mutex->OwnerThread = 0;
      mutex->Header.SignalState = 1;
    }
  }
  internal::WakeWaiters();
  return previous;
}

LONG KeReadStateMutex(KMUTEX* mutex) {
  std::lock_guard<std::mutex> guard(D().lock);
  return mutex->Header.SignalState;
}

NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID objects[], WAIT_TYPE type, KWAIT_REASON,
                                  KPROCESSOR_MODE, BOOLEAN, LARGE_INTEGER* timeout,
                                  KWAIT_BLOCK*) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !objects) {
    ReportViolation("wait on %u objects", count);
    return STATUS_INVALID_PARAMETER;
  }
  int64_t ns = 0;
  bool limited = internal::TimeoutToDuration(timeout, &ns);
  if (t_irql >= DISPATCH_LEVEL && (!limited || ns != 0)) {
    ReportViolation("wait with a time-out at IRQL %d", t_irql);
    limited = true;
    ns = 0;  // poll instead of blocking at raised IRQL
  }
  auto headers = reinterpret_cast<DISPATCHER_HEADER**>(objects);
  auto check = [&]() -> int {  // index of the satisfying object, count for WaitAll, -1
    if (type == WaitAny) {
      for (ULONG i = 0; i < count; ++i)
        if (internal::IsSignalled(headers[i])) return static_cast<int>(i);
      return -1;
    }
    for (ULONG i = 0; i < count; ++i)
      if (!internal::IsSignalled(headers[i])) return -1;
    return static_cast<int>(count);
  };
  std::unique_lock<std::mutex> lock(D().lock);
  int hit;
  if (!limited) {
    D().cv.wait(lock, [&] { return (hit = check()) >= 0; });
  } else {
    auto deadline = vorn::clock::RealDeadline(std::chrono::nanoseconds(ns));
    if (!D().cv.wait_until(lock, deadline, [&] { return (hit = check()) >= 0; }))
      return STATUS_TIMEOUT;
  }
  if (type == WaitAny) {
    Satisfy(headers[hit]);
    return STATUS_WAIT_0 + hit;
  }
  for (ULONG i = 0; i < count; ++i) Satisfy(headers[i]);
  return STATUS_WAIT_0;
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode,
                               BOOLEAN alertable, LARGE_INTEGER* timeout) {
  PVOID objects[1] = {object};
  return KeWaitForMultipleObjects(1, objects, WaitAny, reason, mode, alertable, timeout, nullptr);
}
