// What the desktop services take from the kernel stand-in, behind base types only: the two
// stand-ins' headers do not mix in one file. A device is the kernel's physical device object,
// passed along as an opaque pointer.
#pragma once

#include <functional>
#include <vector>

#include "platform/nt/types.h"

namespace vorn::win32::kernel_link {

using Device = void*;

// Links of the enabled interfaces of |interface_class|, as the kernel spells them ("\??\...").
std::vector<WString> EnabledInterfaces(const GUID& interface_class);
// Every enable (arrived) and disable of an interface of any class, on the changing thread.
void FollowInterfaces(std::function<void(const GUID&, const WString& link, bool arrived)> listener);
// Orderly removals: |query| before a device's driver is asked (false refuses), |cancelled|
// when a removal asked for does not happen.
void FollowRemovals(std::function<bool(Device)> query, std::function<void(Device)> cancelled);
// The device under the stack a kernel file object was opened on.
Device DeviceOfFile(void* file);
// Whether |link| (as the kernel spells it, "\\??\\...") names an interface of |device|.
bool LinkOfDevice(WStringView link, Device device);
void ReferenceDevice(Device device);
void DereferenceDevice(Device device);

}  // namespace vorn::win32::kernel_link
