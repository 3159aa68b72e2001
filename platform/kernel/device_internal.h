// Kernel-internal: what the kernel keeps about a device object.
#pragma once

#include "platform/kernel/irp.h"

namespace vorn::kernel::internal {

struct DeviceRecord {
  DEVICE_OBJECT* lower = nullptr;  // the device this one is attached to
  void* node = nullptr;            // for a physical device object: its PnP device node
  bool deleted = false;
};

inline DeviceRecord* Record(DEVICE_OBJECT* d) { return static_cast<DeviceRecord*>(d->Internal); }

// The bottom of |device|'s stack (its physical device object).
DEVICE_OBJECT* StackBottom(DEVICE_OBJECT* device);

}  // namespace vorn::kernel::internal
