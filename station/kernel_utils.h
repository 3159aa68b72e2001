// Small kernel helpers every module of the station driver uses: zeroed pool, request
// completion, short waits and device properties.
#pragma once

#include "platform/kernel/irp.h"
#include "platform/kernel/pnp.h"
#include "platform/kernel/pool.h"

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

}  // namespace vorn::station
