#include <thread>
#include <vector>

#include "platform/kernel/pool.h"
#include "platform/kernel/thread.h"
#include "platform/kernel/timer.h"
#include "tests/platform/kernel/kernel_fixture.h"

namespace {

using vorn::kernel::testing::KernelTest;

LARGE_INTEGER Relative(int64_t ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

class SyncTest : public KernelTest {};

TEST_F(SyncTest, EventsSignalAndResetByType) {
  KEVENT notification, synchronization;
  KeInitializeEvent(&notification, NotificationEvent, FALSE);
  KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  KeSetEvent(&notification, 0, FALSE);
  // A notification event stays set for every waiter; a synchronization event lets one through.
  EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  EXPECT_EQ(KeReadStateEvent(&synchronization), 0);
}

TEST_F(SyncTest, WaitAnyReportsTheIndexAndTimesOutOnTheClock) {
  KEVENT a, b;
  KeInitializeEvent(&a, NotificationEvent, FALSE);
  KeInitializeEvent(&b, SynchronizationEvent, FALSE);
  PVOID both[2] = {&a, &b};
  int64_t start = vorn::clock::NowNs();
  LARGE_INTEGER two_seconds = Relative(2000);
  EXPECT_EQ(KeWaitForMultipleObjects(2, both, WaitAny, Executive, KernelMode, FALSE, &two_seconds, nullptr),
            STATUS_TIMEOUT);
  EXPECT_GE(vorn::clock::NowNs() - start, 2'000'000'000);
  std::thread setter([&] { KeSetEvent(&b, 0, FALSE); });
  EXPECT_EQ(KeWaitForMultipleObjects(2, both, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
            STATUS_WAIT_0 + 1);
  setter.join();
  KeSetEvent(&a, 0, FALSE);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForMultipleObjects(2, both, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr),
            STATUS_TIMEOUT);
}

TEST_F(SyncTest, MutexIsRecursiveAndExclusive) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
  KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
  std::atomic<bool> other_got_it{false};
  std::thread other([&] {
    LARGE_INTEGER zero{};
    other_got_it = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero) == STATUS_SUCCESS;
  });
  other.join();
  EXPECT_FALSE(other_got_it);
  KeReleaseMutex(&mutex, FALSE);
  EXPECT_EQ(KeReadStateMutex(&mutex), 0);  // still held once
  KeReleaseMutex(&mutex, FALSE);
  EXPECT_EQ(KeReadStateMutex(&mutex), 1);
  auto v = ExpectViolations([&] { KeReleaseMutex(&mutex, FALSE); });
  EXPECT_EQ(v.size(), 1u);
}

TEST_F(SyncTest, SpinLockRaisesIrqlAndCatchesMisuse) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  auto v = ExpectViolations([&] {
    // Waiting with a time-out at dispatch level and taking the same lock twice are caught,
    // and neither blocks.
    LARGE_INTEGER t = Relative(10);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
    KeAcquireSpinLockAtDpcLevel(&lock);
  });
  EXPECT_EQ(v.size(), 2u);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SyncTest, SpinLockSerialisesThreads) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        ++counter;
        KeReleaseSpinLock(&lock, old);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 40000);
}

struct TimerRecord {
  std::atomic<int> runs{0};
  std::atomic<bool> at_dispatch{true};
  std::atomic<bool> on_dpc_thread{true};
};

void CountDpc(KDPC*, PVOID context, PVOID, PVOID) {
  auto* r = static_cast<TimerRecord*>(context);
  if (KeGetCurrentIrql() != DISPATCH_LEVEL) r->at_dispatch = false;
  if (!vorn::kernel::OnDpcThread()) r->on_dpc_thread = false;
  ++r->runs;
}

TEST_F(SyncTest, PeriodicTimerRunsItsDpcAtDispatchUntilCancelled) {
  TimerRecord record;
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimerEx(&timer, NotificationTimer);
  KeInitializeDpc(&dpc, CountDpc, &record);
  EXPECT_FALSE(KeSetTimerEx(&timer, Relative(1), 1, &dpc));
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  while (record.runs < 5) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(KeCancelTimer(&timer));
  EXPECT_FALSE(KeCancelTimer(&timer));
  KeFlushQueuedDpcs();
  int runs = record.runs;
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(record.runs, runs);  // nothing runs after cancel + flush
  EXPECT_TRUE(record.at_dispatch);
  EXPECT_TRUE(record.on_dpc_thread);
}

TEST_F(SyncTest, OneShotTimerFiresOnceAfterItsDueTime) {
  TimerRecord record;
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, CountDpc, &record);
  int64_t start = vorn::clock::NowNs();
  KeSetTimer(&timer, Relative(500), &dpc);
  KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
  EXPECT_GE(vorn::clock::NowNs() - start, 500'000'000);
  KeFlushQueuedDpcs();
  EXPECT_EQ(record.runs, 1);
  EXPECT_FALSE(KeCancelTimer(&timer));
}

struct ThreadArgs {
  KEVENT go;
  std::atomic<bool> ran{false};
};

void ThreadBody(PVOID context) {
  auto* args = static_cast<ThreadArgs*>(context);
  KeWaitForSingleObject(&args->go, Executive, KernelMode, FALSE, nullptr);
  args->ran = true;
  PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(SyncTest, SystemThreadObjectIsSignalledAtExit) {
  ThreadArgs args;
  KeInitializeEvent(&args.go, NotificationEvent, FALSE);
  HANDLE handle;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ThreadBody, &args),
            STATUS_SUCCESS);
  PVOID thread = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
            STATUS_SUCCESS);
  PVOID wrong = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *ExEventObjectType, KernelMode, &wrong, nullptr),
            STATUS_OBJECT_TYPE_MISMATCH);
  ZwClose(handle);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  KeSetEvent(&args.go, 0, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_TRUE(args.ran);
  ObDereferenceObject(thread);
}

TEST_F(SyncTest, DelayAndPerformanceCounterFollowTheClock) {
  LARGE_INTEGER frequency;
  LARGE_INTEGER before = KeQueryPerformanceCounter(&frequency);
  EXPECT_EQ(frequency.QuadPart, 10'000'000);
  LARGE_INTEGER one_second = Relative(1000);
  KeDelayExecutionThread(KernelMode, FALSE, &one_second);
  EXPECT_GE(KeQueryPerformanceCounter(nullptr).QuadPart - before.QuadPart, 10'000'000);
}

class PoolTest : public KernelTest {};

TEST_F(PoolTest, CountsPerTagZeroesOnRequestAndFailsTheNthAllocation) {
  const ULONG tag = PoolTag("tst1");
  auto* a = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPoolNx | POOL_ZERO_ALLOCATION, 64, tag));
  auto* b = static_cast<uint8_t*>(ExAllocatePoolWithTag(PagedPool, 16, tag));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a[0] | a[63], 0);
  EXPECT_EQ(b[0], 0xCD);  // not zeroed unless asked
  EXPECT_EQ(vorn::kernel::pool::Outstanding(tag).blocks, 2);
  EXPECT_EQ(vorn::kernel::pool::Outstanding(tag).bytes, 80);
  vorn::kernel::pool::FailNthAllocation(tag, 2);
  void* c = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
  EXPECT_NE(c, nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, tag), nullptr);
  void* d = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
  EXPECT_NE(d, nullptr);
  ExFreePoolWithTag(a, tag);
  ExFreePool(b);
  ExFreePool(c);
  ExFreePool(d);
  EXPECT_EQ(vorn::kernel::pool::Outstanding(tag).blocks, 0);
  EXPECT_EQ(vorn::kernel::pool::AllOutstanding().count(tag), 0u);
}

TEST_F(PoolTest, CatchesWrongTagAndPagedPoolAtDispatch) {
  const ULONG tag = PoolTag("tst2");
  void* a = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
  auto v = ExpectViolations([&] {
    ExFreePoolWithTag(a, PoolTag("oops"));
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    void* p = ExAllocatePoolWithTag(PagedPool, 8, tag);
    KeLowerIrql(old);
    ExFreePool(p);
  });
  EXPECT_EQ(v.size(), 2u);
  EXPECT_EQ(vorn::kernel::pool::Outstanding(tag).blocks, 0);
}

}  // namespace
