#include "platform/kernel/timer.h"

#include <algorithm>
#include <deque>
#include <set>
#include <thread>

#include "platform/kernel/dispatcher.h"
#include "platform/kernel/violations.h"
#include "platform/nt/clock.h"

using vorn::kernel::ReportViolation;
namespace internal = vorn::kernel::internal;

namespace {

thread_local bool t_dpc_thread = false;

struct DpcQueue {
  std::mutex lock;
  std::condition_variable cv;       // work for the DPC thread
  std::condition_variable done_cv;  // a DPC finished
  std::deque<KDPC*> queue;
  uint64_t queued = 0;   // sequence of the last DPC queued
  uint64_t done = 0;     // sequence of the last DPC run (in queue order)
  std::deque<uint64_t> sequences;
  bool running = false;
  bool started = false;
};

DpcQueue& Q() {
  static DpcQueue* q = new DpcQueue;
  return *q;
}

void DpcThread() {
  t_dpc_thread = true;
  DpcQueue& q = Q();
  std::unique_lock<std::mutex> lock(q.lock);
  for (;;) {
    q.cv.wait(lock, [&] { return !q.queue.empty(); });
    KDPC* dpc = q.queue.front();
    q.queue.pop_front();
    uint64_t seq = q.sequences.front();
    q.sequences.pop_front();
    dpc->Inserted = 0;
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext, a1 = dpc->SystemArgument1, a2 = dpc->SystemArgument2;
    q.running = true;
    lock.unlock();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    routine(dpc, context, a1, a2);
    if (KeGetCurrentIrql() != DISPATCH_LEVEL)
      ReportViolation("DPC routine returned at IRQL %d", KeGetCurrentIrql());
    KeLowerIrql(PASSIVE_LEVEL);
    lock.lock();
    q.running = false;
    q.done = seq;
    q.done_cv.notify_all();
  }
}

// Timers are kept in due order, guarded by the dispatcher lock.
struct TimerOrder {
  bool operator()(const KTIMER* a, const KTIMER* b) const {
    return a->DueTime != b->DueTime ? a->DueTime < b->DueTime : a < b;
  }
};
struct Timers {
  std::condition_variable cv;
  std::set<KTIMER*, TimerOrder> set;
  bool started = false;
};
Timers& T() {
  static Timers* t = new Timers;
  return *t;
}

void TimerThread() {
  Timers& t = T();
  std::unique_lock<std::mutex> lock(internal::DispatcherLock());
  for (;;) {
    if (t.set.empty()) {
      t.cv.wait(lock);
      continue;
    }
    KTIMER* first = *t.set.begin();
    int64_t now = vorn::clock::NowNs();
    if (first->DueTime > now) {
      t.cv.wait_until(lock, vorn::clock::RealDeadline(std::chrono::nanoseconds(first->DueTime - now)));
      continue;
    }
    t.set.erase(t.set.begin());
    first->Header.SignalState = 1;
    KDPC* dpc = first->Dpc;
    if (first->Period > 0) {
      // A period lasts what the clock makes of it in real time (a 1 ms period stays a real
      // millisecond on a fast clock), so the next expiry is that far away in clock time.
      // Missed periods are skipped rather than run back to back.
      auto period = std::chrono::milliseconds(first->Period);
      int64_t span = std::max<int64_t>(
          std::chrono::nanoseconds(period).count(),
          static_cast<int64_t>(static_cast<double>(vorn::clock::RealDuration(period).count()) *
                               vorn::clock::Speed()));
      first->DueTime += span;
      if (first->DueTime <= now) first->DueTime = now + span;
      t.set.insert(first);
    } else {
      first->Inserted = 0;
    }
    if (dpc) KeInsertQueueDpc(dpc, nullptr, nullptr);  // takes only the DPC lock
    internal::WakeWaiters();
    // Let other threads at the dispatcher lock between expiries, even when timers are due
    // back to back on a slow (sanitized) build.
    lock.unlock();
    std::this_thread::yield();
    lock.lock();
  }
}

void EnsureThreads() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::thread(DpcThread).detach();
    std::thread(TimerThread).detach();
  });
}

int64_t DueToNs(LARGE_INTEGER due) {
  int64_t ns = 0;
  internal::TimeoutToDuration(&due, &ns);
  return vorn::clock::NowNs() + ns;
}

}  // namespace

void KeInitializeDpc(KDPC* dpc, PKDEFERRED_ROUTINE routine, PVOID context) {
  dpc->DeferredRoutine = routine;
  dpc->DeferredContext = context;
  dpc->SystemArgument1 = dpc->SystemArgument2 = nullptr;
  dpc->Inserted = 0;
  InitializeListHead(&dpc->DpcListEntry);
}

BOOLEAN KeInsertQueueDpc(KDPC* dpc, PVOID argument1, PVOID argument2) {
  EnsureThreads();
  DpcQueue& q = Q();
  std::lock_guard<std::mutex> guard(q.lock);
  if (dpc->Inserted) return FALSE;
  dpc->Inserted = 1;
  dpc->SystemArgument1 = argument1;
  dpc->SystemArgument2 = argument2;
  q.queue.push_back(dpc);
  q.sequences.push_back(++q.queued);
  q.cv.notify_one();
  return TRUE;
}

BOOLEAN KeRemoveQueueDpc(KDPC* dpc) {
  DpcQueue& q = Q();
  std::lock_guard<std::mutex> guard(q.lock);
  if (!dpc->Inserted) return FALSE;
  for (size_t i = 0; i < q.queue.size(); ++i) {
    if (q.queue[i] == dpc) {
      q.queue.erase(q.queue.begin() + static_cast<long>(i));
      q.sequences.erase(q.sequences.begin() + static_cast<long>(i));
      break;
    }
  }
  dpc->Inserted = 0;
  q.done_cv.notify_all();
  return TRUE;
}

void KeFlushQueuedDpcs() {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL || t_dpc_thread) {
    ReportViolation("KeFlushQueuedDpcs at IRQL %d%s", KeGetCurrentIrql(),
                    t_dpc_thread ? " on the DPC thread" : "");
    return;
  }
  DpcQueue& q = Q();
  std::unique_lock<std::mutex> lock(q.lock);
  uint64_t target = q.queued;
  q.done_cv.wait(lock, [&] {
    if (q.done >= target) return true;
    // Everything up to |target| that was not run was taken off the queue.
    return !q.running && (q.sequences.empty() || q.sequences.front() > target);
  });
}

void KeInitializeTimerEx(KTIMER* timer, TIMER_TYPE type) {
  std::lock_guard<std::mutex> guard(internal::DispatcherLock());
  timer->Header.Type = type == NotificationTimer ? kObjectNotificationTimer : kObjectSynchronizationTimer;
  timer->Header.SignalState = 0;
  InitializeListHead(&timer->Header.WaitListHead);
  timer->DueTime = 0;
  timer->Period = 0;
  timer->Inserted = 0;
  timer->Dpc = nullptr;
}

void KeInitializeTimer(KTIMER* timer) { KeInitializeTimerEx(timer, NotificationTimer); }

BOOLEAN KeSetTimerEx(KTIMER* timer, LARGE_INTEGER due, LONG period_ms, KDPC* dpc) {
  EnsureThreads();
  Timers& t = T();
  std::lock_guard<std::mutex> guard(internal::DispatcherLock());
  BOOLEAN was_set = timer->Inserted;
  if (was_set) t.set.erase(timer);
  timer->DueTime = DueToNs(due);
  timer->Period = period_ms < 0 ? 0 : period_ms;
  timer->Dpc = dpc;
  timer->Header.SignalState = 0;
  timer->Inserted = 1;
  t.set.insert(timer);
  t.cv.notify_all();
  return was_set;
}

BOOLEAN KeSetTimer(KTIMER* timer, LARGE_INTEGER due, KDPC* dpc) {
  return KeSetTimerEx(timer, due, 0, dpc);
}

BOOLEAN KeCancelTimer(KTIMER* timer) {
  Timers& t = T();
  std::lock_guard<std::mutex> guard(internal::DispatcherLock());
  BOOLEAN was_set = timer->Inserted;
  if (was_set) t.set.erase(timer);
  timer->Inserted = 0;
  return was_set;
}

BOOLEAN KeReadStateTimer(KTIMER* timer) {
  std::lock_guard<std::mutex> guard(internal::DispatcherLock());
  return timer->Header.SignalState > 0;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, LARGE_INTEGER* interval) {
  if (KeGetCurrentIrql() > APC_LEVEL) {
    ReportViolation("KeDelayExecutionThread at IRQL %d", KeGetCurrentIrql());
    return STATUS_SUCCESS;
  }
  int64_t ns = 0;
  if (!internal::TimeoutToDuration(interval, &ns)) return STATUS_INVALID_PARAMETER;
  vorn::clock::SleepFor(std::chrono::nanoseconds(ns));
  return STATUS_SUCCESS;
}

LARGE_INTEGER KeQueryPerformanceCounter(LARGE_INTEGER* frequency) {
  if (frequency) frequency->QuadPart = vorn::clock::kPerformanceFrequency;
  LARGE_INTEGER v;
  v.QuadPart = vorn::clock::PerformanceCounter();
  return v;
}

void KeQuerySystemTime(LARGE_INTEGER* time) {
  time->QuadPart = internal::kSystemTimeBase + vorn::clock::NowNs() / 100;
}

ULONGLONG KeQueryInterruptTime() { return static_cast<ULONGLONG>(vorn::clock::NowNs() / 100); }

ULONG ExSetTimerResolution(ULONG desired, BOOLEAN) { return desired == 0 ? 156250 : desired; }

namespace vorn::kernel {
bool OnDpcThread() { return t_dpc_thread; }
}  // namespace vorn::kernel
