// Kernel-internal hook of the WMI stand-in.
#pragma once

#include "platform/kernel/irp.h"

namespace vorn::kernel::internal {

// |device| is being deleted: a provider still registered is reported (its driver forgot to
// deregister) and forgotten.
void WmiDeviceDeleted(DEVICE_OBJECT* device);

}  // namespace vorn::kernel::internal
