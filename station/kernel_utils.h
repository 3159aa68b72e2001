// Small kernel helpers every module of the station driver uses: zeroed pool, request
// completion, short waits and device properties.
#pragma once

#include "platform/kernel/irp.h"
#include "platform/kernel/pnp.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/thread.h"

namespace vorn::station {

// A pool block, always zeroed (the zeroing flag is ORed into |type|). Callers pass
// NonPagedPoolNx unless the block is only touched below DISPATCH_LEVEL.
PVOID AllocatePool(POOL_TYPE type, SIZE_T size, ULONG tag);

// Sets the request's status and Information and completes it without a priority boost.
NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information);

// Wait |n| microseconds / milliseconds on a local event; 0 returns at once. PASSIVE_LEVEL.
void DelayMicroseconds(ULONG n);
void DelayMilliseconds(ULONG n);

// Reads a device property into a new zeroed non-paged buffer of its length + 2 bytes (so a
// text property is always terminated). |*length| is the property's length, |*buffer_size|
// the buffer's. The caller frees |*buffer| with ExFreePoolWithTag(kTagProperty).
// Null device or result pointer: STATUS_INVALID_PARAMETER; empty property: STATUS_UNSUCCESSFUL.
NTSTATUS QueryDeviceProperty(DEVICE_OBJECT* device, DEVICE_REGISTRY_PROPERTY property,
                             PVOID* buffer, ULONG* length, ULONG* buffer_size);

// Starts a system thread running |routine|(|context|) and takes a reference on it into
// |*thread|, so its owner can wait for its end. On failure |*thread| stays null; when only the
// reference failed the thread is already running, so the caller must also ask it to end (its
// stop event) without waiting for it.
NTSTATUS StartReferencedSystemThread(PKSTART_ROUTINE routine, PVOID context, KTHREAD** thread);

// A routine whose module is not part of this driver build: reports "|routine| is not built"
// on the debugger output and returns STATUS_NOT_IMPLEMENTED, so the gap fails loudly.
NTSTATUS NotBuilt(const char* routine);
// The same for a dispatch routine: the request is completed with STATUS_NOT_IMPLEMENTED.
NTSTATUS CompleteNotBuilt(PIRP irp, const char* routine);

}  // namespace vorn::station
