// Kernel-internal: the one dispatcher lock that guards every dispatcher object's state, and
// the condition every waiter sleeps on. Signalling an object wakes all waiters, which then
// re-check what they wait for; the kernel of a test process has a few dozen threads at most.
#pragma once

#include <condition_variable>
#include <mutex>

#include "platform/kernel/sync.h"

namespace vorn::kernel::internal {

std::mutex& DispatcherLock();
void WakeWaiters();  // call with the dispatcher lock held or not
// True when |object| is signalled for the calling thread (dispatcher lock held).
bool IsSignalled(DISPATCHER_HEADER* object);
// Sets |object| signalled (thread objects at exit), with the dispatcher lock NOT held.
void SignalObject(DISPATCHER_HEADER* object);
// Converts a wait time-out to a virtual-time duration: false for "no limit".
bool TimeoutToDuration(const LARGE_INTEGER* timeout, int64_t* ns);

}  // namespace vorn::kernel::internal

namespace vorn::kernel::internal {
// System time (100 ns units since 1601) at virtual time zero: 1 January 2026.
constexpr int64_t kSystemTimeBase = 133'801'632'000'000'000;
}  // namespace vorn::kernel::internal
