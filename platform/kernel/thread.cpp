#include "platform/kernel/thread.h"

#include <atomic>
#include <thread>

#include "platform/kernel/dispatcher.h"
#include "platform/kernel/violations.h"

using vorn::kernel::ReportViolation;

namespace {

thread_local KTHREAD* t_thread = nullptr;
std::atomic<int> g_running{0};

// Unwinds a system thread to its start when it calls PsTerminateSystemThread.
struct ThreadExit {
  NTSTATUS status;
};

void DestroyThread(void* p) { delete static_cast<KTHREAD*>(p); }

void Trampoline(KTHREAD* thread, PKSTART_ROUTINE routine, PVOID context) {
  t_thread = thread;
  try {
    routine(context);
    ReportViolation("system thread returned without PsTerminateSystemThread");
  } catch (const ThreadExit& exit) {
    thread->ExitStatus = exit.status;
  }
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    ReportViolation("system thread ended at IRQL %d", KeGetCurrentIrql());
    KeLowerIrql(PASSIVE_LEVEL);
  }
  t_thread = nullptr;
  // The count drops before the thread object is signalled, so whoever waited for the thread
  // to end never still finds it counted as running.
  --g_running;
  vorn::kernel::internal::SignalObject(&thread->Header);
  ObDereferenceObject(thread);  // the running thread's own reference
}

// Threads that the kernel did not create (test threads, the DPC thread) get an object of
// their own on first use, so KeGetCurrentThread always answers.
thread_local KTHREAD t_foreign{};

}  // namespace

NTSTATUS PsCreateSystemThread(PHANDLE handle, ACCESS_MASK, OBJECT_ATTRIBUTES*, HANDLE,
                              CLIENT_ID*, PKSTART_ROUTINE routine, PVOID context) {
  if (!handle || !routine) return STATUS_INVALID_PARAMETER;
  auto* thread = new KTHREAD{};
  thread->Header.Type = kObjectThread;
  InitializeListHead(&thread->Header.WaitListHead);
  thread->Priority = 8;
  vorn::kernel::internal::RegisterObject(thread, *PsThreadType, DestroyThread);  // thread's ref
  *handle = vorn::kernel::internal::CreateHandle(thread);
  ++g_running;
  std::thread(Trampoline, thread, routine, context).detach();
  return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS exit_status) {
  if (!t_thread) ReportViolation("PsTerminateSystemThread on a thread that is not a system thread");
  throw ThreadExit{exit_status};
}

PKTHREAD KeGetCurrentThread() { return t_thread ? t_thread : &t_foreign; }

KPRIORITY KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority) {
  KPRIORITY old = thread->Priority;
  thread->Priority = priority;
  return old;
}

LONG KeSetBasePriorityThread(PKTHREAD thread, LONG increment) {
  LONG old = thread->BasePriorityIncrement;
  thread->BasePriorityIncrement = increment;
  return old;
}

namespace vorn::kernel {
int RunningSystemThreads() { return g_running.load(); }
}  // namespace vorn::kernel
