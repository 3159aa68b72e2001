// Kernel-internal: what the kernel keeps about a device object.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/kernel/irp.h"

namespace vorn::kernel::internal {

// A physical device's identity, fixed once the PnP manager has asked for it; read by device
// properties and interface registration from any thread without the PnP manager's lock.
struct DeviceIds {
  WString device_id, instance_id, description, location, driver_key;
  std::vector<WString> hardware_ids, compatible_ids;
};

struct DeviceRecord {
  DEVICE_OBJECT* lower = nullptr;  // the device this one is attached to
  void* node = nullptr;            // for a physical device object: its PnP device node
  bool deleted = false;
  std::shared_ptr<const DeviceIds> ids;  // guarded by IdsLock()
  std::atomic<int> open_files{0};        // files open on the stack above this PDO
};

std::mutex& IdsLock();
// The identity of the stack |device| belongs to (its PDO's), or null before enumeration.
std::shared_ptr<const DeviceIds> IdsOf(DEVICE_OBJECT* device);

inline DeviceRecord* Record(DEVICE_OBJECT* d) { return static_cast<DeviceRecord*>(d->Internal); }

// The bottom of |device|'s stack (its physical device object).
DEVICE_OBJECT* StackBottom(DEVICE_OBJECT* device);

}  // namespace vorn::kernel::internal
