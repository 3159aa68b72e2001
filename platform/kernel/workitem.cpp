#include "platform/kernel/workitem.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/kernel/pool.h"
#include "platform/kernel/violations.h"

struct IO_WORKITEM {
  DEVICE_OBJECT* device;
  bool queued;
};

namespace {

constexpr ULONG kWorkTag = PoolTag("IoWk");
constexpr int kMaxWorkers = 16;

struct Workers {
  std::mutex lock;
  std::condition_variable cv, idle_cv;
  std::deque<std::function<void()>> jobs;
  int threads = 0;
  int idle = 0;
  int running = 0;
};
Workers& W() {
  static Workers* w = new Workers;
  return *w;
}

void WorkerThread() {
  Workers& w = W();
  std::unique_lock<std::mutex> lock(w.lock);
  for (;;) {
    ++w.idle;
    w.cv.wait(lock, [&] { return !w.jobs.empty(); });
    --w.idle;
    auto job = std::move(w.jobs.front());
    w.jobs.pop_front();
    ++w.running;
    lock.unlock();
    job();
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
      vorn::kernel::ReportViolation("work item returned at IRQL %d", KeGetCurrentIrql());
      KeLowerIrql(PASSIVE_LEVEL);
    }
    lock.lock();
    --w.running;
    w.idle_cv.notify_all();
  }
}

}  // namespace

namespace vorn::kernel::internal {
void PostWork(std::function<void()> job) {
  Workers& w = W();
  std::lock_guard<std::mutex> guard(w.lock);
  w.jobs.push_back(std::move(job));
  if (w.idle < static_cast<int>(w.jobs.size()) && w.threads < kMaxWorkers) {
    ++w.threads;
    std::thread(WorkerThread).detach();
  }
  w.cv.notify_one();
}
}  // namespace vorn::kernel::internal

namespace vorn::kernel {
void WaitWorkIdle() {
  Workers& w = W();
  std::unique_lock<std::mutex> lock(w.lock);
  w.idle_cv.wait(lock, [&] { return w.jobs.empty() && w.running == 0; });
}
}  // namespace vorn::kernel

PIO_WORKITEM IoAllocateWorkItem(DEVICE_OBJECT* device) {
  auto* item = static_cast<IO_WORKITEM*>(ExAllocatePoolWithTag(NonPagedPoolNx | POOL_ZERO_ALLOCATION, sizeof(IO_WORKITEM), kWorkTag));
  if (item) item->device = device;
  return item;
}

void IoFreeWorkItem(PIO_WORKITEM item) { ExFreePoolWithTag(item, kWorkTag); }

void IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE, PVOID context) {
  DEVICE_OBJECT* device = item->device;
  ObReferenceObject(device);
  vorn::kernel::internal::PostWork([device, routine, context] {
    routine(device, context);
    ObDereferenceObject(device);
  });
}
