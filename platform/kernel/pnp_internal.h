// Kernel-internal hooks of the PnP manager.
#pragma once

#include "platform/kernel/pnp.h"

namespace vorn::kernel::internal {

// A file was opened on / closed from the stack whose physical device is |pdo|.
void FileOpened(DEVICE_OBJECT* pdo);
void FileClosed(DEVICE_OBJECT* pdo);
// Sends a request to |device| and waits for it; the status; Information in |information|.
NTSTATUS SendAndWait(DEVICE_OBJECT* device, UCHAR major, UCHAR minor,
                     const std::function<void(IO_STACK_LOCATION*)>& prepare,
                     ULONG_PTR* information, NTSTATUS initial_status);
// Disables every interface registered on |pdo| (the device is gone or going); |forget| also
// drops the registrations (at REMOVE).
void DisableInterfacesOf(DEVICE_OBJECT* pdo, bool forget = true);

}  // namespace vorn::kernel::internal
